#!/usr/bin/env bash
# Usage: scripts/fuzz.sh SECONDS | scripts/fuzz.sh --runs N
# Builds the libFuzzer target if needed and fuzzes the whole command line.
#   SECONDS    fuzz for that long, growing build/fuzz/corpus from the
#              checked-in seeds; 0 only replays the seeds.
#   --runs N   replay the seeds, then N inputs from a fixed seed into a fresh
#              corpus: the same inputs every time, for CI.
# Exits non-zero on a finding, whose reproducer is left in
# build/fuzz/findings/ and printed to the log.
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: scripts/fuzz.sh SECONDS | scripts/fuzz.sh --runs N"

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DDRAVLET_FUZZ=ON \
  -DDRAVLET_WERROR=ON >/dev/null
cmake --build build/fuzz
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
case ${1:?$usage} in
--runs)
  rm -rf build/fuzz/ci-corpus
  mkdir build/fuzz/ci-corpus
  "$fuzzer" "${options[@]}" -seed=1 -runs="${2:?$usage}" build/fuzz/ci-corpus tests/fuzz/corpus || status=$?
  ;;
0) "$fuzzer" "${options[@]}" -runs=0 tests/fuzz/corpus || status=$? ;;
*) "$fuzzer" "${options[@]}" -max_total_time="$1" build/fuzz/corpus tests/fuzz/corpus || status=$? ;;
esac
[ "$status" -eq 0 ] || report
exit "$status"
