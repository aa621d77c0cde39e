#!/usr/bin/env bash
# A cluster of N hosts on this machine, h1..hN: each host is a network namespace of its own,
# joined by a veth link to a bridge in the root namespace, with a stock sshd on port 22 of its
# address. The bridge has an address too, so a launcher here reaches every host. Only the
# network is the hosts' own: they share this machine's file systems and processes, so every
# host sees the same directories and the same logtest. In STATE/cluster.
#   cluster.sh up N STATE [slurm] [own-mounts]
#                                   prints the --rsh template on line 1,
#                                   ssh -F STATE/cluster/ssh_config {host}
#                                   then the host names, one a line. With slurm, also a Slurm
#                                   cluster of those hosts: munged and slurmctld here, one
#                                   slurmd in each host; Slurm's commands then need
#                                   SLURM_CONF=STATE/cluster/slurm.conf. With own-mounts, each
#                                   host's sshd also has a mount namespace of its own, copied
#                                   from this machine's at the bring-up: a file system testbed
#                                   (gluster.sh, moosefs.sh, cephfs.sh up ... hosts) then mounts
#                                   one client in each host, so N hosts are N clients
#   cluster.sh cut STATE HOST       takes HOST off the network: the root-namespace end of its
#                                   link goes down (ip link set dev LINK down; the link is
#                                   the fourth word of HOST's line in STATE/cluster/hosts), so
#                                   no packet reaches it or leaves it; its processes run on
#   cluster.sh mend STATE HOST      brings that end up again
#   cluster.sh flap STATE HOST [SECONDS]
#                                   cuts HOST, waits SECONDS (LOGTEST_NEMESIS_SECONDS, else 3),
#                                   mends it: a nemesis for --nemesis. A host whose link is
#                                   down longer than the launcher's --grace is lost
#   cluster.sh down STATE           stops every process of the hosts, deletes the namespaces,
#                                   the links and the bridge
# The hosts are as a cluster's nodes would be: each sshd has the default MaxStartups, 10:30:100
# (with 10 connections still authenticating it drops 30 % of new ones, more as they pile up,
# all from 100 on), and MaxSessions; the client keeps no master connection, so every ssh is a
# connection and a login of its own.
# Without own-mounts the hosts share this machine's mounts, and see a mount made after they
# started. A host with mounts of its own sees only those it had at the bring-up and its own.
# Each bring-up takes a 10.213.X.0/24 that nothing on the machine uses (bridge .1, hosts .11
# upward) and names its namespaces, links and bridge with a prefix made from STATE's path, so
# that testbeds in different STATEs never meet. `up` leaves a cut host cut.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "$0")/lib.sh"

# Records of this testbed beside lib.sh's (pids/, up), each written before the thing it names
# is made, so that a bring-up that fails half way leaves nothing unrecorded:
#   netns   network namespaces, one a line; deleted after the processes in them stop
#   links   links in the root namespace (the bridge, the root ends of the veth links)
#   hosts   "NAME ADDRESS NAMESPACE LINK" of each host made, for cut, mend and the output
#   address the bridge's address, which servers listen on to serve every host
#   own-mounts  present when each host has a mount namespace of its own

usage() {
  echo "usage: ${0##*/} up N STATE [slurm] [own-mounts] | cut|mend STATE HOST" \
    "| flap STATE HOST [SECONDS] | down STATE" >&2
  exit 2
}

# A name is refused when it exists already: recorded and then made, a name someone else
# made would be deleted by this testbed's teardown.
claim_link() {
  ! ip link show dev "$1" >/dev/null 2>&1 || die "link $1 exists already, not made by $dir"
  echo "$1" >>"$dir/links"
}

claim_netns() {
  [ ! -e "/run/netns/$1" ] || die "network namespace $1 exists already, not made by $dir"
  echo "$1" >>"$dir/netns"
}

