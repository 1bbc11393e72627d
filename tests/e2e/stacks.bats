#!/usr/bin/env bats
# Files inside file systems on loop devices, and the images, devices and
# file systems below them: a copy that would write where it reads is
# refused, with nothing written or emptied, and one whose parts share no
# byte copies. Needs root, loop devices and mkfs.ext4 (mkfs.btrfs and
# mkfs.xfs for their rows); skipped, saying why, where any is missing, or
# failed instead when DRAVLET_REQUIRE_MOUNTS is set (CI). DRAVLET as for
# dravlet.bats.

load helpers

setup() {
  find_tool
  "$windows" && skip "no block devices under Wine"
  cd "$BATS_TEST_TMPDIR" || return 1
  mounts=() loops=()
  local why
  why=$(truncate -s 64M r.img 2>&1 && mkfs.ext4 -q -F r.img 2>&1) || cannot "make an ext4 image: $why"
  attach L r.img || cannot "attach a loop device"
  mkdir m && mount "$L" m || cannot "mount ext4 on a loop device"
  mounts+=("$PWD/m")
  make_file m/f 100000
}

# cannot WHAT: skips the test, saying what cannot be done here; fails it
# where DRAVLET_REQUIRE_MOUNTS is set (CI, as root).
cannot() {
  [ -z "${DRAVLET_REQUIRE_MOUNTS:-}" ] || { echo "DRAVLET_REQUIRE_MOUNTS is set, but cannot $1" >&2 && return 1; }
  skip "cannot $1 here"
}

# Unmounts what a test mounted, last first, and detaches its loop devices.
teardown() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount "${mounts[i]}" || umount --lazy "${mounts[i]}"; done
  for i in "${loops[@]}"; do losetup --detach "$i" 2>/dev/null || true; done
}

# attach NAME FILE: sets NAME to a new loop device over FILE.
attach() {
  local -n device=$1
  device=$(losetup --find --show "$2" 2>/dev/null) && loops+=("$device")
}

# mount_new TYPE FOLDER DEVICE...: a new file system of TYPE over the
# devices, mounted on FOLDER; skips the test where TYPE's mkfs is missing.
mount_new() {
  command -v "mkfs.$1" >/dev/null || skip "no mkfs.$1 here"
  case $1 in
  btrfs) mkfs.btrfs -q -f -d single "${@:3}" >/dev/null ;;
  *) "mkfs.$1" -q "${@:3}" </dev/null >/dev/null ;;
  esac
  mkdir -p "$2" && mount "$3" "$2" && mounts+=("$PWD/$2")
}

@test "a file inside a file system on a loop device against the images and devices below it" {
  local refused='output file is the input file.\n' report='filesize:100000 size:4096 offset:0\n'
  # A file system inside a file of that file system, on a loop device.
  truncate -s 16M m/inner.img
  attach L1 m/inner.img
  mount_new ext4 m3 "$L1"
  make_file m3/k 100000
  cp r.img r.img.before
  run_table <<EOF_TABLE
m/f r.img 4096                 | $report$refused | 255 | none
m/f $L 4096                    | $report$refused | 255 | none
r.img m/copy 4096              | filesize:67108864 size:4096 offset:0\n$refused | 255 | none
m3/k $L 4096                   | $report$refused | 255 | none
m3/k m/inner.img 4096          | $report$refused | 255 | none
$L1 $L 4096                    | filesize:16777216 size:4096 offset:0\n$refused | 255 | none
$L $L1 4096                    | filesize:67108864 size:4096 offset:0\n$refused | 255 | none
m3/k m/other 4096              | $report | 0 | copy m3/k 0 4096 m/other
m3/k other 4096                | $report | 0 | copy m3/k 0 4096 other
m/f m3/other 4096              | $report | 0 | copy m/f 0 4096 m3/other
EOF_TABLE
  umount m3 && unset 'mounts[-1]'
  umount m && unset 'mounts[-1]'
  e2fsck -fn r.img >/dev/null
}

@test "a disk image's first sector saved into a file on its partition, and written back" {
  local m=1048576
  truncate -s $((8 * m)) disk.img
  printf 'label: dos\nstart=2048, size=4096, type=83\nstart=6144, size=8192, type=83\n' | sfdisk -q disk.img
  local disk
  disk=$(losetup --find --show --partscan disk.img) && loops+=("$disk")
  [ -b "${disk}p2" ] || partx --add "$disk"
  mount_new ext4 p2 "${disk}p2"
  run_table <<EOF_TABLE
disk.img p2/mbr.bin 512        | filesize:$((8 * m)) size:512 offset:0\n | 0 | copy disk.img 0 512 p2/mbr.bin
$disk p2/mbr2.bin 512          | filesize:$((8 * m)) size:512 offset:0\n | 0 | copy disk.img 0 512 p2/mbr2.bin
p2/mbr.bin $disk 512           | filesize:512 size:512 offset:0\n | 0 | none
p2/mbr.bin disk.img 512        | filesize:512 size:512 offset:0\noutput file is the input file.\n | 255 | none
${disk}p1 p2/part 100000       | filesize:$((2 * m)) size:100000 offset:0\n | 0 | copy ${disk}p1 0 100000 p2/part
p2/part ${disk}p2 512          | filesize:100000 size:512 offset:0\noutput file is the input file.\n | 255 | none
EOF_TABLE
  [ "$(stat -c %s disk.img)" -eq $((8 * m)) ]
}

