#!/usr/bin/env bats
# Files inside file systems on loop devices, and the images, devices and
# file systems below them: a copy that would write where it reads is
# refused, with nothing written or emptied, one whose parts share no byte
# copies, and one that needs what cannot be told is refused; random stacks
# in stacks.py. Needs root, loop devices, mkfs.ext4, and for the random
# stacks strace, mkfs.xfs and mkfs.btrfs; skipped as filesystems.bats is.

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
  disk=$(losetup --find --show --partscan disk.img)
  [ -b "${disk}p1" ] || partx --add "$disk"
  number=$(stat -c '%t %T' "$L")
  printf -v run '%q ' "${tool[@]}"
  # A sanitizer reads its options and the program's memory from /proc.
  grep -q -a __asan_init "${tool[-1]}" && sanitized=true
  # Each row hides what its first command does, in a mount namespace of its
  # own (ext4 needs no mount table, XFS does); the last, a copy between two
  # files of one file system, asks for nothing below them.
  local not_open='output file is not open.\n' same='output file is the input file.\n'
  # The mount over the folder stays in the namespace: the folder is made
  # private first, as a chroot's root, no mount itself, cannot be.
  while IFS='|' read -r hide then command expected; do
    [[ $hide == /proc ]] && $sanitized && continue
    status=0
    unshare -m --propagation unchanged sh -c "mount --make-rprivate $hide && mount -t tmpfs none $hide $then &&
      exec timeout 60 $command" >stdout 2>stderr </dev/null || status=$?
    expect_output "$expected" || failed+=" $command under $hide: $(cat stderr);"
  done <<EOF_TABLE
/sys||${run}ext4/f $L 4096|filesize:100000 size:4096 offset:0\\n$not_open
/sys||${run}$disk ${disk}p1 3000000|filesize:8388608 size:3000000 offset:0\\n$not_open
/proc||${run}ext4/f $L 4096|filesize:100000 size:4096 offset:0\\n$same
/dev|&& mknod $L b $((0x${number% *})) $((0x${number#* }))|${run}ext4/f $L 4096|filesize:100000 size:4096 offset:0\\n$same
/dev||${run}ext4/f other 100|filesize:100000 size:100 offset:0\\n$not_open
/sys||${run}ext4/f ext4/g 100|filesize:100000 size:100 offset:0\\n
EOF_TABLE
  losetup --detach "$disk"
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
