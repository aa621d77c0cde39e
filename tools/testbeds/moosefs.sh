#!/usr/bin/env bash
# A MooseFS of one master and one chunkserver, and client mounts of it, each an mfsmount of
# its own, as separate hosts would have. Everything lives in STATE/moosefs.
#   moosefs.sh up STATE SET [N]       prints the N mount points (default 2), one a line
#   moosefs.sh up STATE SET hosts     one client in each host of the cluster up in STATE
#                                     (cluster.sh up N STATE own-mounts), all at one path,
#                                     and one more here at that same path, which it prints:
#                                     logtest-run --hosts h1,h2 --rsh "ssh -F
#                                     STATE/cluster/ssh_config {host}" PATH/logtest
#   moosefs.sh restart STATE chunkserver [SECONDS]
#                                     stops the chunkserver, waits SECONDS (default 2),
#                                     starts it again; returns once the master has it back
#                                     and it serves. A nemesis: the mounts are left alone
#   moosefs.sh down STATE             unmounts and stops everything up made
# SET is how the clients cache:
#   default   the client's defaults (the master tells each client what file data it may keep)
#   direct    direct I/O, and the attribute, extended attribute, entry, negative entry and
#             directory entry caches off: every read and lookup goes to the servers
# The chunkserver will not work with a master it reaches on a loopback address (127.0.0.1 or
# any 127.X: it would be known to the clients by that address), so the servers listen on an
# address of their own: 10.214.X.1, of the first 10.214.X.0/24 from one that STATE's path
# picks on that nothing on the machine uses, on a link of its own. The link is a bridge with
# no ports: a dummy link would serve as well, but not every kernel has its driver (this
# machine's has none), and the bridge is what the cluster testbed needs anyway. In hosts mode
# the servers listen on the cluster's bridge address instead, which every host reaches.
# Each port is one nothing listens on, so other instances and a MooseFS of the machine's own
# are never met.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "$0")/lib.sh"

# Records of this testbed beside lib.sh's, each written before the thing it names is made:
#   links   the link carrying the servers' address; deleted after the processes stop
#   lock    held by up, restart and down, so that a restart running when the testbed goes
#           down never starts a chunkserver after the teardown

usage() {
  echo "usage: ${0##*/} up STATE default|direct [N|hosts] |" \
    "restart STATE chunkserver [SECONDS] | down STATE" >&2
  exit 2
}

take_lock() {
  exec {lock}>>"$dir/lock"
  flock "$lock"
}

# Only the one address, as /32: the rest of the network stays unrouted. Under a lock on this
# script, so that two bring-ups never pick the same network.
make_address() {
  local script_lock link=$prefix-mfs net
  exec {script_lock}<"$0"
  flock "$script_lock"
  # Not the cluster's 10.213: the two scripts hold different locks while they pick.
  net=$(free_net 10.214 "$prefix")
  ! ip link show dev "$link" >/dev/null 2>&1 || die "link $link exists already, not made by $dir"
  echo "$link" >>"$dir/links"
  ip link add name "$link" type bridge
  ip addr add "$net.1/32" dev "$link"
  ip link set dev "$link" up
  exec {script_lock}<&-
  address=$net.1
}

links_up() {
  local line
  [ -f "$dir/links" ] || return 0
  while read -r line; do
    ip link show dev "$line" >/dev/null 2>&1 || return 1
  done <"$dir/links"
}

