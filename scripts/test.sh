#!/usr/bin/env bash
# Builds linecast twice, plain and with ASan + UBSan, and runs the whole test suite in both.
# Every broker a test needs is started by the test itself on a free loopback port.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

jobs=$(nproc)
# Most tests wait on brokers, timers and children rather than compute: twice as many run at once
# as there are cores.
test_jobs=$((2 * jobs))
for tree in build:OFF build-asan:ON; do
  dir=${tree%%:*}
  sanitize=${tree##*:}
  echo "== $dir (sanitizers $sanitize)"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINECAST_SANITIZE="$sanitize" \
    -DLINECAST_WERROR=ON >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$test_jobs")
done