# Under a lock on this script: two bring-ups at once would otherwise pick the same network.
make_network() {
  local lock k host addr ns link
  exec {lock}<"$0"
  flock "$lock"
  net=$(free_net 10.213 "$prefix")
  claim_link "$prefix-br"
  ip link add name "$prefix-br" type bridge
  ip addr add "$net.1/24" dev "$prefix-br"
  ip link set dev "$prefix-br" up
  echo "$net.1" >"$dir/address"
  exec {lock}<&-
  for ((k = 1; k <= n; k++)); do
    host=h$k addr=$net.$((10 + k)) ns=$prefix-h$k link=$prefix-h$k
    claim_netns "$ns"
    ip netns add "$ns"
    claim_link "$link"
    # The other end is made in the namespace, so it never holds a name in the root one.
    ip link add name "$link" type veth peer name "${link}p" netns "$ns"
    ip link set dev "$link" master "$prefix-br" up
    ip -n "$ns" addr add "$addr/24" dev "${link}p"
    ip -n "$ns" link set dev "${link}p" up
    ip -n "$ns" link set dev lo up
    echo "$host $addr $ns $link" >>"$dir/hosts"
  done
}

write_ssh_config() {
  local host addr ns link
  rm -f "$dir"/{id,id.pub,known_hosts}
  ssh-keygen -q -t ed25519 -N '' -C logtest-client -f "$dir/id"
  cp "$dir/id.pub" "$dir/authorized_keys"
  : >"$dir/ssh_config"
  while read -r host addr ns link; do
    printf 'Host %s\n  HostName %s\n' "$host" "$addr" >>"$dir/ssh_config"
  done <"$dir/hosts"
  cat >>"$dir/ssh_config" <<CONF
Host *
  User root
  IdentityFile $dir/id
  IdentitiesOnly yes
  UserKnownHostsFile $dir/known_hosts
  StrictHostKeyChecking yes
  BatchMode yes
  LogLevel ERROR
  ControlMaster no
CONF
}

# Run through nsenter --net rather than ip netns exec: that one also gives the daemon a mount
# namespace of its own, which on a machine whose / is private sees no mount made after it
# started (a testbed's client mounts) and keeps the ones it saw busy after they are unmounted.
start_sshd() {
  local host=$1 addr=$2 ns=$3 pid
  mkdir -p "$dir/$host"
  rm -f "$dir/$host"/{host_key,host_key.pub}
  ssh-keygen -q -t ed25519 -N '' -C "logtest-$host" -f "$dir/$host/host_key"
  # PidFile none: the default, /run/sshd.pid, is the machine's own sshd's.
  cat >"$dir/$host/sshd_config" <<CONF
ListenAddress $addr:22
HostKey $dir/$host/host_key
AuthorizedKeysFile $dir/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PrintMotd no
PidFile none
CONF
  # Each host's own key, known in advance under both its names, so the client checks it
  # strictly and no line about a new host key ever reaches the launcher.
  printf '%s,%s %s\n' "$host" "$addr" "$(cut -d' ' -f1,2 "$dir/$host/host_key.pub")" \
    >>"$dir/known_hosts"
  local enter=(nsenter --net="/run/netns/$ns")
  [ -z "$own_mounts" ] || enter=(unshare --mount --propagation private "${enter[@]}")
  pid=$(spawn "$dir/$host/sshd.log" "${enter[@]}" "$(command -v sshd)" -D -e \
    -f "$dir/$host/sshd_config")
  record_pid "$dir" "40-sshd-$host" "$pid"
}

answers() {
  ssh -F "$dir/ssh_config" -o ConnectTimeout=5 "$1" true 2>/dev/null
}

start_hosts() {
  local host addr ns link
  # sshd needs its privilege separation directory, which the package's service script makes.
  [ -d /run/sshd ] || mkdir -m 0755 /run/sshd
  write_ssh_config
  while read -r host addr ns link; do
    start_sshd "$host" "$addr" "$ns"
  done <"$dir/hosts"
  while read -r host addr ns link; do
    wait_for 100 answers "$host" || die "no ssh to $host ($addr): $dir/$host/sshd.log"
  done <"$dir/hosts"
}

