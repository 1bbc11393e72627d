#!/usr/bin/env bats
# On real file systems, loop-mounted from small images: XFS, which clones
# blocks, and ext4, which keeps holes but cannot clone. A range whose start
# lies on a block boundary shares the source's blocks on XFS (its whole
# chunks by a clone, its whole blocks beyond them by the kernel's copy),
# holes in the source stay holes, and everything observable stays what the
# chunked copy gives. Needs root, mkfs.xfs and loop devices; skipped, saying
# why, where any is missing, or failed instead when DRAVLET_REQUIRE_MOUNTS is
# set (CI). DRAVLET as for dravlet.bats.

# shellcheck disable=SC2154 # tool, windows and python: set by helpers.bash
load helpers

setup_file() { mount_or_skip xfs:320M ext4:32M; }

teardown_file() { unmount_images "$BATS_FILE_TMPDIR" xfs ext4; }

# A loop device a test attached (in $loop) is detached, also after a failure.
teardown() {
  [ -z "${loop:-}" ] || losetup --detach "$loop"
}

# setup: each test starts in the XFS mount, with an 8 MiB source there and
# in the ext4 mount.
setup() {
  skip_unless_mounted
  find_tool
  for dir in "$BATS_FILE_TMPDIR"/ext4 "$BATS_FILE_TMPDIR"/xfs; do
    cd "$dir" || return 1
    rm -rf ./*
    make_file source $((8 << 20))
    sync -f .
  done
}

# expect_copy FILE START LENGTH SHARED: the run copied LENGTH bytes of source
# from START into FILE, whose blocks are shared exactly when SHARED is yes;
# checks the space used since $before.
expect_copy() {
  [ "$status" -eq 0 ] || { echo "status $status" >&2; return 1; }
  expect_bytes "$1" source "$2" "$3"
  local grown=$(($(used_bytes .) - before)) shared=no
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
    before=$(used_bytes .)
    run_case source "out$row" "$length" "-o$start"
    expect_output "filesize:8388608 size:$length offset:$start\n"
    expect_copy "out$row" "$start" "$length" "$shared"
  done <<'EOF_TABLE'
4096     5243880 yes
0        8388608 yes
1048576  65537   yes
8290304  99999   yes
1        5242880 no
2048     5242880 no
4096     65536   no
EOF_TABLE
}

@test "an existing destination is emptied before its blocks are shared" {
  make_file out $((16 << 20))
  run_case source out 1048576 -o65536
  [ "$status" -eq 0 ]
  expect_bytes out source 65536 1048576
}

@test "a source that shrinks during the run fails with a prefix of the range" {
  # The run is held at the open of its destination, after its measure, by a
  # lease on the destination: the kernel asks the holder for it back, and the
  # holder shrinks the source before it gives the lease up.
  local fs
  for fs in xfs ext4; do
    cd "$BATS_FILE_TMPDIR/$fs"
    cp source whole
    for shrunk in 3145728 3146728 8388508; do
      cp whole source
      : >out
      hold_lease out truncate -s "$shrunk" source
      run_case source out 8388608
      end_lease
      [ "$status" -eq 255 ] || { echo "$fs: status $status" >&2; return 1; }
      expect_output 'filesize:8388608 size:8388608 offset:0\nfile read error.\n'
      local kept
      kept=$(stat -c %s out)
      [ "$kept" -le "$shrunk" ] || { echo "$fs: $kept bytes kept of $shrunk" >&2; return 1; }
      expect_bytes out whole 0 "$kept"
    done
  done
}

@test "holes in the source stay holes, whatever their size; a device gets every zero" {
  cd "$BATS_FILE_TMPDIR/ext4"
  # 16 chunks of 64 KiB: data in chunks 3 (100 bytes), 8 and 9, and 12 (with
  # a hole of 1000 bytes in it); holes elsewhere, to the end of the file.
  # ext4 tells data in blocks of 4 KiB: the copy takes no more than the
  # source's blocks of the range.
  local c=65536
  truncate -s $((16 * c)) sparse
  for extent in $((3 * c + 100)):100 $((8 * c)):$((2 * c)) $((12 * c)):1000 $((12 * c + 2000)):$((c - 2000)); do
    dd if=source of=sparse bs=1 skip="${extent%:*}" seek="${extent%:*}" count="${extent#*:}" conv=notrunc status=none
  done
  head -c $((16 * c)) /dev/zero | tr '\0' '\377' >ones.img
  local failed=
  loop=$(losetup --find --show ones.img)
  while read -r start length allocated; do
    rm -f out
    run_case sparse out "$length" "-o$start"
    [ "$status" -eq 0 ] && [ "$(stat -c %s out)" -eq "$length" ] && expect_bytes out sparse "$start" "$length" &&
      [ "$(($(stat -c '%b * %B' out)))" -le "$allocated" ] || failed+=" -o$start"
    run_case sparse "$loop" "$length" "-o$start"
    cmp -s -n "$length" ones.img <(tail -c "+$((start + 1))" sparse) || failed+=" -o$start-device"
  done <<EOF_TABLE
0          $((16 * c))      $((4096 + 2 * c + c))
1000       900000           $((4096 + 3 * c))
0          $((5 * c))       4096
$((4 * c)) $((2 * c + 1))   0
EOF_TABLE
  # XFS reserves space past a file's end, which a file that grows past it
  # would take as zeros: 4 KiB of data at every MiB of 64 MiB, copied from
  # byte 1, takes the 8 KiB of blocks that each 4 KiB then covers.
  cd "$BATS_FILE_TMPDIR/xfs"
  truncate -s 64M scattered
  for ((c = 0; c < 64; c++)); do dd if=source of=scattered bs=4096 count=1 seek=$((c * 256)) conv=notrunc status=none; done
  run_case scattered out 99999999 -o1
  [ "$status" -eq 0 ] && expect_bytes out scattered 1 $((64 << 20)) &&
    [ "$(($(stat -c '%b * %B' out)))" -le $((64 * 8192 * 105 / 100)) ] || failed+=" xfs"
  [ -z "$failed" ] || { echo "failed cases:$failed" >&2; return 1; }
}

@test "an existing destination is emptied whatever size a cache reports" {
  [ -c /dev/fuse ] || skip "no /dev/fuse here"
  need bindfs
  # A mirror that caches attributes for a minute, as network file systems
  # do, over a file that grows behind it.
  mkdir backing mirror
  bindfs -o attr_timeout=60,entry_timeout=60 backing mirror
  : >mirror/out
  stat mirror/out >/dev/null
  printf 'old content %.0s' {1..100} >backing/out
  run_case source mirror/out 10
  fusermount3 -u mirror || fusermount -u mirror
  [ "$status" -eq 0 ]
  expect_bytes backing/out source 0 10
}

@test "a full file system fails the copy with a prefix of the range" {
  cd "$BATS_FILE_TMPDIR/ext4"
  dd if=/dev/zero of=filler bs=1M status=none 2>/dev/null || true
  truncate -s -300K filler
  sync -f .
  run_case source out 1048576 -o4096
  [ "$status" -eq 255 ]
  expect_output 'filesize:8388608 size:1048576 offset:4096\nfile write error.\n'
  expect_bytes out source 4096 "$(stat -c %s out)"
}

@test "past the file size limit a copy fails with a prefix of the range, where space is reserved past a file's end too" {
  local fs
  for fs in xfs ext4; do
    cd "$BATS_FILE_TMPDIR/$fs"
    status=0
    (ulimit -f 100 && exec timeout 60 "${tool[@]}" source out 1000000 >stdout 2>stderr) || status=$?
    [ "$status" -eq 255 ] || { echo "$fs: status $status" >&2; return 1; }
    expect_output 'filesize:8388608 size:1000000 offset:0\nfile write error.\n'
    expect_bytes out source 0 "$(stat -c %s out)"
  done
}
