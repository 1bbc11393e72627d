#!/usr/bin/env bats
# Block devices as windows of their storage (partitions, loop devices over
# windows of images and over devices), files inside file systems on them,
# and the images, devices and file systems below: a copy that would write
# where it reads is refused, with nothing written or emptied, one whose
# parts share no byte copies, and one that needs what cannot be told is
# refused; random stacks in stacks.py. Needs root, loop devices, mkfs.ext4,
# and for the random stacks strace, mkfs.xfs and mkfs.btrfs; skipped as
# filesystems.bats is.

load helpers

setup_file() { mount_or_skip ext4:64M; }

teardown_file() { unmount_images "$BATS_FILE_TMPDIR" ext4; }

setup() {
  skip_unless_mounted
  find_tool
  cd "$BATS_FILE_TMPDIR" || return 1
  L=$(findmnt -n -o SOURCE ext4)
  make_file ext4/f 100000
}

# The loop devices a test attached (in $loops) are detached, also after a
# failure, once the file system it mounted (in $mounted) is unmounted.
teardown() {
  local device
  [ -z "${mounted:-}" ] || umount --recursive "$mounted"
  mounted=
  for device in "${loops[@]}"; do losetup --detach "$device"; done
  loops=()
}

# attach NAME FILE [OPTIONS...]: sets NAME to the loop device that now shows
# FILE, which teardown detaches. Where none can be had, sets NAME to why.
attach() {
  local -n device=$1
  device=$(losetup --find --show "${@:3}" "$2" 2>"$BATS_TEST_TMPDIR/losetup.log") ||
    { device=$(cat "$BATS_TEST_TMPDIR/losetup.log") && return 1; }
  loops+=("$device")
}

