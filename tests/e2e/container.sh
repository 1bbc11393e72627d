#!/usr/bin/env bash
# usage: container.sh BASE [--volume FOLDER]... [--device NODE]... [--hide MOUNT]... -- COMMAND...
#
# Runs COMMAND as root in a view of this machine as a container has it, the
# way Docker builds one: in namespaces of its own (mounts, processes), its
# root an overlay whose layer folders lie outside that view (a bind of the
# host's root file system below, a tmpfs above, both under BASE, which must
# be a new empty folder), a fresh /proc, /sys read-only, a small /dev with
# only the NODEs given (and null, zero, full, random, urandom, tty, shm),
# each FOLDER bound in at its own path with the mounts below it, less each
# MOUNT below them. Needs root.
set -euo pipefail
base=$1
shift
volumes=() devices=() hidden=()
while [ "$1" != -- ]; do
  case $1 in
  --volume) volumes+=("$2") ;;
  --device) devices+=("$2") ;;
  --hide) hidden+=("$2") ;;
  esac
  shift 2
done
shift
# The lists reach the namespace as lines, so that names keep their spaces.
export base volumes_list devices_list hidden_list
volumes_list=$(printf '%s\n' "${volumes[@]}")
devices_list=$(printf '%s\n' "${devices[@]}")
hidden_list=$(printf '%s\n' "${hidden[@]}")
exec unshare --mount --pid --fork --propagation private bash -euo pipefail -c '
  mount -t tmpfs layers "$base"
  cd "$base"
  mkdir lower upper work root
  mount --bind / lower
  mount -t overlay overlay -o "lowerdir=$base/lower,upperdir=$base/upper,workdir=$base/work" root
  mapfile -t volumes <<<"$volumes_list"
  mapfile -t devices <<<"$devices_list"
  mapfile -t hidden <<<"$hidden_list"
  for volume in "${volumes[@]}"; do
    [ -n "$volume" ] || continue
    mkdir -p "root$volume" && mount --rbind "$volume" "root$volume"
  done
  for mount in "${hidden[@]}"; do [ -z "$mount" ] || umount --lazy "root$mount"; done
  mount -t proc proc root/proc
  mount --rbind /sys root/sys && mount -o remount,bind,ro root/sys
  mount -t tmpfs -o size=1m,mode=755 dev root/dev
  mkdir root/dev/shm root/dev/pts && mount -t tmpfs shm root/dev/shm
  for node in null zero full random urandom tty "${devices[@]}"; do
    [ -n "$node" ] && [ -e "/dev/${node#/dev/}" ] || continue
    mkdir -p "$(dirname "root/dev/${node#/dev/}")"
    cp -a "/dev/${node#/dev/}" "root/dev/${node#/dev/}"
  done
  cd root
  mkdir -p .old
  pivot_root . .old
  umount --lazy /.old
  rmdir /.old
  cd /
  exec "$@"
' container "$@"
