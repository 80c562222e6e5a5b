# Toolchain for cross-compiling to 64-bit Windows (x86_64-w64-mingw32) with
# Debian's mingw-w64 compilers of the posix thread model, which provide
# std::thread and friends through libwinpthread.
#
# The libraries come from the static dependency prefix that
# scripts/build-windows-deps.sh builds and prints as its last line:
#
#   prefix=$(bash scripts/build-windows-deps.sh | tail -n 1)
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DORNAT_WIN_DEPS_PREFIX="$prefix"
#
# (or export ORNAT_WIN_DEPS_PREFIX instead of passing it). Libraries, headers,
# CMake packages and pkg-config files are then looked up in that prefix first
# and in the mingw-w64 sysroot second, never on the build host. Executables
# link statically: the result needs only DLLs that come with Windows.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORNAT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORNAT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORNAT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORNAT_MINGW_TRIPLE}-windres)

# The prefix is read on every configure and handed on to try_compile()
# projects, which read this file again.
if(NOT ORNAT_WIN_DEPS_PREFIX AND DEFINED ENV{ORNAT_WIN_DEPS_PREFIX})
  set(ORNAT_WIN_DEPS_PREFIX "$ENV{ORNAT_WIN_DEPS_PREFIX}")
endif()
if(NOT ORNAT_WIN_DEPS_PREFIX)
  message(FATAL_ERROR "Set ORNAT_WIN_DEPS_PREFIX to the prefix that scripts/build-windows-deps.sh prints.")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORNAT_WIN_DEPS_PREFIX)

set(ORNAT_MINGW_SYSROOT /usr/${ORNAT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH "${ORNAT_WIN_DEPS_PREFIX}" "${ORNAT_MINGW_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the prefix's .pc files, none of the host's. Those
# files already carry the flags and libraries a static link needs.
set(ENV{PKG_CONFIG_LIBDIR} "${ORNAT_WIN_DEPS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Static linking: libgcc, libstdc++ and libwinpthread go into the .exe, and
# FindZLIB takes libz.a rather than the sysroot's import library for a DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)

# Lets CTest and try_run() start Windows programs through Wine.
find_program(ORNAT_WINE_EXECUTABLE NAMES wine)
if(ORNAT_WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${ORNAT_WINE_EXECUTABLE}")
endif()
