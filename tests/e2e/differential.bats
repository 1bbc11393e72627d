#!/usr/bin/env bats
# Random sources with holes and random ranges, on the file systems users
# meet: the checkout's, tmpfs, and loop-mounted ext4 and XFS. Each case's
# bytes, status and output are compared with Python's slice of the source
# (differential.py). The seed is DRAVLET_SEED, else a fresh one; a failure
# prints it with the command that replays the case. DRAVLET as for
# dravlet.bats; the mounts as in filesystems.bats.

# shellcheck disable=SC2154 # tool, windows and python: set by helpers.bash
load helpers

setup_file() {
  mount_or_skip xfs:320M ext4:32M
  export DRAVLET_SEED=${DRAVLET_SEED:-$RANDOM$RANDOM}
}

teardown_file() { unmount_images "$BATS_FILE_TMPDIR" xfs ext4; }

setup() { find_tool; }

# differential FOLDER COUNT: COUNT cases in a new folder under FOLDER.
differential() {
  local folder
  folder=$(mktemp -d "$1/dravlet-differential.XXXXXX")
  local status=0
  "$python" "$BATS_TEST_DIRNAME/differential.py" "$folder" "$DRAVLET_SEED" "$2" -- "${tool[@]}" || status=$?
  rm -rf "$folder"
  return "$status"
}

@test "random layouts and ranges on the checkout's file system and tmpfs" {
  # Wine starts slowly: fewer cases there.
  local count=50
  "$windows" && count=15
  differential "$BATS_TEST_DIRNAME" "$count"
  [ "$(stat -f -c %T /dev/shm 2>/dev/null)" != tmpfs ] || differential /dev/shm "$count"
}

@test "random layouts and ranges on ext4 and XFS" {
  skip_unless_mounted
  differential "$BATS_FILE_TMPDIR/ext4" 50
  differential "$BATS_FILE_TMPDIR/xfs" 50
}
