#!/usr/bin/env bats
# Runs the built tool on real files and checks its standard output, its exit
# status and the bytes of the destination.
#
# DRAVLET is the command that runs the tool, in shell words (quote a path
# with spaces), e.g.
#   DRAVLET=build/release/dravlet bats tests/e2e
#   DRAVLET="wine 'my builds/dravlet.exe'" bats tests/e2e
# A command naming a .exe is taken as the Windows build: its messages end in
# "\r\n", and cases that need POSIX files are skipped.

# shellcheck disable=SC2154 # tool, windows and python: set by helpers.bash
load helpers

setup() {
  find_tool
  cd "$BATS_TEST_TMPDIR" || return 1
  make_file in900 900
  make_file in500 500
  make_file big 200000
  : >empty
  mkdir adir
}

@test "sizes and options select the documented range" {
  # The range's arithmetic is range_test.cpp's; here a copy of nothing, of
  # an empty source, the words as a shell and Wine pass them, and the
  # chunks' edges on real files.
  run_table <<'EOF_TABLE'
in900 out 0                    | filesize:900 size:0 offset:0\n     | 0 | copy in900 0 0
empty out 10                   | filesize:0 size:10 offset:0\n      | 0 | copy empty 0 0
in900 out ' +12 '             | filesize:900 size:12 offset:0\n    | 0 | copy in900 0 12
in900 out 5 '-o10 '            | filesize:900 size:5 offset:10\n    | 0 | copy in900 10 5
in900 out 1 $'-b512\t'         | filesize:900 size:512 offset:0\n   | 0 | copy in900 0 512
big out 65536                  | filesize:200000 size:65536 offset:0\n      | 0 | copy big 0 65536
big out 65537 -o3              | filesize:200000 size:65537 offset:3\n      | 0 | copy big 3 65537
big out -65537                 | filesize:200000 size:65537 offset:134463\n | 0 | copy big 134463 65537
big out 3 -b65536 -o1          | filesize:200000 size:196608 offset:65536\n | 0 | copy big 65536 134464
EOF_TABLE
}

@test "refused command lines leave an existing destination untouched" {
  local usage='usage: dravlet source destination size [-b block] [-p percent] [-o offset]\n'
  # Run under another name: the usage line names dravlet whatever the
  # program is called.
  local renamed=$PWD/renamed
  "$windows" && renamed+=.exe
  [[ ! -f ${tool[-1]} ]] || { cp "${tool[-1]}" "$renamed" && tool[-1]=$renamed; }
  run_table <<EOF_TABLE
in900 out                      | $usage | 255 | untouched
''                             | $usage | 255 | untouched
missing out 1 -x               | input file is not open.\n | 255 | untouched
adir out 1                     | input file is not open.\n | 255 | untouched
in900 out 1 -x                 | unknown option error.\n | 255 | untouched
in900 out 1 ''                 | unknown option error.\n | 255 | untouched
-b8 in900 out 1                | input file is not open.\n | 255 | untouched
in900 out 10 -b4k              | -b option syntax error.\n | 255 | untouched
in900 out 1 -p50%%             | -p option syntax error.\n | 255 | untouched
in900 out 1 -o2x               | -o option syntax error.\n | 255 | untouched
in900 out 1 -p101              | -p option range error.\n | 255 | untouched
in900 out 1 -o901              | -o option range error.\n | 255 | untouched
in900 out abc                  | size parameter syntax error.\n | 255 | untouched
in900 out ''                   | size parameter syntax error.\n | 255 | untouched
in900 out 4611686018427387904 -b2 | size parameter range error.\n | 255 | untouched
in900 out 1 -o-950             | filesize:900 size:1 offset:-50\nread file seek error.\n | 255 | untouched
EOF_TABLE
}

@test "a destination that is the source is refused and both stay as they were" {
  ln in900 hardlink
  ln -s in900 symlink || skip "no symbolic links here"
  run_table <<'EOF_TABLE'
in900 in900 10                 | filesize:900 size:10 offset:0\noutput file is the input file.\n | 255 | source in900
in900 ./in900 10               | filesize:900 size:10 offset:0\noutput file is the input file.\n | 255 | source in900
in900 hardlink -10             | filesize:900 size:10 offset:890\noutput file is the input file.\n | 255 | source in900
in900 symlink 1 -p50           | filesize:900 size:1 offset:450\noutput file is the input file.\n | 255 | source in900
symlink in900 1                | filesize:900 size:1 offset:0\noutput file is the input file.\n | 255 | source in900
in900 in500 10                 | filesize:900 size:10 offset:0\n | 0 | copy in900 0 10 in500
EOF_TABLE
}

