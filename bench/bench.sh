#!/usr/bin/env bash
# Usage: bench/bench.sh [DRAVLET [ROUNDS [cold]]]
# Times dravlet (default build/release/dravlet) against
#   dd bs=64K iflag=skip_bytes,count_bytes skip=START count=LENGTH
# on the same byte ranges of the same sources, held in the page cache:
#   100-B, 1-MiB, 420-MiB  ranges of a 512 MiB source on the folder's own
#                          file system (BENCH_DIR, else TMPDIR or /tmp)
#   floor                  a static program that only returns 0 (built with
#                          musl), against dd's 100-byte run: the least any
#                          program takes to start and end here
#   700-MiB-xfs            a range that starts on a block boundary of a 768
#                          MiB source on a loop-mounted XFS, where dravlet
#                          shares blocks; needs root and xfsprogs, else the
#                          row says why it is missing
#   scattered-xfs          the space that a 64 MiB file on that XFS, with 4 KiB
#                          of data at every MiB, takes when copied from byte 1,
#                          against the blocks that its data covers
#   sparse-4GiB            a 4 GiB disk image holding 400 MiB of data (forty
#                          10 MiB extents, one every 100 MiB), from byte 4096
#                          to 8 KiB before its end, against dd and dd
#                          conv=sparse
#   scattered              a 1 GiB file with 4 KiB of data in every 64 KiB,
#                          whole, against cp --sparse=always, and the space
#                          each copy took against the source's
#   sparse-1TiB            a 1 TiB image holding 200 MiB of data (twenty
#                          10 MiB extents), from byte 4096 to 8 KiB before its
#                          end, against dravlet's time on the 4 GiB image
#   The last three with a cold cache: the caches are dropped before each
#   command, which needs root (else the rows say so); the best of
#   ROUNDS_SPARSE (default 2) rounds in an order that turns each round, as
#   the first large writer after a large delete waits for ext4's clean-up.
# With "cold", only the last three rows run.
# The commands alternate run by run (in rounds of hyperfine runs when
# hyperfine is installed, else one by one), so that a change in the
# machine's load hits all alike. The destination is removed before each run.
# Prints the median whole-process time of each, the ratio to dd, and each
# one's peak resident memory (GNU time's maximum resident set size); after
# the XFS row, the space its copy took on the file system.
set -euo pipefail
cd "$(dirname "$0")/.."
# used_bytes, shared with the suite.
source tests/e2e/helpers.bash
dravlet=$(realpath "${1:-build/release/dravlet}")
rounds=${2:-20}
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/dravlet-bench.XXXXXX")
xfs=$work/xfs
cleanup() {
  mountpoint -q "$xfs" 2>/dev/null && umount "$xfs"
  rm -rf "$work"
}
trap cleanup EXIT

head -c $((512 << 20)) /dev/urandom >"$work/source"
cat "$work/source" >/dev/null # into the page cache

printf 'int main(void) { return 0; }\n' >"$work/floor.c"
floor_built=false
gcc -specs=/usr/lib/x86_64-linux-musl/musl-gcc.specs -static -O2 -s "$work/floor.c" -o "$work/floor" 2>/dev/null &&
  floor_built=true

xfs_missing=
mkdir "$xfs"
if ! command -v mkfs.xfs >/dev/null; then
  xfs_missing="no mkfs.xfs (apt-get build-dep ./ installs it)"
elif ! xfs_missing=$(truncate -s 2G "$work/xfs.img" && mkfs.xfs -q "$work/xfs.img" 2>&1 &&
  mount -o loop "$work/xfs.img" "$xfs" 2>&1); then
  xfs_missing="cannot mount an XFS image: $xfs_missing"
else
  xfs_missing=
  head -c $((768 << 20)) /dev/urandom >"$xfs/source"
  sync -f "$xfs"
fi

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# time_once LABEL COMMAND...: runs COMMAND once and appends its whole-process
# time, in seconds, to $work/LABEL.times.
time_once() {
  local label=$1
  shift
  rm -f "$out_tool" "$out_dd"
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  local end=$EPOCHREALTIME
  echo "$end - $start" | bc -l >>"$work/$label.times"
}

peak_kib() {
  rm -f "$out_tool" "$out_dd"
  /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1
}

