#!/usr/bin/env bats
# Devices, files and file systems stacked on one another: a copy that would
# write where it reads is refused, with nothing written, emptied or made,
# one whose parts share no byte copies, and one that needs what cannot be
# told is refused. stacks.py builds random stacks and tries them as root, as
# a user, in a user namespace and in a container; the rows here are what it
# does not build. Needs root, loop devices and mkfs.ext4, and for the random
# stacks what stacks.bats' last case names; skipped as filesystems.bats is.

# shellcheck disable=SC2154 # tool, windows and python: set by helpers.bash
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
# failure, once the file systems it mounted (in $mounted) are unmounted.
teardown() {
  local device point
  for point in "${mounted[@]}"; do umount --recursive --lazy "$point"; done
  for device in "${loops[@]}"; do losetup --detach "$device"; done
  mounted=() loops=()
}

# attach NAME FILE [OPTIONS...]: sets NAME to the loop device that now shows
# FILE, which teardown detaches. Where none can be had, sets NAME to why.
attach() {
  local -n device=$1
  device=$(losetup --find --show "${@:3}" "$2" 2>"$BATS_TEST_TMPDIR/losetup.log") ||
    { device=$(cat "$BATS_TEST_TMPDIR/losetup.log") && return 1; }
  loops+=("$device")
}

@test "a block device is read in its window: a partition, a loop device over a window of an image" {
  cd "$BATS_TEST_TMPDIR" || return 1
  local m=1048576 loop window
  make_file disk.img $((4 * m))
  # Two partitions of 1 MiB, at 1 MiB and 2 MiB.
  printf 'label: dos\nstart=2048, size=2048, type=83\nstart=4096, size=2048, type=83\n' | sfdisk -q disk.img
  attach loop disk.img --partscan || skip "no loop device here: $loop"
  # Where the kernel does not scan the loop device, partx adds its partitions.
  [ -b "${loop}p2" ] || partx --add "$loop"
  [ -b "${loop}p2" ] || { echo "no nodes for the partitions of $loop" >&2 && return 1; }
  attach window disk.img --offset $((3 * m / 2)) --sizelimit $m
  run_table <<EOF_TABLE
$loop out 512 -o1024           | filesize:$((4 * m)) size:512 offset:1024\n | 0 | copy disk.img 1024 512
${loop}p2 out 100 -o5          | filesize:$m size:100 offset:5\n | 0 | copy disk.img $((2 * m + 5)) 100
$window out 100 -o7            | filesize:$m size:100 offset:7\n | 0 | copy disk.img $((3 * m / 2 + 7)) 100
EOF_TABLE
}

@test "where /sys or /proc is missing, a copy that needs them is refused" {
  truncate -s 8M disk.img
  printf 'label: dos\nstart=2048, size=4096, type=83\n' | sfdisk -q disk.img
  local disk run sanitized=false failed=
  attach disk disk.img --partscan
  [ -b "${disk}p1" ] || partx --add "$disk"
  printf -v run '%q ' "${tool[@]}"
  # A sanitizer reads its options and the program's memory from /proc.
  grep -q -a __asan_init "${tool[-1]}" && sanitized=true
  # Each row hides /sys or /proc, in a mount namespace of its own; a copy
  # between two files of one file system asks for nothing below them.
  local maybe='output file may be the input file.\n' same='output file is the input file.\n'
  # The mount over the folder stays in the namespace: the folder is made
  # private first, as a chroot's root, no mount itself, cannot be.
  while IFS='|' read -r hide command expected; do
    [[ $hide == /proc ]] && $sanitized && continue
    unshare -m --propagation unchanged sh -c "mount --make-rprivate $hide && mount -t tmpfs none $hide &&
      exec timeout 60 $command" >stdout 2>stderr </dev/null || true
    expect_output "$expected" || failed+=" $command under $hide: $(cat stderr);"
  done <<EOF_TABLE
/sys|${run}ext4/f $L 4096|filesize:100000 size:4096 offset:0\\n$same
/sys|${run}$disk ${disk}p1 3000000|filesize:8388608 size:3000000 offset:0\\n$maybe
/sys|${run}ext4/f ext4/g 100|filesize:100000 size:100 offset:0\\n
/proc|${run}ext4/f $L 4096|filesize:100000 size:4096 offset:0\\n$same
EOF_TABLE
  [ -z "$failed" ] || { echo "failed:$failed" >&2; return 1; }
}