@test "failures of the destination" {
  run_table <<'EOF_TABLE'
in900 adir 10                  | filesize:900 size:10 offset:0\noutput file is not open.\n | 255 | none
in900 nodir/out 10             | filesize:900 size:10 offset:0\noutput file is not open.\n | 255 | none
EOF_TABLE
  "$windows" && skip "no /dev/full on Windows"
  run_table <<'EOF_TABLE'
in900 /dev/full 10             | filesize:900 size:10 offset:0\nfile write error.\n | 255 | none
EOF_TABLE
}

@test "a source that cannot seek is refused at the measure" {
  "$windows" && skip "no /dev/stdin on Windows"
  status=0
  printf 'abc' | timeout 60 "${tool[@]}" /dev/stdin out 1 >stdout || status=$?
  [ "$status" -eq 255 ]
  expect_output 'input file seek end error.\n'
  [ ! -e out ]
}

@test "a created destination is readable by no one who cannot read the source" {
  if "$windows"; then
    # Windows has a read-only attribute only, which Wine shows as no write bits.
    run_case in900 new 10
    [[ $(stat -c %A new) == -rw* ]]
    return
  fi
  # The owner reads and writes; the group and others get what the source
  # grants them (the unit tests try each source's bits), as far as the umask
  # allows. An existing destination keeps its mode.
  local failed='' mask source created
  printf old >kept && chmod 604 kept
  while read -r mask source created; do
    chmod "$source" in900
    rm -f new
    (umask "$mask" && timeout 60 "${tool[@]}" in900 new 10 >/dev/null && timeout 60 "${tool[@]}" in900 kept 10 >/dev/null)
    [ "$(stat -c %a new) $(stat -c %a kept)" = "$created 604" ] || failed+=" $source under $mask: $(stat -c %a new);"
  done <<'EOF_TABLE'
022 640 640
022 666 644
077 640 600
077 644 600
077 666 600
002 666 664
EOF_TABLE
  # A folder that passes its own group on (setgid) to a copy of a 0640
  # root:root file: no bits for that group.
  mkdir shared && chgrp users shared && chmod 2770 shared && chmod 640 in900 && chgrp root in900
  timeout 60 "${tool[@]}" in900 shared/copy 10 >/dev/null
  [ "$(stat -c '%a %G' shared/copy)" = "600 users" ] || failed+=" setgid folder: $(stat -c '%a %G' shared/copy)"
  [ -z "$failed" ] || { echo "failed:$failed" >&2; return 1; }
}

@test "a destination that takes no positions is written in order" {
  "$windows" && skip "tracefs is Linux's"
  mkdir t && mount -t tracefs none t 2>/dev/null || skip "cannot mount tracefs here"
  printf 'dravlet marker %s\n' "$BATS_TEST_TMPDIR" >marker
  run_case marker t/trace_marker 999
  local line
  line=$(grep -c -F "dravlet marker $BATS_TEST_TMPDIR" t/trace)
  umount t
  [ "$status" -eq 0 ] && [ "$line" -eq 1 ]
}

@test "a sparse source beyond 4 GiB is read at a 64-bit offset" {
  truncate -s 5G sparse || skip "no sparse files here"
  printf 'marker' | dd of=sparse bs=1 seek=4831838208 conv=notrunc status=none
  run_table <<'EOF_TABLE'
sparse out 6 -o4831838208      | filesize:5368709120 size:6 offset:4831838208\n | 0 | copy sparse 4831838208 6
sparse out -3 -o4831838211     | filesize:5368709120 size:3 offset:4831838208\n | 0 | copy sparse 4831838208 3
sparse out 1 -b6 -o805306368    | filesize:5368709120 size:6 offset:4831838208\n | 0 | copy sparse 4831838208 6
sparse out 6 -o-536870912      | filesize:5368709120 size:6 offset:4831838208\n | 0 | copy sparse 4831838208 6
EOF_TABLE
}

