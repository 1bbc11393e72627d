#!/usr/bin/env bats
# Fails, in turn, each system call that the tool makes, on the real binary,
# through strace's fault injection, and checks what the run makes of it.
# Each call's occurrence is found in a clean traced run of the same command,
# so the table holds whatever order the calls come in. Needs strace; runs
# without address randomisation, so that a sanitized build's own start-up
# makes the same calls every time. DRAVLET as for dravlet.bats.

load helpers

setup() {
  find_tool
  "$windows" && skip "strace traces Linux system calls"
  command -v strace >/dev/null || skip "no strace (apt-get install strace)"
  # ELF's class byte: a 32-bit build makes other calls (_llseek, fcntl64).
  [ "$(od -An -tx1 -j4 -N1 "${tool[-1]}")" = " 02" ] || skip "the table names the calls of a 64-bit build"
  cd "$BATS_TEST_TMPDIR" || return 1
  make_file in 200000
  cp in in.before
}

# traced LOG [INJECTION...]: runs the tool on the range 150000 -o10 of in,
# into out, under strace, writing the trace to LOG; sets status.
traced() {
  local log=$1
  shift
  status=0
  ASAN_OPTIONS=detect_leaks=0 timeout 60 setarch -R strace -f -qq -o "$log" "${@/#/-einject=}" \
    "${tool[@]}" in out 150000 -o10 >stdout 2>stderr || status=$?
}

# prepare KIND: out as the destination of that kind.
prepare() {
  rm -f out
  case $1 in
  existing) printf 'previous contents of out %.0s' {1..100} >out ;;
  link) ln in out ;;
  esac
  [ "$1" = new ] || cp out out.before
}

# descriptor NAME: the descriptor that the clean run's last open of NAME gave.
descriptor() {
  grep -E "^[0-9]+ +open(at)?\(.*\"$1\".* = [0-9]+$" "$clean" | tail -n 1 | sed 's/.* = //'
}