# compare NAME RUNS: times $tool_cmd against $dd_cmd and prints their row.
compare() {
  local name=$1 runs=$2 round who
  local -a cmd
  rm -f "$work"/*.times
  for ((round = 0; round < rounds; round++)); do
    # Alternate which command goes first in each round.
    local order=(tool dd)
    ((round % 2)) && order=(dd tool)
    for who in "${order[@]}"; do
      if [ "$who" = tool ]; then cmd=("${tool_cmd[@]}"); else cmd=("${dd_cmd[@]}"); fi
      if command -v hyperfine >/dev/null; then
        hyperfine -N --style none --runs "$runs" --prepare "rm -f $out_tool $out_dd" --export-json "$work/run.json" \
          "$(printf '%q ' "${cmd[@]}")" >/dev/null 2>&1
        python3 -c 'import json,sys; print("\n".join(map(str, json.load(open(sys.argv[1]))["results"][0]["times"])))' \
          "$work/run.json" >>"$work/$who.times"
      else
        for ((i = 0; i < runs; i++)); do time_once "$who" "${cmd[@]}"; done
      fi
    done
  done
  local tool_s dd_s tool_kib dd_kib
  tool_s=$(median <"$work/tool.times")
  dd_s=$(median <"$work/dd.times")
  tool_kib=$(for _ in 1 2 3 4 5; do peak_kib "${tool_cmd[@]}"; done | median)
  dd_kib=$(for _ in 1 2 3 4 5; do peak_kib "${dd_cmd[@]}"; done | median)
  awk -v n="$name" -v t="$tool_s" -v d="$dd_s" -v tk="$tool_kib" -v dk="$dd_kib" \
    'BEGIN { printf "%-12s %12.3f %12.3f %7.3f %14d %14d %7.2f\n", n, t * 1000, d * 1000, t / d, tk, dk, tk / dk }'
}

# range NAME FOLDER START LENGTH RUNS: one range of FOLDER/source.
range() {
  local name=$1 folder=$2 start=$3 length=$4 runs=$5
  out_tool=$folder/out-dravlet
  out_dd=$folder/out-dd
  tool_cmd=("$dravlet" "$folder/source" "$out_tool" "$length" "-o$start")
  # shellcheck disable=SC2054 # dd's flags are one word
  dd_cmd=(dd "if=$folder/source" "of=$out_dd" bs=64K iflag=skip_bytes,count_bytes "skip=$start" "count=$length" status=none)
  rm -f "$out_tool" "$out_dd"
  "${tool_cmd[@]}" >/dev/null
  "${dd_cmd[@]}"
  cmp "$out_tool" "$out_dd" || { echo "dravlet and dd copied different bytes" >&2; exit 1; }
  compare "$name" "$runs"
}

# cold_rows IMAGE ROW...: times each ROW, "NAME COMMAND" with @OUT@ standing for
# a new destination, with a cold cache: the best of ROUNDS_SPARSE rounds, in
# an order that turns each round. Sets seconds[NAME] and space[NAME], the
# bytes the copy took, and checks that all copied the same bytes.
cold_rows() {
  local image=$1 round row n=0
  shift
  local -a rows=("$@")
  seconds=() space=()
  for ((round = 0; round < ${ROUNDS_SPARSE:-2}; round++)); do
    for row in "${rows[@]}"; do
      local name=${row%% *}
      # A new name for every copy: no delete runs while a command is timed.
      n=$((n + 1))
      sync
      echo 3 >/proc/sys/vm/drop_caches
      local start=$EPOCHREALTIME took best
      eval "${row#* }" >/dev/null
      took=$(echo "$EPOCHREALTIME - $start" | bc -l)
      best=${seconds[$name]:-}
      if [ -z "$best" ] || [ "$(echo "$took < $best" | bc -l)" = 1 ]; then seconds[$name]=$took; fi
      space[$name]=$(($(stat -c '%b * %B' "$work/cold-out$n")))
      # Each command's bytes, once, against the first's.
      if [ "$n" -gt 1 ] && [ "$round" -eq 0 ]; then
        cmp "$work/cold-out1" "$work/cold-out$n" || { echo "$name copied other bytes" >&2; exit 1; }
      fi
      [ "$n" -eq 1 ] || rm "$work/cold-out$n"
    done
    rows=("${rows[@]:1}" "${rows[0]}")
  done
  rm -f "$work"/cold-out* "$image"
}

# cold_command TOOL-OR-PEER ARGS...: a row's command, each argument quoted,
# @OUT@ numbered by cold_rows.
# shellcheck disable=SC2016 # expanded where the command runs
cold_command() { printf '%q ' "$@" | sed 's/@OUT@/$work\/cold-out$n/g'; }

# sparse_rows: the cold rows; see the head of this file.
sparse_rows() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "sparse       (skipped: dropping the page cache needs root)"
    return
  fi
  local -A seconds=() space=()
  local image=$work/sparse.img i
  local length=$(((4 << 30) - 4096 - 8192))
  truncate -s 4G "$image"
  for ((i = 0; i < 40; i++)); do
    head -c $((10 << 20)) /dev/urandom | dd of="$image" bs=1M seek=$((i * 100)) conv=notrunc status=none
  done
  # shellcheck disable=SC2054 # dd's flags are one word
  local dd=(dd "if=$image" of=@OUT@ bs=64K iflag=skip_bytes,count_bytes skip=4096 "count=$length" status=none)
  cold_rows "$image" "tool $(cold_command "$dravlet" "$image" @OUT@ "$length" -o4096)" \
    "sparse $(cold_command "${dd[@]}" conv=sparse)" "dd $(cold_command "${dd[@]}")"
  local image_seconds=${seconds[tool]}
  awk -v t="${seconds[tool]}" -v d="${seconds[dd]}" -v s="${seconds[sparse]}" -v tb="${space[tool]}" \
    -v db="${space[dd]}" -v sb="${space[sparse]}" 'BEGIN {
      printf "sparse-4GiB  dravlet %.3f s, dd %.3f s (ratio %.3f), dd conv=sparse %.3f s (ratio %.3f)\n",
        t, d, t / d, s, t / s
      printf "sparse-4GiB  space written: dravlet %d MiB (%.3f of the 400 MiB of data), dd %d MiB, dd conv=sparse %d MiB\n",
        tb / 1048576, tb / 419430400, db / 1048576, sb / 1048576 }'

  # 4 KiB of data in every 64 KiB of 1 GiB, the whole file.
  truncate -s 1G "$image"
  python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_WRONLY)
for i in range(16384): os.pwrite(fd, os.urandom(4096), i * 65536)' "$image"
  local allocated=$(($(stat -c '%b * %B' "$image")))
  cold_rows "$image" "tool $(cold_command "$dravlet" "$image" @OUT@ 1073741824)" \
    "cp $(cold_command cp --sparse=always "$image" @OUT@)"
  awk -v t="${seconds[tool]}" -v c="${seconds[cp]}" -v tb="${space[tool]}" -v cb="${space[cp]}" -v a="$allocated" \
    'BEGIN {
      printf "scattered    dravlet %.3f s, cp --sparse=always %.3f s (ratio %.3f)\n", t, c, t / c
      printf "scattered    space written: dravlet %d MiB (%.3f of the source'"'"'s %d MiB), cp %d MiB\n",
        tb / 1048576, tb / a, a / 1048576, cb / 1048576 }'

  # 200 MiB of data in 1 TiB: twenty 10 MiB extents, one every 50 GiB.
  truncate -s 1T "$image" || { echo "sparse-1TiB  (skipped: no file of 1 TiB here)" && return; }
  for ((i = 0; i < 20; i++)); do
    head -c $((10 << 20)) /dev/urandom | dd of="$image" bs=1M seek=$((i * 51200)) conv=notrunc status=none
  done
  cold_rows "$image" "tool $(cold_command "$dravlet" "$image" @OUT@ $(((1 << 40) - 4096 - 8192)) -o4096)"
  awk -v t="${seconds[tool]}" -v i="$image_seconds" -v tb="${space[tool]}" 'BEGIN {
      printf "sparse-1TiB  dravlet %.3f s (%.2f of the 4 GiB image'"'"'s), space written %d MiB\n", t, t / i, tb / 1048576 }'
}

processor=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo "processor: ${processor:-unknown} ($(nproc) cores), kernel $(uname -r)"
echo "dravlet: $dravlet ($(stat -c %s "$dravlet") bytes)"
if [ "${3:-}" != cold ]; then
  printf '%-12s %12s %12s %7s %14s %14s %7s\n' range dravlet-ms dd-ms ratio dravlet-KiB dd-KiB ratio
  range 100-B "$work" 12345 100 10
  if $floor_built; then
    # The floor in dravlet's columns, against the same dd run.
    tool_cmd=("$work/floor")
    compare floor 10
  else
    echo "floor        (not built: no musl-gcc specs, apt-get build-dep -P pkg.dravlet.release ./ installs them)"
  fi
  range 1-MiB "$work" 7777777 1048576 10
  range 420-MiB "$work" 33554432 440401920 1
  if [ -z "$xfs_missing" ]; then
    rm -f "$xfs/out-dravlet" "$xfs/out-dd"
    before=$(used_bytes "$xfs")
    "$dravlet" "$xfs/source" "$xfs/out-dravlet" 734003200 -o33554432 >/dev/null
    grown=$(($(used_bytes "$xfs") - before))
    range 700-MiB-xfs "$xfs" 33554432 734003200 1
    echo "700-MiB-xfs: dravlet's copy took $((grown / 1024)) KiB of new space on the file system"
    # 4 KiB of data at every MiB of 64 MiB, from byte 1: each 4 KiB then
    # covers two blocks, 512 KiB in all, which is all the copy should take.
    truncate -s 64M "$xfs/scattered"
    python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_WRONLY)
for i in range(64): os.pwrite(fd, os.urandom(4096), i << 20)' "$xfs/scattered"
    "$dravlet" "$xfs/scattered" "$xfs/out-scattered" 67108863 -o1 >/dev/null
    cmp "$xfs/out-scattered" <(tail -c +2 "$xfs/scattered") || { echo "dravlet copied other bytes" >&2; exit 1; }
    taken=$(($(stat -c '%b * %B' "$xfs/out-scattered")))
    awk -v t="$taken" 'BEGIN { printf "scattered-xfs: from byte 1, dravlet %d KiB, the data'"'"'s blocks 512 KiB (ratio %.3f)\n",
      t / 1024, t / 524288 }'
  else
    echo "700-MiB-xfs  (skipped: $xfs_missing)"
  fi
fi
sparse_rows
