#!/usr/bin/env bash
# Two bindfs mounts of one directory, each served by a process of its own: two clients of
# one file system whose only shared state is the directory underneath. In STATE/bindfs.
#   bindfs.sh up STATE MODE    prints the two mount points, one a line
#   bindfs.sh down STATE
# MODE:
#   forward         flock forwarded to the directory underneath, kernel caches off
#   local           the same, but each mount keeps its flocks to itself
#   forward-cached  locks forwarded, FUSE's default one-second attribute and entry caches
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "$0")/lib.sh"

usage() {
  echo "usage: ${0##*/} up STATE forward|local|forward-cached | down STATE" >&2
  exit 2
}

mount_one() {
  local name=$1 pid options=(--multithreaded)
  # Lock forwarding deadlocks a single-threaded bindfs as soon as two processes contend, so
  # every mode runs multithreaded and the modes differ in nothing else.
  case $mode in
    forward | forward-cached) options+=(--enable-lock-forwarding) ;;
  esac
  case $mode in
    forward | local) options+=(-o 'attr_timeout=0,entry_timeout=0,negative_timeout=0') ;;
  esac
  mkdir -p "$dir/$name"
  echo "$dir/$name" >>"$dir/mounts"
  pid=$(spawn "$dir/$name.log" bindfs -f "${options[@]}" "$dir/shared" "$dir/$name")
  record_pid "$dir" "10-$name" "$pid"
  wait_for 100 is_mounted "$dir/$name" || die "bindfs did not mount $dir/$name: $dir/$name.log"
}

[ $# -ge 2 ] || usage
command=$1 state=$2
case $command in
  up)
    mode=${3:-}
    case $mode in forward | local | forward-cached) ;; *) usage ;; esac
    need_root
    need_commands bindfs findmnt
    dir=$(bed_dir "$state" bindfs)
    if ! still_up "$dir" "$mode"; then
      teardown "$dir"
      mkdir -p "$dir/shared"
      mount_one a
      mount_one b
      echo "$mode" >"$dir/up"
    fi
    cat "$dir/mounts"
    ;;
  down)
    teardown "$state/bindfs"
    ;;
  *) usage ;;
esac
