#!/usr/bin/env bash
# Builds the release artefacts into dist/:
#   ornat-cli_<version>-1_amd64.deb            the Debian package (CPack), from
#                                              a Release build in build-pkg/
#                                              with Debian's hardening flags;
#   ornat-cli-<version>-windows-x86_64.zip     when build-win/ornat-cli.exe is
#                                              there (scripts/build-windows.sh):
#                                              the .exe, the READMEs and the
#                                              licence texts of all it contains.
# The version is that of project() in CMakeLists.txt. JOBS sets the parallel
# jobs (default 2). Progress goes to stderr; stdout gets the path of each
# artefact, one a line.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=${JOBS:-2}
build="build-pkg"
dist=dist
mkdir -p "$dist"

# Dates inside the package (changelog, manual page, file times) are those
# of the last commit, so that the same commit gives the same package.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH

# Debian's build flags with all hardening (fortified functions, stack
# protector, read-only relocations, immediate binding); -O2 from them
# instead of CMake's Release -O3. libcsv is linked as the shared library of
# the libcsv3 package, not statically as in the build from source.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DORNAT_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DCSV_LIBRARY="$(gcc -print-file-name=libcsv.so)" >/dev/null
nice -n 10 cmake --build "$build" -j"$jobs" >&2
version=$(cat "$build/packaging/version")

# CPack stages the files and builds the package in build-pkg/cpack/.
rm -rf "$build/cpack"
(cd "$build" && cpack -G DEB -B "$PWD/cpack" >/dev/null)
deb=ornat-cli_${version}-1_amd64.deb
[ -f "$build/cpack/$deb" ] || { echo "package: CPack made no $deb" >&2; exit 1; }
mv "$build/cpack/$deb" "$dist/$deb"
artefacts=("$dist/$deb")

# The Windows zip: everything under one folder named like the zip.
exe="build-win/ornat-cli.exe"
if [ -f "$exe" ]; then
  if [ -f build-win/packaging/version ] && [ "$(cat build-win/packaging/version)" != "$version" ]; then
    echo "package: $exe is of version $(cat build-win/packaging/version), not $version;" \
      "run scripts/build-windows.sh" >&2
    exit 1
  fi
  [ -d build-win/licenses ] || { echo "package: build-win/licenses/ is missing" >&2; exit 1; }
  name=ornat-cli-${version}-windows-x86_64
  stage=$build/zip/$name
  rm -rf "$build/zip"
  mkdir -p "$stage/licenses"
  cp "$exe" "$stage/"
  cp README.md "$stage/"
  cp build-win/licenses/* "$stage/licenses/"
  # Notepad-friendly line ends for the text meant to be read on Windows.
  sed -e "s/@PROJECT_VERSION@/$version/g" -e 's/$/\r/' packaging/README-windows.txt >"$stage/README-windows.txt"
  find "$build/zip" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  rm -f "$dist/$name.zip"
  (cd "$build/zip" && find "$name" -print | LC_ALL=C sort | zip -X -q -9 "../../$dist/$name.zip" -@)
  artefacts+=("$dist/$name.zip")
fi

for artefact in "${artefacts[@]}"; do
  echo "$artefact: $(stat -c %s "$artefact") bytes" >&2
done
printf '%s\n' "${artefacts[@]}"
