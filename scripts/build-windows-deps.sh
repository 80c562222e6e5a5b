#!/usr/bin/env bash
# Builds the static libraries that the Windows build of ornat-cli links, for
# x86_64-w64-mingw32, into one prefix:
#   libcurl  HTTP and TFTP only, no TLS, zlib for compressed responses
#   libzip   with bzip2, lzma, zstd and zlib, AES through the Windows crypto API
#   liblzma, libzstd, libbz2, libcsv, and zlib (Debian's libz-mingw-w64-dev)
# from the pinned archives in third_party/ (checked against SHA256SUMS before
# each use; nothing is downloaded).
#
# The prefix is build-win-deps/<key>/, where <key> hashes SHA256SUMS, this
# script and the toolchain file: a new pin or recipe builds a new prefix, an
# unchanged one is reused. Installs the Debian packages it needs first (as
# root, or through sudo). Progress goes to stderr; the last line on stdout is
# the prefix path:
#   prefix=$(bash scripts/build-windows-deps.sh | tail -n 1)
# JOBS sets the parallel jobs (default 2).
set -euo pipefail
shopt -s inherit_errexit

repo=$(cd "$(dirname "$0")/.." && pwd)
third_party=$repo/third_party
toolchain=$repo/cmake/mingw-w64-x86_64.cmake
jobs=${JOBS:-2}
triple=x86_64-w64-mingw32
sysroot=/usr/$triple

say() { echo "build-windows-deps: $*" >&2; }
die() { say "error: $*"; exit 1; }

# --- packages ---------------------------------------------------------------
# libcsv ships a generated configure script, so autoconf, automake and libtool
# are not needed.
packages=(
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine64 xvfb imagemagick
  make cmake pkg-config
)
bash "$repo/scripts/install-deps.sh" "${packages[@]}"

# --- archives ---------------------------------------------------------------
# Checks one archive against its line in SHA256SUMS; an archive without a
# line there fails like one with the wrong hash.
verify_archive() {
  local name=$1 want got
  want=$(awk -v n="$name" '$2 == n || $2 == "*" n { print $1 }' "$third_party/SHA256SUMS")
  [ -n "$want" ] || die "$name has no line in third_party/SHA256SUMS"
  [ -f "$third_party/$name" ] || die "third_party/$name is missing"
  got=$(sha256sum "$third_party/$name" | cut -d' ' -f1)
  [ "$got" = "$want" ] || die "third_party/$name: SHA-256 $got, SHA256SUMS pins $want"
}

# Every archive the recipes below use, and every other pinned one, is checked
# on every run, whether or not a build follows.
archives=(bzip2-1.0.8.tar.gz xz-5.8.1.tar.gz zstd-1.5.6.tar.gz libcsv-3.0.3.tar.gz
  curl-8.21.0.tar.gz libzip-1.11.4.tar.gz)
for name in "${archives[@]}"; do
  verify_archive "$name"
done
while read -r _ name; do
  verify_archive "${name#\*}"
done < "$third_party/SHA256SUMS"

# --- prefix -----------------------------------------------------------------
key=$(cat "$third_party/SHA256SUMS" "${BASH_SOURCE[0]}" "$toolchain" | sha256sum | cut -c1-16)
out=$repo/build-win-deps
prefix=$out/$key
stamp=$prefix/.complete

mkdir -p "$out"
# One build at a time: a second run waits here, then finds the prefix done.
exec 9>"$out/.lock"
flock 9

if [ -f "$stamp" ]; then
  say "reusing $prefix"
  echo "$prefix"
  exit 0
fi

work=$out/work-$key
rm -rf "$prefix" "$work"
mkdir -p "$prefix"/{include,lib/pkgconfig} "$work/logs"
started=$SECONDS
say "building into $prefix (logs in $work/logs)"

export CC=$triple-gcc-posix CXX=$triple-g++-posix AR=$triple-ar RANLIB=$triple-ranlib
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH=
export ORNAT_WIN_DEPS_PREFIX=$prefix

