#!/usr/bin/env bash
# Tests the Ansible collection ornat.controller (ansible/): its integration
# playbook against four controller simulators on loopback, what reached each
# simulator's request log, the unit tests of module_utils, the modules'
# documentation (ansible-doc) and the ansible-test sanity tests that need
# nothing from PyPI. Builds nothing: it runs build/ornat-cli (or ORNAT_CLI).
# Its files go to build/ansible-run/, HOME included (the safety backups,
# Ansible's temporary files).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
CLI=$(realpath "${ORNAT_CLI:-build/ornat-cli}")
COLLECTION=$ROOT/ansible/ansible_collections/ornat/controller
RUN=$ROOT/build/ansible-run

fail() { echo "test-ansible: $*" >&2; exit 1; }
[ -x "$CLI" ] || fail "$CLI is missing: build it first"
command -v ansible-playbook >/dev/null || fail "ansible-playbook is missing: bash scripts/install-deps.sh ansible"
start=$SECONDS

rm -rf "$RUN"
mkdir -p "$RUN/home" "$RUN/backups"
export HOME=$RUN/home
export PATH=$(dirname "$CLI"):$PATH
export ANSIBLE_COLLECTIONS_PATH=$ROOT/ansible ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 \
       ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 ANSIBLE_FORKS=4

sims=()
stop_sims() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null || true; done
  sims=()
}
trap stop_sims EXIT

# start_sim NAME [simulator options]: a simulator with its state folder and
# request log in the run folder; sets IP to its address.
start_sim() {
  local name=$1
  shift
  python3 sim/controller_sim.py --port 0 --state "$RUN/$name-state" --log "$RUN/$name.log" "$@" \
    >"$RUN/$name.out" 2>"$RUN/$name.err" &
  sims+=($!)
  for _ in $(seq 200); do
    if grep -q '^listening on ' "$RUN/$name.out"; then
      IP=$(sed -n 's/^listening on //p' "$RUN/$name.out")
      return
    fi
    sleep 0.1
  done
  cat "$RUN/$name.err" >&2
  fail "simulator $name did not start"
}

echo "== Ansible: four simulators"
inventory="controllers:
  vars:
    ansible_connection: local
    backups: $RUN/backups
    firmware_image: $RUN/tarnel-2-1.5.0.binary
  hosts:"
for name in ctl1 ctl2 ctl3 ctl4; do
  case $name in
    ctl3) start_sim $name --faults '{"upgrade_quiet": 1}' ;;
    ctl4) start_sim $name --faults '{"set_http_500": ["rlc"]}' ;;
    *) start_sim $name ;;
  esac
  inventory+="
    $name: {controller_ip: \"$IP\", sim_log: \"$RUN/$name.log\"}"
done
echo "$inventory" >"$RUN/inventory.yml"
PYTHONPATH=sim python3 -c 'import sys; from ornat_sim.firmware import build_firmware_image as b
open(sys.argv[1], "wb").write(b("TARNEL-2", "1.5.0"))' "$RUN/tarnel-2-1.5.0.binary"

echo "== Ansible: integration playbook"
set +e
ansible-playbook -i "$RUN/inventory.yml" --diff "$COLLECTION/tests/integration/fleet.yml" 2>&1 | tee "$RUN/playbook.log"
status=${PIPESTATUS[0]}
set -e
stop_sims

# ctl4 alone failed (exit status 2: a host failed), and every simulator saw
# exactly the changes the playbook made for real: none from check mode, none
# from the second runs.
python3 - "$RUN" "$status" <<'EOF'
import json, os, re, sys

run, status = sys.argv[1], int(sys.argv[2])
problems = []
if status != 2:
    problems.append("ansible-playbook ended with %d, not 2 (one host failed)" % status)
recap = dict(re.findall(r"^(ctl\d)\s+: (.*)$", open(os.path.join(run, "playbook.log")).read(), re.M))
for host in ("ctl1", "ctl2", "ctl3", "ctl4"):
    fields = dict(f.split("=") for f in recap.get(host, "").split())
    wanted = "1" if host == "ctl4" else "0"
    if fields.get("failed") != wanted or fields.get("unreachable") != "0":
        problems.append("%s: recap %r, wanted failed=%s" % (host, recap.get(host), wanted))

def changes(host):
    kinds = []
    for line in open(os.path.join(run, host + ".log")):
        entry = json.loads(line)
        if entry["kind"] in ("upload", "restore", "firmware"):
            kinds.append(entry["kind"])
    return kinds

expected = {
    "ctl1": ["upload", "restore"] * 2,  # the drift, then the restore of dali1
    "ctl2": ["upload", "restore"],      # check mode and the second run sent nothing
    "ctl3": ["upload", "firmware"],     # one upload of the image
    "ctl4": [],
}
for host, wanted in expected.items():
    if changes(host) != wanted:
        problems.append("%s: request log has %s, wanted %s" % (host, changes(host), wanted))

backups = sorted(os.listdir(os.path.join(run, "backups")))
kept = [b for b in backups if b.startswith("backup_")]
if sorted(set(backups) - set(kept)) != ["ctl1.zip", "ctl2.zip", "ctl3.zip"] or len(kept) != 1:
    problems.append("backups folder holds %s: wanted ctl1-3.zip and ctl4's fresh archive" % backups)
downloads = os.path.join(run, "home", "Downloads")
safety = os.listdir(downloads) if os.path.isdir(downloads) else []
if len(safety) != 2:
    problems.append("Downloads holds %s: wanted the safety backups of the restore and the upgrade" % safety)
for p in problems:
    print("FAILED:", p, file=sys.stderr)
if problems:
    sys.exit(1)
print("Request logs, recap and files as expected.")
EOF

echo "== Ansible: module_utils, module documentation and sanity tests"
/usr/bin/python3 -m pytest -q -p no:cacheprovider "$COLLECTION/tests/unit"
for module in "$COLLECTION"/plugins/modules/*.py; do
  ansible-doc -t module "ornat.controller.$(basename "$module" .py)" >/dev/null
done
python_version=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
# The sanity tests that run without a virtual environment from PyPI.
tests=(compile action-plugin-docs empty-init future-import-boilerplate line-endings metaclass-boilerplate
       no-assert no-basestring no-dict-iteritems no-dict-iterkeys no-dict-itervalues no-get-exception
       no-illegal-filenames no-main-display no-smart-quotes no-unicode-literals replace-urlopen shebang
       symlinks use-argspec-type-path use-compat-six)
set +e
(cd "$COLLECTION" && ansible-test sanity --python "$python_version" "${tests[@]/#/--test=}" 2>&1) |
  grep -v 'locale\|Reviewing previous'
status=${PIPESTATUS[0]}
set -e
rm -rf "$COLLECTION/tests/output"
[ "$status" -eq 0 ] || fail "ansible-test sanity failed"
echo "Ansible collection tests passed in $((SECONDS - start)) s."
