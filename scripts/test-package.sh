#!/usr/bin/env bash
# Checks the release artefacts that scripts/package.sh builds:
#   - lintian on the .deb: no error and no warning but initial-upload-closes-no-bugs;
#   - the package's files, extracted with dpkg-deb -x: the program answers
#     --version and reads the status of the controller simulator, the manual
#     page renders with its EXIT STATUS section, the bash completion completes;
#   - the Windows zip, when there is one: the .exe and every licence text.
#
#   scripts/test-package.sh                       build the artefacts, check all
#   scripts/test-package.sh completion BIN [FILE] only the completion FILE
#                                                 (default: the repository's)
#                                                 against BIN --help (ctest)
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
repo=$PWD

fail() {
  echo "test-package: $*" >&2
  exit 1
}

# Completes the last of the words given, as bash does on TAB after them, by
# calling the completion function of FILE; prints the candidates sorted.
complete_words() {
  local file=$1
  shift
  bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    _ornat_cli "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$file" "$@" | LC_ALL=C sort
}

expect_completion() {
  local file=$1 want=$2
  shift 2
  local got
  got=$(complete_words "$file" "$@" | tr '\n' ' ')
  [ "$got" = "$want " ] || fail "completing '$*': got '$got', want '$want'"
}

# The completion offers exactly the options and the actions that --help
# lists (every --name token, and the first word of each line of the
# "Actions:" block), and completes values after the options that take them.
check_completion() {
  local binary=$1 file=$2 help drift
  help=$("$binary" --help)
  local help_options help_actions
  help_options=$(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | LC_ALL=C sort -u)
  help_actions=$(awk '/^Actions:/ { block = 1; next }
                      block && /^[ \t]+[a-z]/ { print $1; next }
                      block { exit }' <<<"$help" | LC_ALL=C sort -u)
  [ -n "$help_options" ] && [ -n "$help_actions" ] || fail "no options or no actions in $binary --help"
  if ! drift=$(diff <(echo "$help_options") <(complete_words "$file" ornat-cli --)); then
    fail "options of --help (<) and of the completion (>) differ; update $file:"$'\n'"$drift"
  fi
  if ! drift=$(diff <(echo "$help_actions") <(complete_words "$file" ornat-cli --action '')); then
    fail "actions of --help (<) and of the completion (>) differ; update $file:"$'\n'"$drift"
  fi

  expect_completion "$file" --action ornat-cli --act
  expect_completion "$file" get_backup ornat-cli --action get_b
  expect_completion "$file" get_backup ornat-cli --act get_b
  expect_completion "$file" get_backup ornat-cli --action=get_b
  expect_completion "$file" "directory zip" ornat-cli --action get_backup --backupfileouttype ''
  local scratch
  scratch=$(mktemp -d)
  mkdir "$scratch/out"
  touch "$scratch/ornat.bin"
  expect_completion "$file" "$scratch/out" ornat-cli --backupfileout "$scratch/"
  expect_completion "$file" "$scratch/ornat.bin $scratch/out" ornat-cli --firmwarefile "$scratch/"
  rm -rf "$scratch"
  echo "completion: $(wc -l <<<"$help_options") options and $(wc -l <<<"$help_actions") actions as in --help"
}

if [ "${1:-}" = completion ]; then
  [ $# -ge 2 ] || fail "usage: $0 completion BINARY [COMPLETION_FILE]"
  check_completion "$2" "${3:-$repo/packaging/ornat-cli.bash-completion}"
  exit 0
fi

echo "== package"
mapfile -t artefacts < <(bash scripts/package.sh)
deb=""
zip=""
for artefact in "${artefacts[@]}"; do
  case $artefact in
    *.deb) deb=$artefact ;;
    *.zip) zip=$artefact ;;
  esac
done
[ -n "$deb" ] || fail "scripts/package.sh made no .deb"

echo "-- lintian $deb"
lintian_out=$(lintian --fail-on none "$deb" 2>&1 | { grep -v 'running with root privileges' || true; })
[ -z "$lintian_out" ] || echo "$lintian_out"
if grep -E '^[EW]: ' <<<"$lintian_out" | grep -v ': initial-upload-closes-no-bugs'; then
  fail "lintian reports errors or warnings on $deb"
fi

echo "-- installed files"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"
binary=$scratch/usr/bin/ornat-cli
version=$("$binary" --version)
grep -qx "Version $(cat build-pkg/packaging/version)" <<<"$version" || fail "$binary --version: $version"
# A simulator runs while the command does; its address is in ORNAT_SIM_IP.
status=$(PYTHONPATH=sim /usr/bin/python3 -m ornat_sim.launcher --model TARNEL-4 --firmware 1.5.0 -- \
  sh -c 'exec "$0" --action get_status --ip "$ORNAT_SIM_IP"' "$binary")
grep -q '^model_name=TARNEL-4' <<<"$status" || fail "get_status against the simulator: $status"
echo "get_status: $(grep '^model_name=' <<<"$status")"

page=$scratch/usr/share/man/man1/ornat-cli.1.gz
manual=$(MANWIDTH=80 man -l "$page" 2>&1)
grep -qx 'EXIT STATUS' <<<"$manual" || fail "no EXIT STATUS section in $page"
grep -q '^ *128 + N' <<<"$manual" || fail "the exit status table is missing from $page"
echo "manual page: $(grep -cE '^[A-Z][A-Z ]+$' <<<"$manual") sections"

check_completion "$binary" "$scratch/usr/share/bash-completion/completions/ornat-cli"

if [ -n "$zip" ]; then
  echo "-- $zip"
  listing=$(unzip -Z1 "$zip")
  top=$(basename "$zip" .zip)
  for member in ornat-cli.exe README.md README-windows.txt; do
    grep -qx "$top/$member" <<<"$listing" || fail "$zip lacks $top/$member"
  done
  for licence in curl libzip xz zstd bzip2 libcsv zlib mingw-w64; do
    grep -qE "^$top/licenses/${licence}[^/]*\.txt$" <<<"$listing" || fail "$zip has no licence text of $licence"
  done
  echo "$listing" | sed 's/^/  /'
else
  echo "-- no Windows zip (no build-win/ornat-cli.exe)"
fi
echo "package checks passed"
