#!/usr/bin/env bats
# On a file system that clones blocks (XFS, loop-mounted from a small image),
# a range whose start lies on a block boundary shares the source's blocks
# (its whole chunks by a clone, its whole blocks beyond them by the kernel's
# copy), and everything observable stays what the chunked copy gives. Needs root, mkfs.xfs and a loop device; skipped, saying why, where
# any is missing, or failed instead when DRAVLET_REQUIRE_CLONE is set (CI).
# DRAVLET as for dravlet.bats.

load helpers

setup_file() {
  export XFS_MOUNT=$BATS_FILE_TMPDIR/xfs
  local image=$BATS_FILE_TMPDIR/xfs.img why
  mkdir "$XFS_MOUNT"
  if [[ $DRAVLET == *.exe* ]]; then
    echo "the Windows build copies in chunks only" >"$BATS_FILE_TMPDIR/skip"
    return
  fi
  if ! command -v mkfs.xfs >/dev/null; then
    why="no mkfs.xfs (apt-get install xfsprogs)"
  elif ! why=$(truncate -s 320M "$image" && mkfs.xfs -q "$image" 2>&1 && mount -o loop "$image" "$XFS_MOUNT" 2>&1); then
    why="cannot mount an XFS image: $why"
  else
    why=
  fi
  if [ -n "$why" ] && [ -n "${DRAVLET_REQUIRE_CLONE:-}" ]; then
    echo "DRAVLET_REQUIRE_CLONE is set, but $why" >&2
    return 1
  fi
  echo "$why" >"$BATS_FILE_TMPDIR/skip"
}

teardown_file() {
  mountpoint -q "$XFS_MOUNT" && umount "$XFS_MOUNT"
  true
}

setup() {
  local why
  why=$(cat "$BATS_FILE_TMPDIR/skip")
  [ -z "$why" ] || skip "$why"
  find_tool
  cd "$XFS_MOUNT" || return 1
  rm -f ./*
  make_file source $((8 << 20))
  sync -f .
}

# used_bytes: the bytes in use on the file system here.
used_bytes() {
  sync -f .
  stat -f -c '%b %f %S' . | awk '{ print ($1 - $2) * $3 }'
}

# expect_copy FILE START LENGTH SHARED: the run copied LENGTH bytes of source
# from START into FILE, whose blocks are shared exactly when SHARED is yes;
# checks the space used since $before.
expect_copy() {
  [ "$status" -eq 0 ] || { echo "status $status" >&2; return 1; }
  expect_bytes "$1" source "$2" "$3"
  local grown=$(($(used_bytes) - before)) shared=no
  filefrag -v "$1" | grep -q shared && shared=yes
  [ "$shared" = "$4" ] || { echo "shared extents: $shared, expected $4" >&2; return 1; }
  if [ "$4" = yes ]; then
    # Only the tail of less than a chunk takes new space.
    [ "$grown" -lt $((1 << 20)) ] || { echo "used $grown more bytes" >&2; return 1; }
  else
    [ "$grown" -ge "$3" ] || { echo "used $grown more bytes for $3" >&2; return 1; }
  fi
}

@test "an aligned range shares its whole chunks and copies the rest" {
  local before row=0
  # Each row its own destination: XFS frees a removed file's blocks later.
  while read -r start length shared; do
    row=$((row + 1))
    before=$(used_bytes)
    run_case source "out$row" "$length" "-o$start"
    expect_output "filesize:8388608 size:$length offset:$start\n"
    expect_copy "out$row" "$start" "$length" "$shared"
  done <<'EOF_TABLE'
4096     5243880 yes
0        8388608 yes
1048576  65536   yes
8323072  99999   yes
1        5242880 no
2048     5242880 no
4096     65535   yes
EOF_TABLE
}

@test "an existing destination is emptied before its blocks are shared" {
  make_file out $((16 << 20))
  run_case source out 1048576 -o65536
  [ "$status" -eq 0 ]
  expect_bytes out source 65536 1048576
  [ "$(stat -c %s out)" -eq 1048576 ]
}

@test "a source that shrinks during the run fails as the chunked copy does" {
  cp source whole
  # The run is held between its measure and its copy by a full standard
  # output: the report line waits behind 64 KiB already in the pipe.
  local pipe
  mkfifo report
  exec {pipe}<>report
  while read -r shrunk kept; do
    cp --reflink=always whole source
    rm -f out
    head -c 65536 /dev/zero >&"$pipe"
    "${tool[@]}" source out 8388608 >report &
    local pid=$! i
    for ((i = 0; i < 100; i++)); do
      [[ $(cat "/proc/$pid/wchan" 2>/dev/null) == *pipe_write ]] && break
      sleep 0.05
    done
    truncate -s "$shrunk" source
    head -c 65536 <&"$pipe" >/dev/null
    status=0
    wait "$pid" || status=$?
    timeout 0.5 cat <&"$pipe" >stdout || true
    [ "$status" -eq 255 ]
    expect_output 'filesize:8388608 size:8388608 offset:0\nfile read error.\n'
    [ "$(stat -c %s out)" -eq "$kept" ]
    expect_bytes out whole 0 "$kept"
  done <<'EOF_TABLE'
3145728 3145728
3146728 3145728
8388508 8323072
EOF_TABLE
  exec {pipe}>&-
}
