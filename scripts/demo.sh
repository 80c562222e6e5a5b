#!/usr/bin/env bash
# Builds ornat-cli and runs its main job, a full backup, against the bundled
# controller simulator on a free loopback port. The archive lands in
# ./demo-output (or the folder given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"${JOBS:-2}" --target ornat-cli

out=${1:-demo-output}
mkdir -p "$out"
# The launcher runs the commands below while a simulator runs, with its
# address in ORNAT_SIM_IP, and stops the simulator after them.
PYTHONPATH=sim python3 -m ornat_sim.launcher --model TARNEL-4 --firmware 1.5.0 -- bash -c '
  set -euo pipefail
  echo "Controller simulator listening on $ORNAT_SIM_IP"
  ./build/ornat-cli --action get_status --ip "$ORNAT_SIM_IP"
  ./build/ornat-cli --action get_backup --ip "$ORNAT_SIM_IP" --backupfileout "$1" --backupfileouttype zip >/dev/null
  archive=$(ls -t "$1"/backup_*.zip | head -n 1)
  echo "Backup archive: $archive"
  unzip -l "$archive" | tail -n 1' demo "$out"