@test "Btrfs, on one device or two, and an overlay against the devices below them" {
  truncate -s 300M b1.img b2.img
  attach B1 b1.img
  attach B2 b2.img
  mount_new btrfs mb "$B1" "$B2"
  make_file mb/f 300000
  btrfs subvolume create mb/sub >/dev/null
  make_file mb/sub/g 1000
  mkdir m/lower m/upper m/work ov
  mount -t overlay overlay -o "lowerdir=$PWD/m/lower,upperdir=$PWD/m/upper,workdir=$PWD/m/work" ov && mounts+=("$PWD/ov")
  make_file ov/x 1000
  local refused='output file is the input file.\n'
  run_table <<EOF_TABLE
mb/f $B1 4096                  | filesize:300000 size:4096 offset:0\n$refused | 255 | none
mb/f $B2 4096                  | filesize:300000 size:4096 offset:0\n$refused | 255 | none
mb/f b2.img 4096               | filesize:300000 size:4096 offset:0\n$refused | 255 | none
mb/sub/g mb/h 100              | filesize:1000 size:100 offset:0\n | 0 | copy mb/sub/g 0 100 mb/h
mb/sub/g m/h 100               | filesize:1000 size:100 offset:0\n | 0 | copy mb/sub/g 0 100 m/h
ov/x $L 100                    | filesize:1000 size:100 offset:0\n$refused | 255 | none
ov/x m/y 100                   | filesize:1000 size:100 offset:0\n | 0 | copy ov/x 0 100 m/y
EOF_TABLE
}

@test "an XFS log on a device of its own is part of the file system" {
  truncate -s 320M x.img
  truncate -s 100M log.img
  attach X x.img
  attach Xlog log.img
  command -v mkfs.xfs >/dev/null || skip "no mkfs.xfs here"
  mkfs.xfs -q -f -l "logdev=$Xlog,size=64m" "$X" && mkdir mx && mount -o "logdev=$Xlog" "$X" mx && mounts+=("$PWD/mx")
  make_file mx/f 100000
  run_table <<EOF_TABLE
mx/f $Xlog 4096                | filesize:100000 size:4096 offset:0\noutput file is the input file.\n | 255 | none
mx/f log.img 4096              | filesize:100000 size:4096 offset:0\noutput file is the input file.\n | 255 | none
mx/f out 4096                  | filesize:100000 size:4096 offset:0\n | 0 | copy mx/f 0 4096
EOF_TABLE
}

@test "where /sys, /proc or a device node is missing, a copy that needs them is refused" {
  local partitioned
  truncate -s 8M disk.img
  printf 'label: dos\nstart=2048, size=4096, type=83\n' | sfdisk -q disk.img
  partitioned=$(losetup --find --show --partscan disk.img) && loops+=("$partitioned")
  [ -b "${partitioned}p1" ] || partx --add "$partitioned"
  make_file other 100
  local number
  number=$(stat -c '%t %T' "$L")
  # Each row hides what its first command does, in a mount namespace of its
  # own (ext4 needs no mount table, XFS does); the last,
  # a copy between two files of one file system, asks for nothing below them.
  local not_open='output file is not open.\n' failed= run
  printf -v run '%q ' "${tool[@]}"
  # A sanitizer reads its options and the program's memory from /proc.
  local sanitized=false
  ldd "${tool[-1]}" 2>/dev/null | grep -q libasan && sanitized=true
  while IFS='|' read -r hide command expected; do
    [[ $hide == *" /proc" ]] && $sanitized && continue
    status=0
    unshare -m sh -c "$hide; exec timeout 60 $command" >stdout 2>stderr </dev/null || status=$?
    expect_output "$expected" || failed+=" $command under $hide;"
  done <<EOF_TABLE
mount -t tmpfs none /sys|${run}m/f $L 4096|filesize:100000 size:4096 offset:0\\n$not_open
mount -t tmpfs none /sys|${run}$partitioned ${partitioned}p1 3000000|filesize:8388608 size:3000000 offset:0\\n$not_open
mount -t tmpfs none /proc|${run}m/f $L 4096|filesize:100000 size:4096 offset:0\\noutput file is the input file.\\n
mount -t tmpfs none /dev && mknod $L b $((0x${number% *})) $((0x${number#* }))|${run}m/f $L 4096|filesize:100000 size:4096 offset:0\\noutput file is the input file.\\n
mount -t tmpfs none /dev|${run}m/f other 100|filesize:100000 size:100 offset:0\\n$not_open
mount -t tmpfs none /sys|${run}m/f m/g 100|filesize:100000 size:100 offset:0\\n
EOF_TABLE
  [ -z "$failed" ] || { echo "failed:$failed" >&2; return 1; }
  cmp -s <(head -c 100 m/f) m/g
}

@test "random stacks: refused exactly where the copy would write what it reads" {
  command -v strace >/dev/null || skip "no strace (apt-get install strace)"
  # Three seeds, from DRAVLET_SEED where it is set; stacks.py prints each.
  local seed=${DRAVLET_SEED:-$RANDOM$RANDOM} i failed=0
  for i in 0 1 2; do
    mkdir "stack$i"
    "$python" "$BATS_TEST_DIRNAME/stacks.py" "$PWD/stack$i" "$((seed + i))" 40 -- "${tool[@]}" || failed=1
  done
  return "$failed"
}
