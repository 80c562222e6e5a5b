#!/usr/bin/env bash
# Cross-builds the Windows x86-64 executable build-win/ornat-cli.exe on
# Debian with mingw-w64:
#   1. scripts/build-windows-deps.sh installs what is missing and builds the
#      static dependency prefix from third_party/ (once; later runs reuse it);
#   2. CMake configures build-win/ with cmake/mingw-w64-x86_64.cmake and that
#      prefix, and builds the .exe (statically linked, console subsystem);
#   3. the DLLs the .exe imports are listed, and the build fails if any of
#      them is not one that comes with Windows;
#   4. the licence notices of everything linked in go to build-win/licenses/,
#      to be shipped with the .exe.
# Extra arguments are further CMake targets to build (e.g. ornat_tests).
# JOBS sets the parallel jobs (default 2).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."

jobs=${JOBS:-2}
build=build-win

prefix=$(bash scripts/build-windows-deps.sh | tail -n 1)
[ -d "$prefix" ] || { echo "build-windows: no dependency prefix" >&2; exit 1; }

# -O2 as in the Linux build: GCC 12's -O3 warns falsely (-Wrestrict) inside
# std::string.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DORNAT_WIN_DEPS_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" >/dev/null
cmake --build "$build" -j"$jobs" --target ornat-cli "$@"

exe=$build/ornat-cli.exe
echo "$exe: $(stat -c %s "$exe") bytes"
echo "imported DLLs:"
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f -u)
sed 's/^/  /' <<<"$dlls"

# Everything else (the C++ runtime, winpthread, the libraries) is linked in.
system_dlls='^(kernel32|user32|gdi32|comctl32|comdlg32|shell32|ole32|oleaut32|advapi32|bcrypt|crypt32|ws2_32|iphlpapi|msvcrt|ucrtbase|api-ms-win-.*|shlwapi|secur32|normaliz|wldap32)\.dll$'
if foreign=$(grep -viE "$system_dlls" <<<"$dlls"); then
  echo "build-windows: $exe imports DLLs that do not come with Windows:" >&2
  sed 's/^/  /' <<<"$foreign" >&2
  exit 1
fi

# The libraries of third_party/, and the runtime that mingw-w64 links in:
# libwinpthread and the CRT glue (mingw-w64's notices), libstdc++ and libgcc
# (GCC's, with the runtime library exception).
mkdir -p "$build/licenses"
cp third_party/licenses/*.txt "$build/licenses/"
cp /usr/share/doc/mingw-w64-common/copyright "$build/licenses/mingw-w64-runtime.txt"
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$build/licenses/gcc-runtime.txt"
echo "licence notices to ship with it: $build/licenses/"
