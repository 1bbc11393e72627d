# Shared steps of the end-to-end suite.

# The system's Python: a version manager's shim in front of it can take a
# third of a second to start, and the suite starts Python often.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

# find_tool: sets tool to the words of $DRAVLET, files named absolutely (the
# cases run in folders of their own), and windows to whether it is the
# Windows build.
find_tool() {
  eval "tool=(${DRAVLET:?set DRAVLET to the command that runs dravlet})"
  for i in "${!tool[@]}"; do
    [[ -e ${tool[i]} ]] && tool[i]=$(realpath "${tool[i]}")
  done
  [[ $DRAVLET == *.exe* ]] && windows=true || windows=false
}

# make_file NAME LENGTH: a file of LENGTH bytes drawn from a generator
# seeded with NAME and LENGTH, so that a failure replays with the same bytes,
# and no two files, nor a file and a shifted copy of itself, compare equal.
make_file() {
  # shellcheck disable=SC2094 # the name is an argument, not a file read
  "$python" -c 'import random, sys
random.seed(sys.argv[1] + ":" + sys.argv[2])
sys.stdout.buffer.write(random.randbytes(int(sys.argv[2])))' "$1" "$2" >"$1"
}

# hold_lease FILE [COMMAND...]: holds a write lease on FILE, as Samba and NFS
# servers do, in the coprocess holder. When an open of FILE makes the kernel
# ask for the lease back (SIGIO), the holder runs COMMAND, gives the lease up
# and ends. Returns once the lease is held; end_lease reaps the holder.
hold_lease() {
  coproc holder { "$python" -c 'import fcntl, os, signal, subprocess, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY)
def give_up(*_):
    if len(sys.argv) > 2: subprocess.run(sys.argv[2:], check=True)
    fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
    os._exit(0)
signal.signal(signal.SIGIO, give_up)
fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK)
print("held", flush=True)
time.sleep(60)' "$@"; }
  local held
  read -r held <&"${holder[0]}"
  [ "$held" = held ]
}

end_lease() {
  # bash forgets the coprocess's PID once it has ended.
  local pid=${holder_PID:-}
  [ -z "$pid" ] || { kill "$pid" && wait "$pid"; } 2>/dev/null || true
}

