#!/usr/bin/env bash
# A CephFS of one monitor, one manager, one OSD and one MDS, and N ceph-fuse mounts of it,
# each a client process of its own, as N hosts would have. Everything lives in STATE/cephfs,
# with a ceph.conf of its own that every command is given: nothing in /etc/ceph or
# /var/lib/ceph is read or written.
#   cephfs.sh up STATE SET [N]          prints the N mount points (default 2), one a line
#   cephfs.sh up STATE SET hosts        one client in each host of the cluster up in STATE
#                                       (cluster.sh up N STATE own-mounts) and one here, all
#                                       at one path, which it prints
#   cephfs.sh restart STATE osd|mds [SECONDS]
#                                       a nemesis: stops that daemon, waits SECONDS
#                                       (LOGTEST_NEMESIS_SECONDS, else 2), starts it again and
#                                       returns once it serves again
#   cephfs.sh down STATE                unmounts and stops everything up made
# SET is the clients' caching:
#   default       ceph-fuse's defaults: the object cacher and the kernel's page cache
#   nocache       neither (--client_oc=false --fuse_disable_pagecache=true)
#   no-oc         the kernel's page cache only (--client_oc=false)
#   no-pagecache  the object cacher only (--fuse_disable_pagecache=true)
# The OSD keeps its objects in memory (memstore), so no disk is needed, and writes them to
# files in its directory only when it stops cleanly, which Ceph's default fast shutdown
# skips: the OSD here takes the slow way out on SIGTERM (osd_fast_shutdown off), so a restart
# keeps the file system's data. An OSD that crashed, or was killed, comes back with the
# objects of its last clean stop: all written since are lost. Before any clean stop it has
# none, its placement groups stay stale, and every read or write of the file system hangs
# for good (seen with the fast shutdown). A restart whose OSD has to be killed (it did not
# stop within STOP_WAIT seconds, default 120) is thus a fault that loses data by
# construction: restart starts the OSD again, says so and fails.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "$0")/lib.sh"

usage() {
  echo "usage: ${0##*/} up STATE default|nocache|no-oc|no-pagecache [N|hosts]" \
    "| restart STATE osd|mds [SECONDS] | down STATE" >&2
  exit 2
}

FS=cephfs

ceph_cli() {
  ceph -c "$conf" --connect-timeout 10 "$@"
}

# Authentication is off (auth_*_required = none): every daemon listens only on ADDRESS,
# which is 127.0.0.1, or the bridge of a cluster of namespaces on this machine, which has no
# route from outside either: nothing but this machine can reach them.
write_conf() {
  local fsid=$1 address=$2 port=$3
  cat >"$conf" <<CONF
[global]
fsid = $fsid
mon host = [v2:$address:$port]
public addr = $address
ms bind msgr1 = false
auth cluster required = none
auth service required = none
auth client required = none
# A warning about reclaiming tickets, of which there are none.
mon warn on insecure global id reclaim allowed = false
# Every path the daemons and clients use, or would look for, is in $dir.
keyring = $dir/keyring
run dir = $dir/run
crash dir = $dir/crash
log file = $dir/log/\$name.log
admin socket = $dir/run/\$name.asok
mon data = $dir/mon/\$id
mgr data = $dir/mgr/\$id
osd data = $dir/osd/\$id
mds data = $dir/mds/\$id
# One OSD holds every object once: pools of size 1, which the monitor refuses unless told,
# and whose lack of redundancy is no health warning here. Few placement groups, no
# autoscaling: each costs the OSD memory and gains nothing on one OSD.
mon allow pool size one = true
mon warn on pool no redundancy = false
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
# The OSD's memory: at most 1 GiB of objects (the readers delete old logs as they go, so a
# run stays far below), short placement group logs, and caches sized for a testbed rather
# than the 4 GiB a BlueStore OSD aims at.
osd objectstore = memstore
memstore device bytes = 1073741824
osd memory target = 1073741824
osd min pg log entries = 100
osd max pg log entries = 500
osd pg log dups tracked = 500
osd fast shutdown = false
mds cache memory limit = 268435456
# The manager loads every module it has only to see which are on; none is of use here.
mgr disabled modules = $(mgr_modules)
# The ceph and rados commands, several at once under one name, would fight over one socket;
# no client needs one.
[client]
admin socket =
CONF
}