@test "names outside ASCII reach exactly the file named, look-alikes included" {
  for name in データ.bin данные.bin 😀.bin 'a b.bin' victim.bin; do cp in900 "$name"; done
  local long
  long=$(printf 'd%.0s' {1..100})
  mkdir -p "$long/$long/$long" sub
  run_table <<EOF_TABLE
in900 出力.bin 10              | filesize:900 size:10 offset:0\n   | 0 | copy in900 0 10 出力.bin
データ.bin вывод.bin -5        | filesize:900 size:5 offset:895\n  | 0 | copy in900 895 5 вывод.bin
'a b.bin' 🎯.bin 7 -o3         | filesize:900 size:7 offset:3\n    | 0 | copy in900 3 7 🎯.bin
😀.bin 'c d.bin' 20 -o880      | filesize:900 size:20 offset:880\n | 0 | copy in900 0 900 😀.bin
ない.bin out 1                 | input file is not open.\n         | 255 | untouched
данные.bin ./данные.bin 1      | filesize:900 size:1 offset:0\noutput file is the input file.\n | 255 | copy in900 0 900 данные.bin
in900 ｖｉｃｔｉｍ.bin 10      | filesize:900 size:10 offset:0\n   | 0 | copy in900 0 10 ｖｉｃｔｉｍ.bin
in900 victim.bın 11            | filesize:900 size:11 offset:0\n   | 0 | copy in900 0 11 victim.bın
in900 ｎｕｌ.bin 12            | filesize:900 size:12 offset:0\n   | 0 | copy in900 0 12 ｎｕｌ.bin
in900 sub/．．／victim.bin 14  | filesize:900 size:14 offset:0\n   | 0 | copy in900 0 14 sub/．．／victim.bin
in900 $long/$long/$long/out 13 | filesize:900 size:13 offset:0\n   | 0 | copy in900 0 13 $long/$long/$long/out
$long/$long/$long/out out 5 -o2 | filesize:13 size:5 offset:2\n  | 0 | copy in900 2 5
EOF_TABLE
  expect_bytes 'c d.bin' in900 880 20
  cmp -s victim.bin in900 || { echo "victim.bin was changed" >&2; return 1; }
}

@test "wildcards stay unexpanded" {
  # On POSIX the shell expands patterns, never the program: only Windows'
  # start-up code could, so only there can these rows fail.
  "$windows" || skip "patterns are the shell's to expand here"
  mkdir wild && cp in900 wild/a.bin && cp in500 wild/b.bin && cd wild
  local usage='usage: dravlet source destination size [-b block] [-p percent] [-o offset]\n'
  run_table <<EOF_TABLE
'*.bin' 10                     | $usage | 255 | none
'a*.bin' 'b*' 10               | input file is not open.\n | 255 | none
'[a]?bin' out 10               | input file is not open.\n | 255 | none
EOF_TABLE
  cmp -s b.bin ../in500 || { echo "b.bin was changed" >&2; return 1; }
}

@test "sources without a size are refused before anything is touched" {
  if "$windows"; then
    # A raw volume has no byte ranges.
    run_table <<'EOF_TABLE'
NUL out 1                      | input file seek end error.\n | 255 | untouched
'\\.\C:' out 1                 | input file seek end error.\n | 255 | untouched
EOF_TABLE
    return
  fi
  mkfifo fifo
  run_table <<'EOF_TABLE'
fifo out 10                    | input file seek end error.\n | 255 | untouched
/dev/zero out 32               | input file seek end error.\n | 255 | untouched
/dev/urandom out 32            | input file seek end error.\n | 255 | untouched
/dev/null out 1                | input file seek end error.\n | 255 | untouched
/proc/sys/kernel/hostname out 100 | input file seek end error.\n | 255 | untouched
/proc/self/cmdline out 100     | input file seek end error.\n | 255 | untouched
EOF_TABLE
  # tracefs streams its files, mqueue's cannot be read at positions, and
  # binfmt_misc's report 0: mounted here, where root may.
  local fs status_table=0
  for fs in tracefs:trace mqueue:queue binfmt_misc:status; do
    mkdir "${fs%:*}"
    mount -t "${fs%:*}" none "${fs%:*}" 2>/dev/null || skip "cannot mount ${fs%:*} here"
    [ "$fs" != mqueue:queue ] || touch mqueue/queue
    run_table <<<"${fs/://} out 1 | input file seek end error.\n | 255 | untouched" || status_table=$?
    umount "${fs%:*}"
  done
  return "$status_table"
}

@test "a source under a lease is read once the lease is given up" {
  "$windows" && skip "leases are Linux's"
  hold_lease in900
  run_case in900 out 10
  end_lease
  [ "$status" -eq 0 ]
  expect_bytes out in900 0 10
}

