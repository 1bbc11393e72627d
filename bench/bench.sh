#!/usr/bin/env bash
# Usage: bench/bench.sh [DRAVLET [ROUNDS]]
# Times dravlet (default build/release/dravlet) against
#   dd bs=64K iflag=skip_bytes,count_bytes skip=START count=LENGTH
# on the same byte ranges of the same 512 MiB source, held in the page cache:
# 100 bytes, 1 MiB and 420 MiB. The two commands alternate run by run (in
# rounds of hyperfine runs when hyperfine is installed, else one by one),
# so that a change in the machine's load hits both alike. The destination is
# removed before each run, so that neither pays for truncating the last one's. Prints the median
# whole-process time of each, the ratio dravlet/dd, and each one's peak
# resident memory (GNU time's maximum resident set size).
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/release/dravlet}")
rounds=${2:-20}
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/dravlet-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

source=$work/source
head -c $((512 << 20)) /dev/urandom >"$source"
cat "$source" >/dev/null  # into the page cache

# name start length runs-per-round
ranges=(
  "100-B 12345 100 10"
  "1-MiB 7777777 1048576 10"
  "420-MiB 33554432 440401920 1"
)

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# time_once LABEL COMMAND...: runs COMMAND once and appends its whole-process
# time, in seconds, to $work/LABEL.times.
time_once() {
  local label=$1
  shift
  rm -f "$work/out-dravlet" "$work/out-dd"
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  local end=$EPOCHREALTIME
  echo "$end - $start" | bc -l >>"$work/$label.times"
}

peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }

printf '%-8s %12s %12s %7s %14s %14s %7s\n' range dravlet-ms dd-ms ratio dravlet-KiB dd-KiB ratio
for entry in "${ranges[@]}"; do
  read -r name start length runs <<<"$entry"
  tool_cmd=("$tool" "$source" "$work/out-dravlet" "$length" "-o$start")
  dd_cmd=(dd "if=$source" "of=$work/out-dd" bs=64K iflag=skip_bytes,count_bytes "skip=$start" "count=$length" status=none)
  "${tool_cmd[@]}" >/dev/null
  "${dd_cmd[@]}"
  cmp "$work/out-dravlet" "$work/out-dd" || { echo "dravlet and dd copied different bytes" >&2; exit 1; }
  rm -f "$work"/*.times
  for ((round = 0; round < rounds; round++)); do
    if command -v hyperfine >/dev/null; then
      # Alternate which command goes first in each round.
      order=(tool dd)
      ((round % 2)) && order=(dd tool)
      for who in "${order[@]}"; do
        if [ "$who" = tool ]; then cmd=("${tool_cmd[@]}"); else cmd=("${dd_cmd[@]}"); fi
        hyperfine -N --style none --runs "$runs" --prepare "rm -f $work/out-dravlet $work/out-dd" --export-json "$work/run.json" "$(printf '%q ' "${cmd[@]}")" >/dev/null 2>&1
        python3 -c 'import json,sys; print("\n".join(map(str, json.load(open(sys.argv[1]))["results"][0]["times"])))' \
          "$work/run.json" >>"$work/$who.times"
      done
    else
      for ((i = 0; i < runs; i++)); do
        time_once tool "${tool_cmd[@]}"
        time_once dd "${dd_cmd[@]}"
      done
    fi
  done
  tool_s=$(median <"$work/tool.times")
  dd_s=$(median <"$work/dd.times")
  tool_kib=$(for _ in 1 2 3 4 5; do peak_kib "${tool_cmd[@]}"; done | median)
  dd_kib=$(for _ in 1 2 3 4 5; do peak_kib "${dd_cmd[@]}"; done | median)
  awk -v n="$name" -v t="$tool_s" -v d="$dd_s" -v tk="$tool_kib" -v dk="$dd_kib" \
    'BEGIN { printf "%-8s %12.3f %12.3f %7.2f %14d %14d %7.2f\n", n, t * 1000, d * 1000, t / d, tk, dk, tk / dk }'
done
