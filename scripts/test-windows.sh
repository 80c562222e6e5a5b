#!/usr/bin/env bash
# Builds the Windows executable and tests it under Wine:
#   - the unit tests that make sense on Windows (build-win/ornat_tests.exe,
#     through ctest, which starts it with wine);
#   - the end-to-end tests of tests/e2e/test_windows.py (every action against
#     the simulator, paths outside ASCII, the safety backup in the Downloads
#     folder of the Wine prefix, the log window on a virtual display with a
#     screenshot in build-win/log-window.png) and a selection of the other
#     end-to-end tests, all through the .exe.
# Wine runs in private prefixes, build-win/wineprefix and, for the runs that
# show the log window on a private Xvfb display, build-win/wineprefix-window
# (made on the first run); wine servers and display end with the script.
# JOBS sets the parallel build jobs (default 2).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
repo=$PWD
started=$SECONDS
build=$repo/build-win

echo "== Windows build"
bash scripts/build-windows.sh ornat_tests

# Besides what the build installs (wine, xvfb, imagemagick): xwininfo, which
# finds the log window on the display.
bash scripts/install-deps.sh x11-utils

export WINEDEBUG=-all
# No Mono or Gecko installer dialogs while a prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY WINEPREFIX

# Two private prefixes, each with a wine server of its own: one for the runs
# without a desktop, one for the runs that show the log window. (In one wine
# session the desktop gets a display or none when it is first needed; a
# window asked for while a desktop without a display is up is never made.)
prefix=$build/wineprefix
window_prefix=$build/wineprefix-window

xvfb_pid=""
cleanup() {
  local p
  for p in "$prefix" "$window_prefix"; do WINEPREFIX=$p wineserver -k 2>/dev/null || true; done
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Makes a prefix on the first run. Wine links the profile's Downloads
# folder to $HOME; the tests want a folder of the prefix's own.
prepare_prefix() {
  local p=$1 downloads
  if [ ! -f "$p/system.reg" ]; then
    echo "== Wine prefix $p"
    WINEPREFIX=$p wineboot --init
    WINEPREFIX=$p wineserver --wait
  fi
  downloads="$p/drive_c/users/$(id -un)/Downloads"
  if [ -L "$downloads" ]; then rm "$downloads"; fi
  mkdir -p "$downloads"
}
prepare_prefix "$prefix"
prepare_prefix "$window_prefix"

# A display of its own; Xvfb picks a free number and writes it to fd 3.
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$display_file" ] && break; sleep 0.1; done
display=":$(head -n 1 "$display_file")"
rm -f "$display_file"
[ "$display" != ":" ] || { echo "test-windows: Xvfb did not start" >&2; exit 1; }

# One wine server per prefix for all the runs, so that each start is quick.
# The first run of each starts Wine's own background processes; they keep
# the standard streams they were started with, so they get none that a test
# waits on.
WINEPREFIX=$prefix wineserver --persistent
WINEPREFIX=$prefix wine cmd.exe /c exit </dev/null >/dev/null 2>&1
WINEPREFIX=$window_prefix wineserver --persistent
WINEPREFIX=$window_prefix DISPLAY=$display wine cmd.exe /c exit </dev/null >/dev/null 2>&1
export WINEPREFIX=$prefix  # ctest's wine

# The end-to-end fixtures run ORNAT_CLI: this wrapper starts the .exe under
# Wine, without a desktop unless ORNAT_SHOW_WINDOW_ON names a display.
wrapper=$build/ornat-cli-wine
cat >"$wrapper" <<EOF
#!/bin/sh
# ornat-cli.exe under Wine, for the end-to-end tests (made by scripts/test-windows.sh).
export WINEDEBUG=-all
if [ -n "\${ORNAT_SHOW_WINDOW_ON:-}" ]; then
  export WINEPREFIX='$window_prefix' DISPLAY="\$ORNAT_SHOW_WINDOW_ON"
else
  export WINEPREFIX='$prefix'
  unset DISPLAY
fi
exec wine '$build/ornat-cli.exe' "\$@"
EOF
chmod +x "$wrapper"

echo "== unit tests (Wine)"
ctest --test-dir "$build" --output-on-failure

echo "== end-to-end tests (Wine)"
rm -f "$build/log-window.png"
# The tests marked "windows": test_windows.py, and a few tests of the other
# files whose output holds on every platform (paths the tool builds differ:
# '\' on Windows) and that need no safety backup of a 2 MiB flash image (a
# minute under Wine).
ORNAT_CLI=$wrapper ORNAT_SOURCE_DIR=$repo ORNAT_WINE_PREFIX=$prefix ORNAT_XVFB_DISPLAY=$display \
  ORNAT_WINDOW_SHOT=$build/log-window.png \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider --durations=5 -m windows tests/e2e
[ -s "$build/log-window.png" ] && echo "log window screenshot: $build/log-window.png"
echo "Windows tests passed in $((SECONDS - started)) s."
