#!/usr/bin/env bash
# usage: container.sh BASE [--volume FOLDER | --device NODE | --hide MOUNT]... -- COMMAND...
#
# Runs COMMAND as root in a view of this machine as a container has it, the
# way Docker builds one: in namespaces of its own (mounts, processes), its
# root an overlay whose layer folders lie outside that view (a bind of the
# host's root file system below, a tmpfs above, both under BASE, which must
# be a new empty folder), a fresh /proc, /sys read-only, a small /dev with
# null, zero, full, random, urandom, tty, shm and each NODE given, each
# FOLDER bound in at its own path with the mounts below it, less each MOUNT
# (which must come after its FOLDER). Needs root.
set -euo pipefail
# shellcheck disable=SC2016 # the script expands its words in the namespace
exec unshare --mount --pid --fork --propagation private bash -euo pipefail -c '
  base=$1 && shift && mount -t tmpfs layers "$base" && cd "$base" && mkdir lower upper work root
  mount --bind / lower
  mount -t overlay overlay -o "lowerdir=$base/lower,upperdir=$base/upper,workdir=$base/work" root
  mount -t proc proc root/proc
  mount --rbind /sys root/sys && mount -o remount,bind,ro root/sys
  mount -t tmpfs -o size=1m,mode=755 dev root/dev && mkdir root/dev/shm root/dev/pts && mount -t tmpfs shm root/dev/shm
  for node in null zero full random urandom tty; do cp -a "/dev/$node" root/dev/; done
  while [ "$1" != -- ]; do
    case $1 in
    --volume) mkdir -p "root$2" && mount --rbind "$2" "root$2" ;;
    --device) cp -a "$2" "root$2" ;;
    --hide) umount --lazy "root$2" ;;
    esac
    shift 2
  done
  shift
  cd root && mkdir .old && pivot_root . .old && umount --lazy /.old && rmdir /.old && cd /
  exec "$@"
' container "$@"