@test "file systems that the random stacks do not build" {
  need mkfs.btrfs mkntfs mkfs.erofs
  [ -c /dev/fuse ] || skip "no /dev/fuse here"
  cd "$BATS_TEST_TMPDIR" || return 1
  local same='output file is the input file.\n' maybe='output file may be the input file.\n'
  make_file f 100000
  # A loop device over an image in a Btrfs subvolume inside another, which
  # is mounted on its own nowhere.
  truncate -s 200M btrfs.img && mkfs.btrfs -q -f btrfs.img >/dev/null && mkdir btrfs inner && mount -o loop btrfs.img btrfs
  mounted+=("$PWD/btrfs")
  btrfs subvolume create btrfs/a >/dev/null && btrfs subvolume create btrfs/a/b >/dev/null
  truncate -s 32M btrfs/a/b/inner.img && mkfs.ext4 -q btrfs/a/b/inner.img && mount -o loop btrfs/a/b/inner.img inner
  mounted+=("$PWD/inner")
  make_file inner/f 1000
  # An overlay whose upper layer and first lower one lie on ext4, its other
  # lower one on Btrfs: a lower file is told by its path in the layers, but
  # with metacopy, where its data may lie in any.
  local e=$BATS_FILE_TMPDIR/ext4
  mkdir -p "$e/lower" "$e/upper" "$e/work" btrfs/lower two meta && make_file "$e/lower/x" 1000
  mount -t overlay overlay -o "lowerdir=$e/lower:$PWD/btrfs/lower,upperdir=$e/upper,workdir=$e/work" two
  mount -t overlay overlay -o "lowerdir=$e/lower:$PWD/btrfs/lower,metacopy=on" meta && mounted+=("$PWD/two" "$PWD/meta")
  # An overlay whose layers its mount names from the mounter's folder: a
  # file of its lower layer against the merged one of the same number.
  mkdir -p overlay/lower overlay/upper overlay/work merged && make_file overlay/lower/l 1000
  (cd overlay && mount -t overlay overlay -o lowerdir=lower,upperdir=upper,workdir=work ../merged) && mounted+=("$PWD/merged")
  # An NTFS image that ntfs-3g serves, naming it as the mount's source.
  truncate -s 8M ntfs.img && mkntfs -q -F ntfs.img && mkdir ntfs && ntfs-3g ntfs.img ntfs && mounted+=("$PWD/ntfs")
  cp f ntfs/f
  run_table <<EOF_TABLE
inner/f btrfs/a/b/inner.img 100 | filesize:1000 size:100 offset:0\n$same | 255 | source btrfs/a/b/inner.img
inner/f btrfs/a/other 100       | filesize:1000 size:100 offset:0\n | 0 | copy inner/f 0 100 btrfs/a/other
two/x $L 100                    | filesize:1000 size:100 offset:0\n$same | 255 | source two/x
two/x $(findmnt -n -o SOURCE btrfs) 100 | filesize:1000 size:100 offset:0\n | 0 |
meta/x $L 100                   | filesize:1000 size:100 offset:0\n$same | 255 | source $e/lower/x
merged/l overlay/lower/l 100    | filesize:1000 size:100 offset:0\n$maybe | 255 | source overlay/lower/l
merged/l f 100                  | filesize:1000 size:100 offset:0\n | 0 | copy merged/l 0 100 f
ntfs/f ntfs.img 100             | filesize:100000 size:100 offset:0\n$same | 255 | source ntfs.img
ntfs.img ntfs/o 3145728 -o65536 | filesize:8388608 size:3145728 offset:65536\n$same | 255 | source ntfs.img
EOF_TABLE
  # Linux 6.12 mounts an erofs from an image file, which the mount names.
  mkfs.erofs erofs.img inner >/dev/null && mkdir erofs
  "$python" -c 'import ctypes, os, sys
sys.exit(ctypes.CDLL(None).mount(os.path.abspath(sys.argv[1]).encode(), b"erofs", b"erofs", 0, None))' erofs.img ||
    skip "this kernel mounts no erofs from a file"
  mounted+=("$PWD/erofs")
  run_table <<EOF_TABLE
erofs/f erofs.img 100           | filesize:1000 size:100 offset:0\n$same | 255 | source erofs.img
erofs/f copy 100                | filesize:1000 size:100 offset:0\n | 0 | copy erofs/f 0 100 copy
EOF_TABLE
}

@test "random stacks: refused exactly where the copy would write what it reads, in four views" {
  local seed=${DRAVLET_SEED:-$RANDOM$RANDOM} i failed=0 folder status unable=
  need strace mkfs.xfs mkfs.btrfs squashfuse bindfs mksquashfs zip
  command -v fuse-zip >/dev/null || need archivemount
  [ -c /dev/fuse ] || skip "no /dev/fuse here"
  # The user of the views below root must reach the stacks.
  for folder in "$BATS_TEST_TMPDIR" "$BATS_RUN_TMPDIR" "$BATS_RUN_TMPDIR"/*/; do chmod o+x "$folder"; done
  # Three seeds, from DRAVLET_SEED where it is set; stacks.py prints each.
  for i in 0 1 2; do
    mkdir "$BATS_TEST_TMPDIR/stack$i"
    status=0
    "$python" "$BATS_TEST_DIRNAME/stacks.py" "$BATS_TEST_TMPDIR/stack$i" "$((seed + i))" 40 -- "${tool[@]}" \
      >"$BATS_TEST_TMPDIR/out" || status=$?
    cat "$BATS_TEST_TMPDIR/out"
    [ "$status" -eq 3 ] && unable=$(sed -n 's/^stacks: views that cannot start here: //p' "$BATS_TEST_TMPDIR/out")
    [ "$status" -eq 0 ] || [ "$status" -eq 3 ] || failed=1
  done
  [ "$failed" -eq 0 ] || return 1
  [ -z "$unable" ] || [ -n "${DRAVLET_REQUIRE_MOUNTS:-}" ] || skip "the other views agree; these cannot start here: $unable"
  [ -z "$unable" ]
}