write_slurm_config() {
  local host addr ns link
  # As slurm.sh: each srun outside an allocation is a job of one CPU, so every node claims
  # more CPUs than the machine has. Every slurmd has a network of its own, so all listen on
  # Slurm's usual port, as on a real cluster.
  cat >"$dir/slurm.conf" <<CONF
ClusterName=ltcluster
SlurmctldHost=$(hostname -s)($net.1)
SlurmctldPort=$(free_port)
SlurmdPort=6818
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge.sock
StateSaveLocation=$dir/ctld
SlurmdSpoolDir=$dir/%n/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/%n/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/%n/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
SlurmdParameters=config_overrides
CONF
  while read -r host addr ns link; do
    echo "NodeName=$host NodeAddr=$addr CPUs=64 State=UNKNOWN" >>"$dir/slurm.conf"
  done <"$dir/hosts"
  echo "PartitionName=logtest Nodes=ALL Default=YES MaxTime=INFINITE State=UP" \
    >>"$dir/slurm.conf"
}

all_idle() {
  [ "$(sinfo -h -N -o %T 2>/dev/null | grep -cx idle)" -eq "$n" ]
}

# munged and slurmctld here, on the bridge's address; the slurmds reach munged through its
# socket, which is a file and so not bound to a network.
start_slurm() {
  local pid host addr ns link
  rm -rf "${dir:?}"/{ctld,munge.key}
  mkdir -p "$dir/ctld"
  mungekey --create --keyfile="$dir/munge.key"
  pid=$(spawn "$dir/munged.out" munged --foreground --force --key-file="$dir/munge.key" \
    --socket="$dir/munge.sock" --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" \
    --seed-file="$dir/munged.seed")
  record_pid "$dir" 10-munged "$pid"
  wait_for 100 test -S "$dir/munge.sock" || die "munged did not start: $dir/munged.out"
  write_slurm_config
  pid=$(spawn "$dir/slurmctld.out" slurmctld -D -c -f "$dir/slurm.conf")
  record_pid "$dir" 20-slurmctld "$pid"
  while read -r host addr ns link; do
    rm -rf "${dir:?}/$host/spool"
    mkdir -p "$dir/$host/spool"
    pid=$(spawn "$dir/$host/slurmd.out" nsenter --net="/run/netns/$ns" "$(command -v slurmd)" \
      -D -N "$host" -f "$dir/slurm.conf")
    record_pid "$dir" "30-slurmd-$host" "$pid"
  done <"$dir/hosts"
  wait_for 600 all_idle ||
    die "not all nodes idle after 60 s: $(sinfo -N 2>&1 | tr '\n' ' '); logs in $dir"
}

no_jobs() {
  [ -z "$(squeue -h 2>/dev/null)" ]
}

# Jobs still running would leave slurmstepd and their tasks behind the daemons.
cancel_jobs() {
  [ -f "$dir/slurm.conf" ] && [ -f "$dir/pids/20-slurmctld" ] || return 0
  local pid start
  read -r pid start <"$dir/pids/20-slurmctld"
  alive "$pid" "$start" || return 0
  scancel --quiet --full --user=root 2>/dev/null || true
  wait_for 100 no_jobs || true
}

# What still runs in a namespace once the recorded daemons are gone (a session's command that
# left it) is stopped: a namespace deleted with a process in it lives on, unnamed.
stop_netns() {
  local pid
  for pid in $(ip netns pids "$1" 2>/dev/null); do
    read_stat "$pid" && stop_one "$pid" "${stat_fields[19]}"
  done
  return 0
}

# A record is removed once all it names is gone; one that could not be undone stays, so the
# next teardown tries again.
cluster_teardown() {
  local line left
  [ -d "$dir" ] || return 0
  cancel_jobs
  teardown "$dir"
  rm -f "$dir"/{hosts,address,own-mounts}
  if [ -f "$dir/netns" ]; then
    left=
    while read -r line; do
      [ -e "/run/netns/$line" ] || continue
      stop_netns "$line"
      ip netns del "$line" || left=1
    done <"$dir/netns"
    [ -n "$left" ] || rm -f "$dir/netns"
  fi
  # Deleting a namespace deleted its links' ends and with them the root ends; the bridge,
  # and the root end of a link whose namespace was never made, are left.
  delete_links "$dir"
}

# still_up, and every namespace and link still there.
cluster_up() {
  local line
  still_up "$dir" "$1" || return 1
  while read -r line; do
    [ -e "/run/netns/$line" ] || return 1
  done <"$dir/netns"
  while read -r line; do
    ip link show dev "$line" >/dev/null 2>&1 || return 1
  done <"$dir/links"
}

print_up() {
  local host addr ns link
  echo "ssh -F $dir/ssh_config {host}"
  while read -r host addr ns link; do echo "$host"; done <"$dir/hosts"
}

# The root end of HOST's link.
host_link() {
  local host addr ns link
  [ -f "$dir/up" ] || die "no cluster is up in $dir"
  while read -r host addr ns link; do
    [ "$host" != "$1" ] || {
      echo "$link"
      return 0
    }
  done <"$dir/hosts"
  die "no host $1 in $dir/hosts"
}

case ${1:-} in
  up)
    { [ $# -ge 3 ] && [ $# -le 5 ]; } || usage
    n=$2 state=$3 slurm='' own_mounts=''
    for word in "${@:4}"; do
      case $word in
        slurm) slurm=slurm ;;
        own-mounts) own_mounts=own-mounts ;;
        *) usage ;;
      esac
    done
    { [[ $n =~ ^[1-9][0-9]*$ ]] && [ "$n" -le 244 ]; } || die "N must be 1 to 244, not $n"
    need_root
    need_commands ip nsenter unshare flock sha1sum ssh sshd ssh-keygen python3
    [ -z "$slurm" ] || need_commands munged mungekey slurmctld slurmd sinfo squeue scancel
    dir=$(bed_dir "$state" cluster)
    # The launcher splits the template at blanks.
    [[ $dir != *[[:space:]]* ]] || die "STATE must not contain blanks: $dir"
    prefix=lt$(sha1sum <<<"$dir" | cut -c1-6)
    export SLURM_CONF=$dir/slurm.conf
    args="$n${slurm:+ $slurm}${own_mounts:+ $own_mounts}"
    if ! cluster_up "$args"; then
      cluster_teardown
      [ -z "$own_mounts" ] || touch "$dir/own-mounts"
      make_network
      start_hosts
      [ -z "$slurm" ] || start_slurm
      echo "$args" >"$dir/up"
    fi
    print_up
    ;;
  cut | mend)
    [ $# -eq 3 ] || usage
    need_root
    [ -d "$2/cluster" ] || die "no cluster in $2"
    dir=$(bed_dir "$2" cluster)
    link=$(host_link "$3")
    if [ "$1" = cut ]; then ip link set dev "$link" down; else ip link set dev "$link" up; fi
    ;;
  flap)
    { [ $# -eq 3 ] || [ $# -eq 4 ]; } || usage
    seconds=${4:-${LOGTEST_NEMESIS_SECONDS:-3}}
    [[ $seconds =~ ^[0-9]+(\.[0-9]+)?$ ]] || usage
    need_root
    [ -d "$2/cluster" ] || die "no cluster in $2"
    dir=$(bed_dir "$2" cluster)
    link=$(host_link "$3")
    # Mended however this ends, so that a nemesis killed at the end of a run leaves no host cut.
    trap 'ip link set dev "$link" up' EXIT
    trap 'exit 1' INT TERM
    ip link set dev "$link" down
    sleep "$seconds"
    ;;
  down)
    [ $# -eq 2 ] || usage
    [ -d "$2/cluster" ] || exit 0
    dir=$(bed_dir "$2" cluster)
    export SLURM_CONF=$dir/slurm.conf
    cluster_teardown
    ;;
  *) usage ;;
esac