# expect_output TEXT: stdout holds exactly TEXT (with printf escapes); the
# Windows build ends its lines with "\r\n".
expect_output() {
  local expected actual
  expected=$(printf '%b.' "$1") actual=$(cat stdout; printf '.')
  "$windows" && expected=${expected//$'\n'/$'\r\n'}
  [ "$actual" = "$expected" ] ||
    { printf 'expected stdout: %q\nactual stdout:   %q\n' "${expected%.}" "${actual%.}" >&2 && return 1; }
}

# run_case ARGS...: runs the tool with stdout in the file stdout. A run that
# hangs is ended after a minute, and fails on its status (124).
run_case() {
  status=0
  timeout 60 "${tool[@]}" "$@" >stdout 2>stderr || status=$?
}

# expect_bytes FILE SOURCE START LENGTH: FILE holds LENGTH bytes of SOURCE
# from START on.
expect_bytes() {
  cmp -s "$1" <(tail -c "+$(($3 + 1))" "$2" | head -c "$4") ||
    { echo "$1 does not hold bytes $3 to $(($3 + $4)) of $2" >&2 && return 1; }
}

# run_table: reads cases, one a line, from stdin:
#   ARGS | STDOUT | STATUS | OUTCOME
# ARGS are shell words. Before each case "out" holds text that no copy
# produces. OUTCOME is one of
#   copy SOURCE START LENGTH [FILE]  FILE (default out) holds that range
#   untouched                        out still holds its earlier text
#   source SOURCE                    SOURCE still holds its bytes
#   none                             nothing to check
run_table() {
  local args expected_output expected_status outcome failures=0
  while IFS='|' read -r args expected_output expected_status outcome; do
    [[ -z ${args// /} || $args == \#* ]] && continue
    expected_output=$(echo "$expected_output" | sed 's/^ *//; s/ *$//')
    printf 'previous contents of out, longer than any range copied by the table %.0s' {1..40} >out
    cp out out.before
    read -r -a check <<<"$outcome"
    [ "${check[0]}" = source ] && cp "${check[1]}" "${check[1]}.before"
    local -a argv
    eval "argv=($args)"
    run_case "${argv[@]}"
    local ok=true
    [ "$status" -eq "$expected_status" ] || { echo "status $status, expected $expected_status" >&2; ok=false; }
    expect_output "$expected_output" || ok=false
    case ${check[0]} in
    copy) expect_bytes "${check[4]:-out}" "${check[1]}" "${check[2]}" "${check[3]}" || ok=false ;;
    untouched) cmp -s out out.before || { echo "out was changed" >&2; ok=false; } ;;
    source) cmp -s "${check[1]}" "${check[1]}.before" || { echo "${check[1]} was changed" >&2; ok=false; } ;;
    esac
    $ok || { echo "  in case: $args" >&2 && failures=$((failures + 1)); }
  done
  [ "$failures" -eq 0 ]
}

# mount_images FOLDER TYPE:SIZE...: mounts a new image of each file system
# TYPE, of SIZE, on FOLDER/TYPE. Where one cannot be mounted (no root, no
# mkfs, no loop device), prints why and returns 1.
mount_images() {
  local folder=$1 fs why
  shift
  for fs in "$@"; do
    local type=${fs%:*} dir=$folder/${fs%:*}
    command -v "mkfs.$type" >/dev/null || { echo "no mkfs.$type (apt-get build-dep ./ installs it)" && return 1; }
    mkdir -p "$dir"
    why=$(truncate -s "${fs#*:}" "$dir.img" && "mkfs.$type" -q "$dir.img" 2>&1 </dev/null &&
      mount -o loop "$dir.img" "$dir" 2>&1) || { echo "cannot mount an $type image: $why" && return 1; }
  done
}

# unmount_images FOLDER TYPE...: unmounts what mount_images mounted. A loop
# device over a file in the mount is released by the kernel a moment after
# its detach, and keeps the mount busy until then: waits for that, unmounts
# lazily as the last resort, and fails if a mount is still there.
unmount_images() {
  local folder=$1 type i
  shift
  for type in "$@"; do
    local dir=$folder/$type
    mountpoint -q "$dir" || continue
    # A mount a test left inside (a FUSE mirror) goes first.
    for ((i = 0; i < 100; i++)); do
      if umount --recursive "$dir" 2>/dev/null; then break; fi
      sleep 0.1
    done
    mountpoint -q "$dir" && umount --recursive --lazy "$dir"
    ! mountpoint -q "$dir" || { echo "$dir is still mounted" >&2 && return 1; }
  done
}

# used_bytes FOLDER: the bytes in use on the file system of FOLDER.
used_bytes() {
  sync -f "$1"
  stat -f -c '%b %f %S' "$1" | awk '{ print ($1 - $2) * $3 }'
}

# need COMMAND...: skips the test where a command is missing; the packages
# that hold them are the build's test dependencies.
need() {
  local command
  for command in "$@"; do
    command -v "$command" >/dev/null || skip "no $command here (apt-get build-dep ./ installs it)"
  done
}

# skip_unless_mounted: skips the test with the reason that setup_file left
# in $BATS_FILE_TMPDIR/skip, if any.
skip_unless_mounted() {
  local why
  why=$(cat "$BATS_FILE_TMPDIR/skip")
  [ -z "$why" ] || skip "$why"
}

# mount_or_skip TYPE:SIZE...: for setup_file: mounts the images in
# $BATS_FILE_TMPDIR, or leaves the reason why not for skip_unless_mounted;
# fails instead where DRAVLET_REQUIRE_MOUNTS is set (CI, as root).
mount_or_skip() {
  local why="the Windows build copies in chunks only"
  find_tool
  "$windows" || { why=$(mount_images "$BATS_FILE_TMPDIR" "$@") && why=; }
  [ -z "$why" ] || [ -z "${DRAVLET_REQUIRE_MOUNTS:-}" ] || "$windows" ||
    { echo "DRAVLET_REQUIRE_MOUNTS is set, but $why" >&2 && return 1; }
  echo "$why" >"$BATS_FILE_TMPDIR/skip"
}