@test "sysfs attributes and procfs files have their lengths: firmware tables, PCI configuration space, text" {
  "$windows" && skip "sysfs is Linux's"
  local tried=0 f size
  # Firmware tables, a binary attribute larger than a page (not measured by
  # a read), a PCI configuration space of each size there is, and text
  # attributes, whose sizes are a page whatever they hold: the last 16 bytes
  # of each.
  for f in /sys/firmware/acpi/tables/DSDT /sys/firmware/dmi/tables/DMI /sys/kernel/btf/vmlinux \
    $(stat -c '%s %n' /sys/bus/pci/devices/*/config 2>/dev/null | sort -u -k1,1 | cut -d' ' -f2) \
    /sys/kernel/mm/transparent_hugepage/enabled /sys/kernel/profiling /sys/devices/system/node/node0/cpulist \
    /proc/config.gz; do
    [ -r "$f" ] || continue
    cat "$f" >whole
    size=$(stat -c %s whole)
    run_case "$f" out -16
    local start=$((size > 16 ? size - 16 : 0))
    [ "$status" -eq 0 ] && expect_output "filesize:$size size:16 offset:$start\n" && expect_bytes out whole "$start" 16 ||
      { echo "  in $f" >&2 && return 1; }
    tried=$((tried + 1))
  done
  [ "$tried" -gt 0 ] || skip "none of these sysfs attributes here"
}

@test "closed standard descriptors: the source may be descriptor 0, the destination descriptor 1" {
  run_case in900 out 10 <&-
  [ "$status" -eq 0 ]
  expect_bytes out in900 0 10
  "$windows" && skip "ulimit -f is POSIX's"
  # The destination is descriptor 1 and the copy fails after its open: the
  # message, printed once it is closed, stays out of it.
  status=0
  (ulimit -f 128 && exec timeout 60 "${tool[@]}" big out 200000 0<&- 1>&-) || status=$?
  [ "$status" -eq 255 ]
  expect_bytes out big 0 "$(stat -c %s out)"
}

@test "the report line is out before the copy starts" {
  "$windows" && skip "no /dev/stdout on Windows"
  printf 0123456789 >ten
  timeout 60 "${tool[@]}" ten /dev/stdout 5 | cat >piped
  [ "$(cat piped)" = $'filesize:10 size:5 offset:0\n01234' ]
  # Standard output is a regular file here: the destination empties it and
  # the bytes stay, with no report flushed over them at exit.
  run_case ten /dev/stdout 5
  [ "$status" -eq 0 ]
  [ "$(cat stdout)" = 01234 ]
  # A copy ended by a signal (here waiting for a reader) has reported.
  mkfifo waiting report
  timeout 60 "${tool[@]}" ten waiting 5 >report &
  local pid=$! line=
  # The line comes while the tool waits; a minute is only the bound of a
  # failure.
  read -r -t 60 line <report || true
  kill -TERM "$pid"
  wait "$pid" || true
  [ "$line" = 'filesize:10 size:5 offset:0' ]
}

@test "write-side signals are failed writes; a closed standard output is no failure" {
  "$windows" && skip "POSIX signals"
  local report='filesize:200000 size:200000 offset:0\n'
  mkfifo pipe
  head -c 10 pipe >/dev/null &
  local reader=$!
  run_case big pipe 200000
  # Reaped also when the tool failed before it opened the pipe, which the
  # reader would wait for.
  kill "$reader" 2>/dev/null || true
  wait "$reader" || true
  [ "$status" -eq 255 ]
  expect_output "${report}file write error.\n"
  status=0
  (ulimit -f 128 && exec timeout 60 "${tool[@]}" big out 200000 >stdout) || status=$?
  [ "$status" -eq 255 ]
  expect_output "${report}file write error.\n"
  expect_bytes out big 0 131072
  # Standard output a pipe whose reader is gone before the report.
  status=0
  "$python" -c 'import os, subprocess, sys
r, w = os.pipe()
os.close(r)
sys.exit(subprocess.call(sys.argv[1:], stdout=w, timeout=60))' "${tool[@]}" big out 200000 || status=$?
  [ "$status" -eq 0 ]
  expect_bytes out big 0 200000
  # A stop and a continue while a write into a full pipe has put part of its
  # chunk (a terminal's Ctrl-Z and fg) cut that write short.
  "$python" -c 'import fcntl, os, signal, struct, subprocess, sys, termios, time
tool = subprocess.Popen(sys.argv[2:], stdout=subprocess.DEVNULL)
pipe = os.open(sys.argv[1], os.O_RDONLY)
def full():
    for _ in range(5000):
        if struct.unpack("i", fcntl.ioctl(pipe, termios.FIONREAD, b"1234"))[0] == 65536: return
        time.sleep(0.001)
full()
data = os.read(pipe, 4096)
full()
tool.send_signal(signal.SIGSTOP)
tool.send_signal(signal.SIGCONT)
while chunk := os.read(pipe, 65536): data += chunk
open("piped", "wb").write(data)
sys.exit(tool.wait(timeout=60))' pipe "${tool[@]}" big pipe 200000
  expect_bytes piped big 0 200000
}

@test "a destination swapped for a link to the source never empties the source" {
  "$windows" && skip "symbolic links"
  cp in900 in900.orig
  (while :; do
    : >swap.tmp && mv -f swap.tmp swap
    ln -sfn in900 swap
  done) 2>/dev/null &
  local swapper=$! i
  # A build that empties the destination by its name before the check lost
  # the source within 8 runs in each of 8 trials: 100 runs are a wide margin.
  for ((i = 0; i < 100; i++)); do timeout 60 "${tool[@]}" in900 swap 10 >/dev/null 2>&1 || true; done
  kill "$swapper"
  wait "$swapper" || true
  cmp -s in900 in900.orig || { echo "in900 was changed" >&2; return 1; }
}
