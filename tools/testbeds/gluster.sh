#!/usr/bin/env bash
# A GlusterFS volume of one brick and N client mounts of it, each mount a client process of
# its own, as N hosts would have. Everything lives in STATE/gluster.
#   gluster.sh up STATE MODE [N]    prints the N mount points (default 2), one a line
#   gluster.sh up STATE MODE hosts  one client in each host of the cluster up in STATE with
#                                   own-mounts (cluster.sh), and one here, all at one path,
#                                   which it prints: every host is a client of its own
#   gluster.sh restart STATE brick [SECONDS]
#                                   a nemesis: stops the brick, waits SECONDS
#                                   (LOGTEST_NEMESIS_SECONDS, else 2), starts it again
#   gluster.sh down STATE           unmounts and stops everything up made
# MODE is how coherent the clients are:
#   coherent    the volume's caches off, the client's attribute, entry and negative
#               timeouts 0, and direct I/O: every read goes to the brick
#   page-cache  the same without direct I/O: each client's kernel page cache serves reads
#   stock       the volume's and the client's defaults
# glusterd always serves port 24007, so one such testbed runs on a machine at a time; up
# waits up to GLUSTER_WAIT seconds (default 300) for another one's glusterd to go.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "$0")/lib.sh"

usage() {
  echo "usage: ${0##*/} up STATE coherent|page-cache|stock [N|hosts]" \
    "| restart STATE brick [SECONDS] | down STATE" >&2
  exit 2
}

VOLUME=logtest
# The CLI refuses localhost and 127.0.0.1 as a brick's host; any other loopback address works,
# and for the hosts of a cluster the bridge's address, which they all reach.
HOST=127.0.0.2
CACHES=(stat-prefetch quick-read open-behind write-behind read-ahead io-cache readdir-ahead
  nl-cache)

cli() {
  gluster --mode=script --glusterd-sock="$dir/run/glusterd.socket" \
    --log-file="$dir/log/cli.log" "$@" >>"$dir/log/cli.out"
}

# glusterd's own state goes in $dir, not /var/lib/glusterd: a teardown then leaves no volume
# behind, and each bring-up starts from nothing (a brick cannot join a second volume).
start_glusterd() {
  rm -rf "${dir:?}"/{work,run,log,brick,mnt}
  mkdir -p "$dir/work" "$dir/run" "$dir/log" "$dir/brick" "$dir/mnt" /var/run/gluster
  cat >"$dir/glusterd.vol" <<VOL
volume management
    type mgmt/glusterd
    option working-directory $dir/work
    option run-directory $dir/run
    option logging-directory $dir/log
    option glusterd-sockfile $dir/run/glusterd.socket
    option transport-type socket
    option transport.socket.listen-port 24007
    option ping-timeout 0
    option event-threads 1
end-volume
VOL
  wait_for "$((${GLUSTER_WAIT:-300} * 10))" port_free 24007 ||
    die "port 24007 is still taken: another glusterd runs on this machine"
  run_daemon "$dir/log/start.out" glusterd -f "$dir/glusterd.vol" -p "$dir/run/glusterd.pid" \
    -l "$dir/log/glusterd.log"
  wait_for 100 test -s "$dir/run/glusterd.pid" || die "glusterd did not start: $dir/log"
  record_pid "$dir" 10-glusterd "$(cat "$dir/run/glusterd.pid")"
}

# Waits for the brick glusterd started and records it.
record_brick() {
  local pidfile pid
  pidfile=$(find "$dir/run/vols/$VOLUME" -name '*.pid' | head -1)
  wait_for 100 test -s "$pidfile" || die "the brick did not start: $dir/log/bricks"
  pid=$(cat "$pidfile")
  record_pid "$dir" 20-brick "$pid"
  # The brick's socket is the one thing glusterd puts outside run-directory.
  tr '\0' '\n' <"/proc/$pid/cmdline" | grep -A1 -x -- -S | tail -1 >"$dir/outside"
}

start_volume() {
  local option
  cli volume create "$VOLUME" "$HOST:$dir/brick/b" force
  if [ "$mode" != stock ]; then
    for option in "${CACHES[@]}"; do
      cli volume set "$VOLUME" "performance.$option" off
    done
  fi
  cli volume start "$VOLUME"
  record_brick
}

# Client $1 at $2; with $3 and $4 (a host's network namespace and a process in its mount
# namespace), that host's own, seen only there.
mount_client() {
  local i=$1 mnt=$2 ns=${3:-} nspid=${4:-} options=() enter=()
  case $mode in
    coherent) options=(--attribute-timeout=0 --entry-timeout=0 --negative-timeout=0
      --direct-io-mode=enable) ;;
    page-cache) options=(--attribute-timeout=0 --entry-timeout=0 --negative-timeout=0) ;;
  esac
  client_mount_point "$dir" "$mnt" "$ns" "$nspid"
  run_daemon "$dir/log/client$i.out" "${enter[@]}" glusterfs --volfile-server="$HOST" \
    --volfile-id="/$VOLUME" --pid-file="$dir/run/client$i.pid" \
    --log-file="$dir/log/client$i.log" "${options[@]}" "$mnt"
  wait_mounted 100 "$mnt" "$nspid" || die "client $i did not mount: $dir/log/client$i.log"
  record_pid "$dir" "30-client$i" "$(cat "$dir/run/client$i.pid")"
}

# The brick goes and comes back; the clients stay mounted and reconnect on their own.
restart_brick() {
  local pid start
  [ -f "$dir/up" ] || die "no GlusterFS testbed is up in $dir"
  read -r pid start <"$dir/pids/20-brick"
  stop_one "$pid" "$start"
  sleep "$1"
  cli volume start "$VOLUME" force
  record_brick
}

[ $# -ge 2 ] || usage
command=$1 state=$2
case $command in
  up)
    mode=${3:-}
    count=${4:-2}
    case $mode in coherent | page-cache | stock) ;; *) usage ;; esac
    [[ $count =~ ^([1-9][0-9]?|hosts)$ ]] || usage
    need_root
    need_commands glusterd gluster glusterfs findmnt nsenter python3
    dir=$(bed_dir "$state" gluster)
    [ "$count" != hosts ] || HOST=$(cluster_address "$state")
    if ! still_up "$dir" "$mode $count"; then
      teardown "$dir"
      start_glusterd
      start_volume
      mount_clients "$dir" "$state" "$count"
      echo "$mode $count" >"$dir/up"
    fi
    if [ "$count" = hosts ]; then echo "$dir/mnt/shared"; else cat "$dir/mounts"; fi
    ;;
  restart)
    { { [ $# -eq 3 ] || [ $# -eq 4 ]; } && [ "$3" = brick ]; } || usage
    seconds=${4:-${LOGTEST_NEMESIS_SECONDS:-2}}
    [[ $seconds =~ ^[0-9]+(\.[0-9]+)?$ ]] || usage
    need_root
    dir=$(bed_dir "$state" gluster)
    restart_brick "$seconds"
    ;;
  down)
    teardown "$state/gluster"
    ;;
  *) usage ;;
esac