# Runs one step, stopping at its first failing command, with its output in a
# log; on failure shows the log's end. (A function called as an `if`
# condition would run with errexit off, hence the subshell and status.)
step() {
  local name=$1 status
  shift
  say "$name"
  set +e
  (set -e; "$@") >"$work/logs/$name.log" 2>&1
  status=$?
  set -e
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$work/logs/$name.log" >&2
    die "$name failed (full log: $work/logs/$name.log)"
  fi
}

# Extracts a checked archive into the work folder; prints the source folder.
unpack() {
  local name=$1
  verify_archive "$name"
  tar -xzf "$third_party/$name" -C "$work"
  echo "$work/${name%.tar.gz}"
}

cmake_lib() {
  local name=$1 src=$2
  shift 2
  cmake -S "$src" -B "$work/build-$name" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DORNAT_WIN_DEPS_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF "$@" &&
    cmake --build "$work/build-$name" -j"$jobs" &&
    cmake --install "$work/build-$name"
}

# A pkg-config file for a library that brings none that fits the prefix:
# write_pc NAME DESCRIPTION VERSION LIBRARY.
write_pc() {
  cat >"$prefix/lib/pkgconfig/$1.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: $1
Description: $2
Version: $3
Libs: -L\${libdir} -l$4
Cflags: -I\${includedir}
EOF
}

build_zlib() {
  local version
  version=$(sed -n 's/^Version: *//p' "$sysroot/lib/pkgconfig/zlib.pc")
  cp "$sysroot/include/zlib.h" "$sysroot/include/zconf.h" "$prefix/include/"
  cp "$sysroot/lib/libz.a" "$prefix/lib/"
  write_pc zlib "zlib compression library (Debian's libz-mingw-w64-dev)" "$version" z
}

# bzip2's own makefile builds the tools and runs tests; the library is these
# seven files. bzlib.h declares plain functions unless BZ_IMPORT is defined.
build_bzip2() {
  local src objs=() f
  src=$(unpack bzip2-1.0.8.tar.gz)
  for f in blocksort huffman crctable randtable compress decompress bzlib; do
    "$CC" -O2 -D_FILE_OFFSET_BITS=64 -c "$src/$f.c" -o "$src/$f.o"
    objs+=("$src/$f.o")
  done
  "$AR" rcs "$prefix/lib/libbz2.a" "${objs[@]}"
  cp "$src/bzlib.h" "$prefix/include/"
  write_pc bzip2 "block-sorting file compressor library" 1.0.8 bz2
}

build_xz() {
  local src
  src=$(unpack xz-5.8.1.tar.gz)
  cmake_lib xz "$src" -DXZ_NLS=OFF -DXZ_DOC=OFF -DXZ_TOOL_XZ=OFF -DXZ_TOOL_XZDEC=OFF \
    -DXZ_TOOL_LZMADEC=OFF -DXZ_TOOL_LZMAINFO=OFF
}

build_zstd() {
  local src
  src=$(unpack zstd-1.5.6.tar.gz)
  cmake_lib zstd "$src/build/cmake" -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF \
    -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_STATIC=ON
}

build_libcsv() {
  local src
  src=$(unpack libcsv-3.0.3.tar.gz)
  (cd "$src" &&
    ./configure --host=$triple --prefix="$prefix" --enable-static --disable-shared CFLAGS=-O2 &&
    make -j"$jobs" && make install)
  write_pc libcsv "CSV parser library" 3.0.3 csv
}