@test "every system call failing once ends the run as its stage does" {
  local report='filesize:200000 size:150000 offset:10\n' failures=0
  local -A outcome=([open]='input file is not open.\n' [seekend]='input file seek end error.\n'
    [seek]="${report}read file seek error.\n" [out]="${report}output file is not open.\n"
    [same]="${report}output file is the input file.\n" [maybe]="${report}output file may be the input file.\n"
    [read]="${report}file read error.\n"
    [write]="${report}file write error.\n" [ok]="$report")
  # CALL: the calls it names in the trace; N: which of them fails; WITH: an
  # injection into every call of another kind; then the outcome for a new,
  # an existing and a hard-linked destination ("-": the call is not made).
  while IFS='|' read -r call n errno with new existing link; do
    [[ -z ${call// /} || $call == \#* ]] && continue
    row=$(sed 's/^ *//; s/ *$//' <<<"$call") n=${n// /} errno=${errno// /}
    local -a expected=($new $existing $link) kinds=(new existing link)
    for i in 0 1 2; do
      local kind=${kinds[i]} want=${expected[i]} syscall occurrence clean
      # One clean run for each kind of destination and injection.
      clean=clean.$kind.${with//[^a-zA-Z0-9]/_}.log
      [ -e "$clean" ] || { prepare "$kind" && traced "$clean" $with; }
      # @S, @F and @D stand for the descriptors of the source, the
      # destination's folder and the destination.
      call=${row//@S/$(descriptor in)} && call=${call//@F/$(descriptor '\.')} && call=${call//@D/$(descriptor out)}
      # The system call of the row's nth call in the clean run, and its
      # occurrence among the calls of its name. The tool's own calls run
      # from the source's open to its close: a sanitizer's start-up and a
      # coverage build's exit make their own.
      read -r syscall occurrence < <(call="^[0-9]+ +$call" close="^[0-9]+ +close\\($(descriptor in)\\)" awk -v n="$n" '
        { name = $2; sub(/\(.*/, "", name); seen[name]++ }
        /^[0-9]+ +open(at)?\(.*"in"/ { open = 1 }
        open && $0 ~ ENVIRON["call"] && ++found == n { print name, seen[name]; exit }
        open && $0 ~ ENVIRON["close"] { exit }' "$clean") || true
      if [ -z "$syscall" ]; then
        [ "$want" = - ] || { echo "$call #$n is not made for a $kind destination" >&2 && failures=$((failures + 1)); }
        continue
      fi
      prepare "$kind"
      traced faulty.log $with "$syscall:error=$errno:when=$occurrence"
      local ok=true length
      grep -q -E "^[0-9]+ +$call.*INJECTED" faulty.log || { echo "the injection missed" >&2 && ok=false; }
      [ "$status" -eq "$([ "$want" = ok ] && echo 0 || echo 255)" ] || { echo "status $status" >&2 && ok=false; }
      expect_output "${outcome[$want]:-?}" || ok=false
      cmp -s in in.before || { echo "in was changed" >&2 && ok=false; }
      length=$(stat -c %s out 2>/dev/null || echo 0)
      case $want:$kind in
      ok:*) expect_bytes out in 10 150000 || ok=false ;;
      read:* | write:*) [ "$length" -le 150000 ] && expect_bytes out in 10 "$length" || ok=false ;;
      *:existing) cmp -s out out.before || { echo "out was changed" >&2 && ok=false; } ;;
      *:new) [ "$length" -eq 0 ] || { echo "out holds $length bytes" >&2 && ok=false; } ;;
      esac
      $ok || { echo "  in case: $call #$n $errno, $kind destination" >&2 && failures=$((failures + 1)); }
    done
  done <<'EOF_TABLE'
# call                          | n | errno  | with                     | new   | existing | link
open(at)?\(.*"in"               | 1 | EACCES |                          | open  | open  | open
fcntl\(@S, F_SETFL               | 1 | EBADF  |                          | open  | open  | open
fadvise64\(@S                    | 1 | EIO    |                          | ok    | ok    | same
statx\(@S                        | 1 | EIO    |                          | ok    | ok    | same
(new)?fstat(at)?\(@S            | 1 | EIO    | statx:error=ENOSYS       | open  | open  | open
fstatfs\(@S                      | 1 | EIO    |                          | seekend | seekend | seekend
lseek\(@S, 0, SEEK_END           | 1 | EIO    |                          | seekend | seekend | seekend
lseek\(@S, 10, SEEK_SET          | 1 | EINVAL |                          | seek  | seek  | seek
open(at)?\(.*"\."               | 1 | EACCES |                          | out   | out   | out
openat\(@F, "out", O_WRONLY(.O_LARGEFILE)?\) | 1 | EACCES |                          | out   | out   | out
statx\(@F                        | 1 | EIO    |                          | ok    | -     | -
(new)?fstat(at)?\(@F            | 1 | EIO    | statx:error=ENOSYS       | maybe | -     | -
openat\(@F, "out".*O_EXCL        | 1 | EIO    |                          | out   | -     | -
openat\(@F, "out".*O_EXCL        | 1 | EEXIST |                          | ok    | -     | -
statx\(@D                        | 1 | EIO    |                          | -     | ok    | same
(new)?fstat(at)?\(@D            | 1 | EIO    | statx:error=ENOSYS       | -     | maybe | maybe
ftruncate\(@D, 0                 | 1 | EIO    |                          | -     | out   | -
ioctl\(@D, [^,]*FICLONERANGE     | 1 | EIO    |                          | ok    | ok    | -
lseek\(@S, 10, SEEK_DATA         | 1 | EIO    |                          | ok    | ok    | -
lseek\(@S, 10, SEEK_HOLE         | 1 | EIO    |                          | ok    | ok    | -
copy_file_range\(@S              | 1 | EXDEV  |                          | ok    | ok    | -
copy_file_range\(@S              | 1 | EIO    |                          | ok    | ok    | -
pread64\(@S                      | 1 | EIO    | copy_file_range:error=ENOSYS | read | read | -
pread64\(@S                      | 2 | EIO    | copy_file_range:error=ENOSYS | read | read | -
pwrite64\(@D                     | 1 | ENOSPC | copy_file_range:error=ENOSYS | write | write | -
pwrite64\(@D                     | 2 | EIO    | copy_file_range:error=ENOSYS | write | write | -
close\(@D                        | 1 | EIO    |                          | write | write | same
close\(@S                        | 1 | EIO    |                          | ok    | ok    | same
EOF_TABLE
  [ "$failures" -eq 0 ]
}
