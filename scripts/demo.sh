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
state=$(mktemp -d)
log=$(mktemp)
python3 sim/controller_sim.py --address 127.0.0.1 --port 0 --model TARNEL-4 --firmware 1.5.0 \
  --state "$state" >"$log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$state" "$log"' EXIT
for _ in $(seq 100); do
  grep -q '^listening on ' "$log" && break
  sleep 0.1
done
address=$(sed -n 's/^listening on //p' "$log" | head -n 1)
[ -n "$address" ] || { echo "the simulator did not start:"; cat "$log"; exit 1; }
echo "Controller simulator listening on $address"

./build/ornat-cli --action get_status --ip "$address"
./build/ornat-cli --action get_backup --ip "$address" --backupfileout "$out" --backupfileouttype zip >/dev/null
archive=$(ls -t "$out"/backup_*.zip | head -n 1)
echo "Backup archive: $archive"
unzip -l "$archive" | tail -n 1