build_curl() {
  local src off=() p
  src=$(unpack curl-8.21.0.tar.gz)
  # The archive is curl's tree at the release tag, whose curlver.h still says
  # "-DEV"; curl's release script stamps the plain version in, and so does this.
  sed -i 's/^#define LIBCURL_VERSION "8\.21\.0-DEV"$/#define LIBCURL_VERSION "8.21.0"/' \
    "$src/include/curl/curlver.h"
  grep -q '^#define LIBCURL_VERSION "8.21.0"$' "$src/include/curl/curlver.h"
  for p in DICT FILE FTP GOPHER IMAP IPFS LDAP LDAPS MQTT POP3 RTSP SMTP TELNET WEBSOCKETS; do
    off+=("-DCURL_DISABLE_$p=ON")
  done
  cmake_lib curl "$src" -DBUILD_STATIC_LIBS=ON -DBUILD_CURL_EXE=OFF -DBUILD_EXAMPLES=OFF \
    -DBUILD_LIBCURL_DOCS=OFF -DBUILD_MISC_DOCS=OFF -DENABLE_CURL_MANUAL=OFF \
    -DCURL_ENABLE_SSL=OFF -DCURL_USE_LIBPSL=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DUSE_NGHTTP2=OFF -DCURL_BROTLI=OFF \
    -DCURL_ZSTD=OFF -DCURL_ZLIB=ON -DENABLE_ARES=OFF -DCURL_DISABLE_HTTP=OFF \
    -DCURL_DISABLE_TFTP=OFF "${off[@]}"
}

# liblzma is static, so libzip must see its declarations without dllimport.
build_libzip() {
  local src
  src=$(unpack libzip-1.11.4.tar.gz)
  cmake_lib libzip "$src" -DCMAKE_C_FLAGS=-DLZMA_API_STATIC \
    -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF \
    -DENABLE_WINDOWS_CRYPTO=ON -DENABLE_BZIP2=ON -DENABLE_LZMA=ON -DENABLE_ZSTD=ON \
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_OSSFUZZ=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
  # libzip quietly drops a codec it cannot find: insist on all of them.
  local want
  for want in HAVE_LIBBZ2 HAVE_LIBLZMA HAVE_LIBZSTD HAVE_WINDOWS_CRYPTO; do
    grep -q "^#define $want" "$work/build-libzip/config.h" || { echo "libzip built without $want"; return 1; }
  done
}

# The prefix holds static libraries only, so each .pc file's private fields
# belong in the public ones: a plain `pkg-config --cflags --libs` (and CMake's
# pkg_check_modules) then gives CURL_STATICLIB, LZMA_API_STATIC and every
# library a static link needs. Repeated flags and modules are dropped; of a
# repeated library the last mention stays, which keeps the link order valid.
fold_pkgconfig() {
  local pc
  for pc in "$prefix"/lib/pkgconfig/*.pc; do
    awk '
      function dedup(value, keep_last,    n, t, i, out, seen) {
        n = split(value, t, /[ \t]+/)
        out = ""
        if (keep_last) {
          for (i = n; i >= 1; i--)
            if (t[i] != "" && !(t[i] in seen)) { seen[t[i]] = 1; out = (out == "" ? t[i] : t[i] " " out) }
        } else {
          for (i = 1; i <= n; i++)
            if (t[i] != "" && !(t[i] in seen)) { seen[t[i]] = 1; out = (out == "" ? t[i] : out " " t[i]) }
        }
        return out
      }
      /^(Libs|Cflags|Requires)(\.private)?:/ {
        field = $0; sub(/:.*/, "", field); sub(/\.private$/, "", field)
        value = $0; sub(/^[^:]*:[ \t]*/, "", value)
        if (!(field in have)) { order[++n] = field; have[field] = 1 }
        if (value != "") all[field] = (all[field] == "" ? value : all[field] " " value)
        next
      }
      { print }
      END {
        for (i = 1; i <= n; i++) {
          f = order[i]; v = all[f]
          if (f == "Libs") v = dedup(v, 1)
          else if (f == "Cflags" || (f == "Requires" && v !~ /[<>=]/)) v = dedup(v, 0)
          print f ": " v
        }
      }
    ' "$pc" >"$pc.new"
    mv "$pc.new" "$pc"
  done
}

step zlib build_zlib
step bzip2 build_bzip2
step xz build_xz
step zstd build_zstd
step libcsv build_libcsv
step curl build_curl
step libzip build_libzip
step pkgconfig fold_pkgconfig

# Only libraries, headers, pkg-config files and CMake packages stay.
rm -rf "${prefix:?}/bin" "${prefix:?}/share" "${prefix:?}"/lib/*.la
touch "$stamp"
rm -rf "$work"
say "built in $((SECONDS - started)) s"
echo "$prefix"
