#!/usr/bin/env bats
# Fails, in turn, the system calls whose failures the runtime answers for
# on its own, which the fake runtime of the unit tests cannot make, on the
# real binary, through strace's fault injection, and checks what the run
# makes of it. A call is found by what it names in a clean traced run of the
# same command, whatever place it has among the others. Needs strace; runs
# without address randomisation, so that a sanitized build's own start-up
# makes the same calls every time. DRAVLET as for dravlet.bats.

# shellcheck disable=SC2154 # tool, windows and python: set by helpers.bash
load helpers

setup() {
  find_tool
  "$windows" && skip "strace traces Linux system calls"
  need strace
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

@test "a system call failing once is answered as the runtime must" {
  local report='filesize:200000 size:150000 offset:10\n' failures=0
  local -A outcome=([open]='input file is not open.\n' [out]="${report}output file is not open.\n"
    [same]="${report}output file is the input file.\n" [ok]="$report")
  # CALL: the first call of the run that it names in the trace; WITH: an
  # injection into every call of another kind; then the outcome for a new,
  # an existing and a hard-linked destination ("-": the call is not made).
  while IFS='|' read -r call errno with new existing link; do
    [[ -z ${call// /} || $call == \#* ]] && continue
    local row=${call%% *} kinds=(new existing link) expected=() i
    errno=${errno// /} with=${with// /}
    read -r -a expected <<<"$new $existing $link"
    for i in 0 1 2; do
      local kind=${kinds[i]} want=${expected[i]} syscall occurrence clean
      # One clean run for each kind of destination and injection.
      clean=clean.$kind.${with//[^a-zA-Z0-9]/_}.log
      [ -e "$clean" ] || { prepare "$kind" && traced "$clean" ${with:+"$with"}; }
      # @S, @F and @D stand for the descriptors of the source, the
      # destination's folder and the destination.
      call=${row//@S/$(descriptor in)} && call=${call//@F/$(descriptor '\.')} && call=${call//@D/$(descriptor out)}
      # The system call that the row names, and its occurrence among the
      # calls of its name. The tool's own calls run from the source's open
      # to its close: a sanitizer's start-up and a coverage build's exit
      # make their own.
      read -r syscall occurrence < <(call="^[0-9]+ +$call" close="^[0-9]+ +close\\($(descriptor in)\\)" awk '
        { name = $2; sub(/\(.*/, "", name); seen[name]++ }
        /^[0-9]+ +open(at)?\(.*"in"/ { open = 1 }
        open && $0 ~ ENVIRON["call"] { print name, seen[name]; exit }
        open && $0 ~ ENVIRON["close"] { exit }' "$clean") || true
      if [ -z "$syscall" ]; then
        [ "$want" = - ] || { echo "$call is not made for a $kind destination" >&2 && failures=$((failures + 1)); }
        continue
      fi
      prepare "$kind"
      traced faulty.log ${with:+"$with"} "$syscall:error=$errno:when=$occurrence"
      local ok=true
      grep -q -E "^[0-9]+ +$call.*INJECTED" faulty.log || { echo "the injection missed" >&2 && ok=false; }
      [ "$status" -eq "$([ "$want" = ok ] && echo 0 || echo 255)" ] || { echo "status $status" >&2 && ok=false; }
      expect_output "${outcome[$want]:-?}" || ok=false
      cmp -s in in.before || { echo "in was changed" >&2 && ok=false; }
      case $want:$kind in
      ok:*) expect_bytes out in 10 150000 || ok=false ;;
      *:existing) cmp -s out out.before || { echo "out was changed" >&2 && ok=false; } ;;
      *:new) [ ! -s out ] || { echo "out holds bytes" >&2 && ok=false; } ;;
      esac
      $ok || { echo "  in case: $call $errno, $kind destination" >&2 && failures=$((failures + 1)); }
    done
  done <<'EOF_TABLE'
# call                                | errno  | with               | new   | existing | link
# A source whose flags cannot be set back to blocking is closed.
fcntl\(@S,.F_SETFL                    | EBADF  |                    | open  | open  | open
# The access hint is only a hint.
fadvise64\(@S                         | EIO    |                    | ok    | ok    | same
# Where statx fails, fstat answers; where both do, nothing is told.
statx\(@S                             | EIO    |                    | ok    | ok    | same
(new)?fstat(at)?\(@S                 | EIO    | statx:error=ENOSYS | open  | open  | open
# The destination's folder, and what is there.
open(at)?\(.*"\."                    | EACCES |                    | out   | out   | out
openat\(@F,."out",.O_WRONLY(.O_LARGEFILE)?\) | EACCES |              | out   | out   | out
# Something made there between the check and the make: no link to follow.
openat\(@F,."out".*O_EXCL             | EEXIST |                    | ok    | -     | -
# A clone that breaks off is undone; a hole that cannot be told gives
# holes up.
ioctl\(@D,.[^,]*FICLONERANGE          | EIO    |                    | ok    | ok    | -
lseek\(@S,.10,.SEEK_HOLE              | EIO    |                    | ok    | ok    | -
EOF_TABLE
  [ "$failures" -eq 0 ]
}