# Every module the package has: loaded, they cost the manager 120 to 270 MB, and two
# seconds of each bring-up.
mgr_modules() {
  local path
  path=$(ceph-conf -c /dev/null --show-config-value mgr_module_path)
  find "$path" -mindepth 2 -maxdepth 2 -name module.py -printf '%h\n' | sed 's|.*/||' |
    sort | paste -sd' '
}

start_mon() {
  local address=$1 port fsid
  port=$(free_port)
  fsid=$(cat /proc/sys/kernel/random/uuid)
  write_conf "$fsid" "$address" "$port"
  monmaptool -c "$conf" --create --fsid "$fsid" --addv a "[v2:$address:$port]" \
    "$dir/monmap" >>"$dir/log/mkfs.out"
  ceph-mon -c "$conf" --mkfs -i a --monmap "$dir/monmap" >>"$dir/log/mkfs.out" 2>&1
  record_pid "$dir" 10-mon "$(spawn "$dir/log/mon.out" ceph-mon -f -c "$conf" -i a)"
  wait_for 100 ceph_cli mon stat >/dev/null 2>&1 || die "the monitor did not start: $dir/log"
}

# The modules the monitor counts on ("always on") fail as missing, which is a health error
# of no consequence here: muted, it hides no other.
start_mgr() {
  mkdir -p "$dir/mgr/x"
  ceph_cli health mute MGR_MODULE_ERROR --sticky >>"$dir/log/mkfs.out" 2>&1
  record_pid "$dir" 20-mgr "$(spawn "$dir/log/mgr.out" ceph-mgr -f -c "$conf" -i x)"
}

start_osd() {
  record_pid "$dir" 30-osd "$(spawn "$dir/log/osd.out" ceph-osd -f -c "$conf" -i 0)"
}

start_mds() {
  record_pid "$dir" 40-mds "$(spawn "$dir/log/mds.out" ceph-mds -f -c "$conf" -i a)"
}

# The value of python's EXPR for the JSON, d, of a ceph command.
ceph_value() {
  local expr=$1
  shift
  ceph_cli "$@" -f json 2>/dev/null | python3 -c "import json, sys
d = json.load(sys.stdin)
print($expr)"
}

# Which instance of a daemon serves: the epoch the OSD booted in while it is up, the gid of
# the active MDS; empty while none does. A restarted daemon has a new one, so a map the
# monitor has not yet updated is not taken for the new daemon's.
instance() {
  case $1 in
    osd) ceph_value "' '.join(str(o['up_from']) for o in d['osds'] if o['up'])" osd dump ;;
    mds) ceph_value "' '.join(str(i['gid']) for f in d['filesystems']
      for i in f['mdsmap']['info'].values() if i['state'] == 'up:active')" fs dump ;;
  esac
}

# True once daemon $1 serves, and is not instance $2 (the one before a restart).
serves() {
  local now
  now=$(instance "$1") || return 1
  [ -n "$now" ] && [ "$now" != "${2:-}" ]
}

# Every placement group of both pools answers: a listing visits each one.
pools_serve() {
  local pool
  for pool in "${FS}_metadata" "${FS}_data"; do
    rados -c "$conf" --rados-osd-op-timeout 5 -p "$pool" ls >/dev/null 2>&1 || return 1
  done
}

make_fs() {
  local uuid
  uuid=$(cat /proc/sys/kernel/random/uuid)
  [ "$(ceph_cli osd new "$uuid" 2>>"$dir/log/mkfs.out")" = 0 ] || die "no osd.0: $dir/log"
  mkdir -p "$dir/osd/0" "$dir/mds/a"
  ceph-osd -c "$conf" -i 0 --mkfs --osd-uuid "$uuid" >>"$dir/log/mkfs.out" 2>&1
  start_osd
  wait_for 300 serves osd || die "the OSD is not up after 30 s: $dir/log/osd.0.log"
  {
    ceph_cli osd pool create "${FS}_metadata"
    ceph_cli osd pool create "${FS}_data"
    ceph_cli fs new "$FS" "${FS}_metadata" "${FS}_data"
  } >>"$dir/log/mkfs.out" 2>&1
  start_mds
  wait_for 300 serves mds || die "the MDS is not active after 30 s: $dir/log/mds.a.log"
}

