#!/usr/bin/env bash
# Builds everything and runs every test: the unit and end-to-end tests in a
# normal build and in an AddressSanitizer + UndefinedBehaviorSanitizer build,
# then each libFuzzer target for a short time (FUZZ_SECONDS, default 45),
# then the Windows build under Wine (scripts/test-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

JOBS=${JOBS:-2}
FUZZ_SECONDS=${FUZZ_SECONDS:-45}

echo "== normal build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS"
ctest --test-dir build --output-on-failure -j1
bash scripts/test-ansible.sh  # the Ansible collection against four simulators

echo "== sanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORNAT_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$JOBS"
# Every test runs under the sanitizers except the end-to-end tests marked
# slow: those wait out time limits, which the normal build has just checked.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 PYTEST_ADDOPTS="-m 'not slow'" \
  ctest --test-dir build-asan --output-on-failure -j1

echo "== fuzz targets (${FUZZ_SECONDS}s each)"
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORNAT_FUZZ=ON -DORNAT_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j"$JOBS"
for target in build-fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus=build-fuzz/corpus-$name
  mkdir -p "$corpus"
  seeds=fuzz/seeds/${name%_fuzz}
  args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  echo "-- $name"
  "$target" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -print_final_stats=1 "${args[@]}" 2>&1 | tail -n 12
  status=${PIPESTATUS[0]}
  if [ "$status" -ne 0 ]; then echo "$name failed with status $status"; exit 1; fi
done

echo "== Windows build under Wine"
bash scripts/test-windows.sh
bash scripts/test-package.sh  # the .deb (lintian, its program, manual page, completion) and the Windows zip
echo "All tests passed."