# Four ports, none the same.
free_ports() {
  local port
  ports=()
  while [ ${#ports[@]} -lt 4 ]; do
    port=$(free_port)
    [[ " ${ports[*]} " == *" $port "* ]] || ports+=("$port")
  done
}

# Both daemons run as root, not as the package's mfs user: that user could not reach a STATE
# under /root.
write_configs() {
  local ports
  free_ports
  cat >"$dir/master.cfg" <<CFG
WORKING_USER = root
WORKING_GROUP = root
DATA_PATH = $dir/master
EXPORTS_FILENAME = $dir/exports.cfg
TOPOLOGY_FILENAME = $dir/topology.cfg
MATOML_LISTEN_HOST = $address
MATOML_LISTEN_PORT = ${ports[0]}
MATOCS_LISTEN_HOST = $address
MATOCS_LISTEN_PORT = ${ports[1]}
MATOCL_LISTEN_HOST = $address
MATOCL_LISTEN_PORT = ${ports[2]}
CFG
  # Any client may mount: the master listens on this testbed's address alone.
  echo '* / rw,alldirs,maproot=0' >"$dir/exports.cfg"
  : >"$dir/topology.cfg"
  echo "$dir/chunks" >"$dir/hdd.cfg"
  cat >"$dir/chunkserver.cfg" <<CFG
WORKING_USER = root
WORKING_GROUP = root
DATA_PATH = $dir/chunkserver
HDD_CONF_FILENAME = $dir/hdd.cfg
BIND_HOST = $address
MASTER_HOST = $address
MASTER_PORT = ${ports[1]}
CSSERV_LISTEN_HOST = $address
CSSERV_LISTEN_PORT = ${ports[3]}
CFG
  master=$address:${ports[2]}
}

# A value of one of the configuration files written above.
config() {
  sed -n "s/^$2 = //p" "$dir/$1.cfg"
}

listening() {
  (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null
}

# Whether a log, after byte $2, has a line matching $3.
logged_since() {
  tail -c +"$(($2 + 1))" "$dir/log/$1.log" | grep -q "$3"
}

# A new master starts from the package's empty metadata, and the chunkserver from no chunks.
start_master() {
  local pid
  rm -rf "${dir:?}"/{master,chunkserver,chunks,log,mnt}
  mkdir -p "$dir/master" "$dir/chunkserver" "$dir/chunks" "$dir/log" "$dir/mnt"
  cp /var/lib/mfs/metadata.mfs.empty "$dir/master/metadata.mfs"
  write_configs
  pid=$(spawn "$dir/log/master.log" mfsmaster -f -c "$dir/master.cfg")
  record_pid "$dir" 10-master "$pid"
  wait_for 100 listening "$address" "$(config master MATOCL_LISTEN_PORT)" ||
    die "the master did not start: $dir/log/master.log"
}

# Returns once the master has registered the chunkserver, the chunkserver knows its chunks
# and space, and it serves clients: until then a client's write waits for it.
start_chunkserver() {
  local pid master_offset offset=0
  master_offset=$(stat -c %s "$dir/log/master.log")
  [ ! -f "$dir/log/chunkserver.log" ] || offset=$(stat -c %s "$dir/log/chunkserver.log")
  pid=$(spawn "$dir/log/chunkserver.log" mfschunkserver -f -c "$dir/chunkserver.cfg")
  record_pid "$dir" 20-chunkserver "$pid"
  wait_for 300 logged_since master "$master_offset" '^mfsmaster.*chunkserver register end' ||
    die "the master did not register the chunkserver: $dir/log/{master,chunkserver}.log"
  wait_for 300 logged_since chunkserver "$offset" '^mfschunkserver.*scanning folder .*: complete' ||
    die "the chunkserver did not scan its chunks: $dir/log/chunkserver.log"
  wait_for 100 listening "$(config chunkserver CSSERV_LISTEN_HOST)" \
    "$(config chunkserver CSSERV_LISTEN_PORT)" ||
    die "the chunkserver does not serve: $dir/log/chunkserver.log"
}

client_options() {
  options=(-o "mfsmaster=${master%:*},mfsport=${master##*:}")
  case $set in
    direct) options+=(-o "mfscachemode=DIRECT,mfsattrcacheto=0,mfsxattrcacheto=0" -o
      "mfsentrycacheto=0,mfsnegentrycacheto=0,mfsdirentrycacheto=0") ;;
  esac
}

mount_client() {
  local name=$1 mnt=$2 pid options
  client_options
  mkdir -p "$mnt"
  echo "$mnt" >>"$dir/mounts"
  pid=$(spawn "$dir/log/$name.log" mfsmount -f "$mnt" "${options[@]}")
  record_pid "$dir" "30-$name" "$pid"
  wait_for 100 is_mounted "$mnt" || die "$name did not mount: $dir/log/$name.log"
}

mount_host_client() {
  local host=$1 ns=$2 nspid=$3 mnt=$4 pid options
  client_options
  record_host_mount "$dir" "$nspid" "$mnt"
  pid=$(spawn "$dir/log/client-$host.log" enter_host "$ns" "$nspid" mfsmount -f "$mnt" \
    "${options[@]}")
  record_pid "$dir" "30-client-$host" "$pid"
  wait_for 100 host_mounted "$nspid" "$mnt" ||
    die "the client in $host did not mount: $dir/log/client-$host.log"
}

# The hosts' mount namespaces are their own, so each client there and the one here share a
# path without meeting.
mount_hosts() {
  local mnt=$dir/mnt/shared host addr ns nspid
  mkdir -p "$mnt"
  while read -r host addr ns nspid; do
    mount_host_client "$host" "$ns" "$nspid" "$mnt"
  done < <(own_mount_hosts "$state")
  mount_client client "$mnt"
}

# A write through a client, synced, that returns once the master has the chunkserver's space
# and the client reaches both: the first log of a test is then not seconds late.
first_write() {
  local probe
  probe=$(head -1 "$dir/mounts")/.moosefs-up
  timeout 120 dd if=/dev/zero of="$probe" bs=4k count=1 conv=fsync status=none ||
    die "no write through $probe: $dir/log"
  rm -f "$probe"
}

# A client whose servers' address is gone (the cluster taken down first, in hosts mode) holds
# its unmount for minutes: its mounts are detached at once instead.
detach_orphaned_mounts() {
  local address line
  [ -f "$dir/mounts" ] && [ -f "$dir/master.cfg" ] || return 0
  address=$(config master MATOCL_LISTEN_HOST)
  [ -z "$(ip -4 -o addr show to "$address/32")" ] || return 0
  while read -r line; do
    umount -l "$line" 2>/dev/null || true
  done <"$dir/mounts"
}

moosefs_teardown() {
  detach_orphaned_mounts
  teardown "$dir"
  delete_links "$dir"
}

[ $# -ge 2 ] || usage
command=$1 state=$2
case $command in
  up)
    set=${3:-}
    count=${4:-2}
    case $set in default | direct) ;; *) usage ;; esac
    [[ $count =~ ^([1-9][0-9]?|hosts)$ ]] || usage
    need_root
    need_commands mfsmaster mfschunkserver mfsmount findmnt ip flock sha1sum nsenter python3
    dir=$(bed_dir "$state" moosefs)
    prefix=lt$(sha1sum <<<"$dir" | cut -c1-6)
    take_lock
    if ! still_up "$dir" "$set $count" || ! links_up; then
      moosefs_teardown
      if [ "$count" = hosts ]; then
        address=$(cluster_address "$state")
        own_mount_hosts "$state" >/dev/null
      else
        make_address
      fi
      start_master
      start_chunkserver
      if [ "$count" = hosts ]; then
        mount_hosts
      else
        for ((i = 1; i <= count; i++)); do mount_client "client$i" "$dir/mnt/$i"; done
      fi
      first_write
      echo "$set $count" >"$dir/up"
    fi
    cat "$dir/mounts"
    ;;
  restart)
    [ "${3:-}" = chunkserver ] || usage
    pause=${4:-2}
    [[ $pause =~ ^[0-9]+(\.[0-9]+)?$ ]] || usage
    need_root
    [ -d "$state/moosefs" ] || die "no MooseFS in $state"
    dir=$(bed_dir "$state" moosefs)
    take_lock
    [ -f "$dir/up" ] || die "no MooseFS is up in $dir"
    read -r pid start <"$dir/pids/20-chunkserver"
    stop_one "$pid" "$start"
    sleep "$pause"
    start_chunkserver
    ;;
  down)
    [ $# -eq 2 ] || usage
    [ -d "$state/moosefs" ] || exit 0
    dir=$(bed_dir "$state" moosefs)
    take_lock
    moosefs_teardown
    ;;
  *) usage ;;
esac