@test "a block device is a window of its storage: windows that overlap are one file" {
  cd "$BATS_TEST_TMPDIR" || return 1
  local m=1048576
  make_file disk.img $((4 * m))
  : >empty.img
  # Two partitions of 1 MiB, at 1 MiB and 2 MiB.
  printf 'label: dos\nstart=2048, size=2048, type=83\nstart=4096, size=2048, type=83\n' | sfdisk -q disk.img
  local loop unbound w1 w2 w3 s1 s2 g gs
  attach loop disk.img --partscan || skip "no loop device here: $loop"
  # Where the kernel does not scan the loop device, partx adds its partitions.
  [ -b "${loop}p2" ] || partx --add "$loop"
  [ -b "${loop}p2" ] || { echo "no nodes for the partitions of $loop" >&2 && return 1; }
  local p1=${loop}p1 p2=${loop}p2
  attach unbound empty.img
  # Loop devices over windows of the image: the first partition's, the
  # second's, and one across both.
  attach w1 disk.img --offset $m --sizelimit $m
  attach w2 disk.img --offset $((2 * m)) --sizelimit $m
  attach w3 disk.img --offset $((3 * m / 2)) --sizelimit $m
  # Loop devices over block devices: over the disk, and over the first
  # partition.
  attach s1 "$loop"
  attach s2 "$p1"
  # A loop device over an image deleted since, and one stacked on it.
  make_file gone.img $m
  attach g gone.img
  attach gs "$g"
  rm gone.img
  run_table <<EOF_TABLE
$loop out 512 -o1024           | filesize:$((4 * m)) size:512 offset:1024\n | 0 | copy disk.img 1024 512
$p2 out 100 -o5                | filesize:$m size:100 offset:5\n | 0 | copy disk.img $((2 * m + 5)) 100
$unbound out 1                 | filesize:0 size:1 offset:0\n | 0 | copy empty.img 0 0
EOF_TABLE
  cp disk.img disk.img.before
  local source destination failed= pair order size
  # Every pair whose parts read and written share bytes is refused and
  # changes nothing: 4096 bytes read from the source's start, written at the
  # start of a device, or anywhere in a regular file, which is emptied.
  local both=("$loop disk.img" "$p1 $w1" "$s1 disk.img" "$s1 $loop" "$s2 $p1" "$s2 $w1" "$gs $g")
  for order in "${both[@]}" "${both[@]/#/reversed }" "$p1 disk.img" "$w3 disk.img" "$s2 disk.img"; do
    [[ $order == reversed* ]] && order=${order#reversed } && order="${order#* } ${order% *}"
    read -r source destination <<<"$order"
    run_case "$source" "$destination" 4096
    size=$(blockdev --getsize64 "$source" 2>/dev/null || stat -c %s "$source")
    [ "$status" -eq 255 ] && expect_output "filesize:$size size:4096 offset:0\noutput file is the input file.\n" &&
      cmp -s disk.img disk.img.before || failed+=" $order;"
  done
  # Parts that share no byte copy, windows of one image or not.
  for order in "$p1 $p2" "$p2 $p1" "$w1 $w2" "$w2 $p1" "$p1 $w2" "$s2 $p2" "$w2 $s2" "$loop $p1" \
    "$w3 $p1" "disk.img $p1"; do
    read -r source destination <<<"$order"
    run_case "$source" "$destination" 4096 -o7
    [ "$status" -eq 0 ] && cmp -s -n 4096 <(tail -c +8 "$source") "$destination" || failed+=" $order;"
  done
  [ -z "$failed" ] || { echo "failed:$failed" >&2; return 1; }
  # A file's bytes lie in the device of its file system, here the second
  # partition: the device and the file are one where the part of the device
  # that the copy reads or writes overlaps that partition. A disk's first
  # sector saved into a file on the partition and written back, and the
  # first partition copied into a file on the second, copy.
  mkfs.ext4 -q "$p2" >/dev/null 2>&1 && mkdir mnt && mount "$p2" mnt || skip "cannot mount an ext4 partition here"
  mounted=$PWD/mnt
  make_file mnt/big 100000
  # A file system on no block device: tmpfs.
  mkdir mnt/tmpfs && mount -t tmpfs none mnt/tmpfs && make_file mnt/tmpfs/small 100
  local refused='output file is the input file.\n'
  run_table <<EOF_TABLE
$loop mnt/mbr 512              | filesize:$((4 * m)) size:512 offset:0\n | 0 | copy disk.img 0 512 mnt/mbr
mnt/mbr $loop 512              | filesize:512 size:512 offset:0\n | 0 | none
mnt/mbr disk.img 512           | filesize:512 size:512 offset:0\n$refused | 255 | none
$p1 mnt/part 100000            | filesize:$m size:100000 offset:0\n | 0 | copy $p1 0 100000 mnt/part
mnt/tmpfs/small $p1 100        | filesize:100 size:100 offset:0\n | 0 | none
mnt/big $p2 10                 | filesize:100000 size:10 offset:0\n$refused | 255 | source mnt/big
mnt/big $w2 10                 | filesize:100000 size:10 offset:0\n$refused | 255 | source mnt/big
$p2 mnt/copy 10                | filesize:$m size:10 offset:0\n$refused | 255 | source mnt/big
$loop mnt/copy 10 -o$((2 * m)) | filesize:$((4 * m)) size:10 offset:$((2 * m))\n$refused | 255 | source mnt/big
$s1 mnt/copy 10 -o$((2 * m))   | filesize:$((4 * m)) size:10 offset:$((2 * m))\n$refused | 255 | source mnt/big
EOF_TABLE
}

@test "a file inside a file system on a loop device against the images and devices below it" {
  local refused='output file is the input file.\n' report='filesize:100000 size:4096 offset:0\n' inner
  # A file system inside a file of that file system, on a loop device.
  truncate -s 16M ext4/inner.img && mkfs.ext4 -q ext4/inner.img && mkdir -p ext4/m && mount -o loop ext4/inner.img ext4/m
  inner=$(findmnt -n -o SOURCE ext4/m)
  make_file ext4/m/k 100000
  run_table <<EOF_TABLE
ext4/f ext4.img 4096           | $report$refused | 255 | none
ext4/f $L 4096                 | $report$refused | 255 | none
ext4.img ext4/copy 4096        | filesize:67108864 size:4096 offset:0\n$refused | 255 | none
ext4/m/k $L 4096               | $report$refused | 255 | none
ext4/m/k ext4/inner.img 4096   | $report$refused | 255 | none
$inner $L 4096                 | filesize:16777216 size:4096 offset:0\n$refused | 255 | none
$L $inner 4096                 | filesize:67108864 size:4096 offset:0\n$refused | 255 | none
ext4/m/k ext4/other 4096       | $report | 0 | copy ext4/m/k 0 4096 ext4/other
ext4/m/k other 4096            | $report | 0 | copy ext4/m/k 0 4096 other
ext4/f ext4/m/other 4096       | $report | 0 | copy ext4/f 0 4096 ext4/m/other
EOF_TABLE
  umount ext4/m
}

@test "where /sys, /proc or a device node is missing, a copy that needs them is refused" {
  truncate -s 8M disk.img
  printf 'label: dos\nstart=2048, size=4096, type=83\n' | sfdisk -q disk.img
  local disk run number sanitized=false failed=
  attach disk disk.img --partscan
  [ -b "${disk}p1" ] || partx --add "$disk"
  number=$(stat -c '%t %T' "$L")
  printf -v run '%q ' "${tool[@]}"
  # A sanitizer reads its options and the program's memory from /proc.
  grep -q -a __asan_init "${tool[-1]}" && sanitized=true
  # Each row hides what its first command does, in a mount namespace of its
  # own (ext4 needs no mount table, XFS does); the last, a copy between two
  # files of one file system, asks for nothing below them.
  local maybe='output file may be the input file.\n' same='output file is the input file.\n'
  # The mount over the folder stays in the namespace: the folder is made
  # private first, as a chroot's root, no mount itself, cannot be.
  while IFS='|' read -r hide then command expected; do
    [[ $hide == /proc ]] && $sanitized && continue
    unshare -m --propagation unchanged sh -c "mount --make-rprivate $hide && mount -t tmpfs none $hide $then &&
      exec timeout 60 $command" >stdout 2>stderr </dev/null || true
    expect_output "$expected" || failed+=" $command under $hide: $(cat stderr);"
  done <<EOF_TABLE
/sys||${run}ext4/f $L 4096|filesize:100000 size:4096 offset:0\\n$same
/sys||${run}$disk ${disk}p1 3000000|filesize:8388608 size:3000000 offset:0\\n$maybe
/proc||${run}ext4/f $L 4096|filesize:100000 size:4096 offset:0\\n$same
/dev|&& mknod $L b $((0x${number% *})) $((0x${number#* }))|${run}ext4/f $L 4096|filesize:100000 size:4096 offset:0\\n$same
/dev||${run}ext4/f other 100|filesize:100000 size:100 offset:0\\n
/sys||${run}ext4/f ext4/g 100|filesize:100000 size:100 offset:0\\n
EOF_TABLE
  [ -z "$failed" ] || { echo "failed:$failed" >&2; return 1; }
}

@test "random stacks: refused exactly where the copy would write what it reads" {
  local need seed=${DRAVLET_SEED:-$RANDOM$RANDOM} i failed=0
  for need in strace mkfs.xfs mkfs.btrfs; do command -v "$need" >/dev/null || skip "no $need here"; done
  # Three seeds, from DRAVLET_SEED where it is set; stacks.py prints each.
  for i in 0 1 2; do
    mkdir "$BATS_TEST_TMPDIR/stack$i"
    "$python" "$BATS_TEST_DIRNAME/stacks.py" "$BATS_TEST_TMPDIR/stack$i" "$((seed + i))" 40 -- "${tool[@]}" || failed=1
  done
  return "$failed"
}
