#!/usr/bin/env bash
# Usage: scripts/fuzz.sh SECONDS
# Builds the libFuzzer target if needed and fuzzes the whole command line for
# SECONDS seconds, growing build/fuzz/corpus from the checked-in seeds.
# SECONDS of 0 only replays the seeds. Exits non-zero on a finding, whose
# reproducer is left in build/fuzz/findings/ and printed to the log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
fuzzer=build/fuzz/tests/fuzz/dravlet_fuzzer
mkdir -p build/fuzz/corpus build/fuzz/findings

report() {
  for finding in build/fuzz/findings/*; do
    [ -e "$finding" ] || continue
    echo "reproducer $finding:"
    od -A d -c "$finding"
  done
}

options=(-dict=tests/fuzz/dravlet.dict -max_len=256 -artifact_prefix=build/fuzz/findings/ -print_final_stats=1)
status=0
if [ "$seconds" -eq 0 ]; then
  "$fuzzer" "${options[@]}" -runs=0 tests/fuzz/corpus || status=$?
else
  "$fuzzer" "${options[@]}" -max_total_time="$seconds" build/fuzz/corpus tests/fuzz/corpus || status=$?
fi
[ "$status" -eq 0 ] || report
exit "$status"