client_options() {
  case $set in
    nocache) echo --client_oc=false --fuse_disable_pagecache=true ;;
    no-oc) echo --client_oc=false ;;
    no-pagecache) echo --fuse_disable_pagecache=true ;;
  esac
}

# Client $1 at $2; with $3 and $4 (a host's network namespace and a process in its mount
# namespace), that host's own, seen only there. Each client has a name of its own, and with
# it a log of its own.
mount_client() {
  local i=$1 mnt=$2 ns=${3:-} nspid=${4:-} options enter=()
  read -r -a options <<<"$(client_options)"
  client_mount_point "$dir" "$mnt" "$ns" "$nspid"
  record_pid "$dir" "50-client$i" "$(spawn "$dir/log/client$i.out" "${enter[@]}" ceph-fuse -f \
    -c "$conf" --id "fuse$i" "${options[@]}" "$mnt")"
  wait_mounted 300 "$mnt" "$nspid" || die "client $i did not mount: $dir/log/client.fuse$i.log"
}

bring_up() {
  local address=127.0.0.1
  [ "$count" != hosts ] || address=$(cluster_address "$state")
  rm -rf "${dir:?}"/{mon,mgr,osd,mds,log,run,crash,mnt,monmap,ceph.conf}
  mkdir -p "$dir/mon/a" "$dir/log" "$dir/run" "$dir/crash" "$dir/mnt"
  start_mon "$address"
  start_mgr
  make_fs
  mount_clients "$dir" "$state" "$count"
}

# The daemon is given time to stop on its own: the OSD writes every object to its directory
# then, and killed it would lose all it was given since its last clean stop.
restart() {
  local daemon=$1 seconds=$2 record pid start before killed=
  case $daemon in
    osd) record=$dir/pids/30-osd ;;
    mds) record=$dir/pids/40-mds ;;
  esac
  before=$(instance "$daemon")
  read -r pid start <"$record"
  if alive "$pid" "$start"; then
    kill -TERM "$pid"
    if ! wait_for "$((${STOP_WAIT:-120} * 10))" gone "$pid" "$start"; then
      kill -KILL "$pid"
      wait_for 50 gone "$pid" "$start" || die "$daemon (pid $pid) outlived SIGKILL"
      killed=1
    fi
  fi
  sleep "$seconds"
  "start_$daemon"
  wait_for 600 serves "$daemon" "$before" ||
    die "the $daemon does not serve 60 s after its restart: $dir/log/$daemon.*.log"
  [ -z "$killed" ] || [ "$daemon" != osd ] ||
    die "the OSD did not stop within ${STOP_WAIT:-120} s and was killed: the objects written" \
      "since its last clean stop are lost"
  # The MDS's journal and the files' data are on the OSD: the file system serves again once
  # every placement group does.
  [ "$daemon" != osd ] || wait_for 300 pools_serve ||
    die "the pools do not serve 30 s after the OSD is up: $dir/log"
}

{ [ $# -ge 2 ] && [ $# -le 4 ]; } || usage
command=$1 state=$2
case $command in
  up)
    set=${3:-}
    count=${4:-2}
    case $set in default | nocache | no-oc | no-pagecache) ;; *) usage ;; esac
    [[ $count =~ ^([1-9][0-9]?|hosts)$ ]] || usage
    need_root
    need_commands ceph ceph-conf ceph-mon ceph-mgr ceph-osd ceph-mds ceph-fuse monmaptool rados \
      findmnt nsenter python3
    dir=$(bed_dir "$state" cephfs)
    conf=$dir/ceph.conf
    if ! still_up "$dir" "$set $count"; then
      teardown "$dir"
      bring_up
      echo "$set $count" >"$dir/up"
    fi
    if [ "$count" = hosts ]; then echo "$dir/mnt/shared"; else cat "$dir/mounts"; fi
    ;;
  restart)
    daemon=${3:-}
    seconds=${4:-${LOGTEST_NEMESIS_SECONDS:-2}}
    case $daemon in osd | mds) ;; *) usage ;; esac
    [[ $seconds =~ ^[0-9]+(\.[0-9]+)?$ ]] || usage
    need_root
    [ -f "$state/cephfs/up" ] || die "no CephFS is up in $state"
    dir=$(bed_dir "$state" cephfs)
    conf=$dir/ceph.conf
    restart "$daemon" "$seconds"
    ;;
  down)
    teardown "$state/cephfs"
    ;;
  *) usage ;;
esac
