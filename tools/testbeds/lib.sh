# shellcheck shell=bash
# Shared by the testbed scripts (sourced, not run). Each testbed lives in STATE/KIND and
# records there everything it makes, as it makes it, so that one teardown finds it all even
# after a bring-up that failed half way or a test that was killed:
#   pids/NN-name  "PID STARTTIME" of a process to stop; stopped in reverse order of NN
#   mounts        mount points, one a line; unmounted last first, before any process stops
#   loops         loop devices, detached once the mounts are gone
#   outside       files made outside STATE/KIND (a daemon's socket), removed at the end
#   host-mounts   "PID STARTTIME PATH" of a mount made in a simulated host's mount namespace
#                 (cluster.sh own-mounts), PID a process that lives in it; unmounted there first
#   up            the arguments of the last bring-up that completed; absent while half up
# Processes are never found by name (other tests on the machine may run the same daemons):
# daemons by these records, and the processes of a test that was killed by the log
# directory or testbed mount in their command line or open files.

die() {
  echo "${0##*/}: $*" >&2
  exit 1
}

need_root() {
  [ "$(id -u)" = 0 ] || die "needs root (mounts and daemons)"
}

need_commands() {
  local c
  for c; do
    command -v "$c" >/dev/null || die "$c is missing: run tools/testbeds/install.sh as root"
  done
}

# The testbed's directory, absolute and made if missing.
bed_dir() {
  mkdir -p "$1/$2"
  (cd "$1/$2" && pwd)
}

# Fields of /proc/PID/stat from the state on (field 3), as words in the array stat_fields;
# fails when the process is gone. The command name may hold blanks, so it is cut off first.
read_stat() {
  local line
  read -r line 2>/dev/null <"/proc/$1/stat" || return 1
  read -r -a stat_fields <<<"${line##*) }"
}

# A recorded process is ours while its PID has the start time we recorded, so a PID reused
# after ours ended is never signalled. A zombie has ended: its parent (often init) reaps it.
alive() {
  read_stat "$1" || return 1
  [ "${stat_fields[0]}" != Z ] && [ "${stat_fields[19]}" = "$2" ]
}

record_pid() {
  local dir=$1 name=$2 pid=$3
  read_stat "$pid" || die "$name (pid $pid) ended at once; see the logs in $dir"
  mkdir -p "$dir/pids"
  echo "$pid ${stat_fields[19]}" >"$dir/pids/$name"
}

# Closes every descriptor above 2. A daemon that kept one of ours open (ctest's output pipe,
# a caller's $(...)) would keep that reader waiting for as long as the daemon lives.
close_fds() {
  local path fd
  for path in /proc/self/fd/*; do
    fd=${path##*/}
    [ "$fd" -gt 2 ] && exec {fd}>&-
  done
  return 0
}

# The words to exec for a command, in the array `words`: enter_host, a function, becomes the
# nsenter it stands for.
command_words() {
  words=("$@")
  [ "$1" != enter_host ] ||
    words=(nsenter --net="/run/netns/$2" --mount="/proc/$3/ns/mnt" "${@:4}")
}

# Runs a daemon that stays in the foreground, in a session of its own, and prints its PID.
spawn() {
  local log=$1 words
  shift
  command_words "$@"
  (
    close_fds
    exec setsid "${words[@]}" </dev/null >>"$log" 2>&1
  ) &
  echo $!
}

# Runs a daemon that forks into the background itself; returns when its first process ends.
run_daemon() {
  local log=$1 words
  shift
  command_words "$@"
  (
    close_fds
    exec "${words[@]}" </dev/null >>"$log" 2>&1
  )
}

# Waits up to $1 tenths of a second for a command to succeed.
wait_for() {
  local tenths=$1 i
  shift
  for ((i = 0; i < tenths; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  "$@"
}

is_mounted() {
  findmnt -rn --mountpoint "$1" >/dev/null
}

# A TCP port on 127.0.0.1 that nothing listens on now.
free_port() {
  python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

port_free() {
  ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

port_taken() {
  ! port_free "$1"
}

# The first BASE.X.0/24 (BASE: 10.213), from one that the testbed's PREFIX picks on, that no
# address or route of the machine lies in (a default route covers every network and does not
# count).
free_net() {
  local base=$1 start=$((16#${2:2:2})) i x routes
  for ((i = 0; i < 254; i++)); do
    x=$(((start + i) % 254 + 1))
    [ -z "$(ip -4 -o addr show to "$base.$x.0/24")" ] || continue
    routes=$(ip -4 route show match "$base.$x.0/24" | grep -v '^default' || true)
    [ -z "$routes" ] || continue
    echo "$base.$x"
    return 0
  done
  die "no $base.X.0/24 is free on this machine"
}

# PIDs of the live descendants of a process, deepest last.
descendants() {
  local pid ppid stat
  for stat in /proc/[0-9]*/stat; do
    pid=${stat#/proc/}
    pid=${pid%/stat}
    read_stat "$pid" || continue
    ppid=${stat_fields[1]}
    if [ "$ppid" = "$1" ]; then
      echo "$pid"
      descendants "$pid"
    fi
  done
}

gone() {
  ! alive "$@"
}

stop_one() {
  local pid=$1 start=$2
  alive "$pid" "$start" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  wait_for 50 gone "$pid" "$start" && return 0
  kill -KILL "$pid" 2>/dev/null || true
  wait_for 50 gone "$pid" "$start" || echo "${0##*/}: pid $pid outlived SIGKILL" >&2
}

# A process and what it started and still waits for (an sshd's sessions and the commands in
# them). The descendants are noted first, while the tree still leads to them, and stopped
# after the process, which may stop them itself (slurmctld its script daemon).
stop_tree() {
  local pid=$1 start=$2 child children=()
  alive "$pid" "$start" || return 0
  for child in $(descendants "$pid"); do
    read_stat "$child" && children+=("$child ${stat_fields[19]}")
  done
  stop_one "$pid" "$start"
  for child in "${children[@]}"; do
    # shellcheck disable=SC2086 # "PID STARTTIME"
    stop_one $child
  done
}

# PIDs of the processes whose working directory or an open file lies under a mount point.
mount_users() {
  find /proc/[0-9]*/cwd /proc/[0-9]*/fd -maxdepth 1 \( -lname "$1" -o -lname "$1/*" \) \
    2>/dev/null | cut -d/ -f3 | sort -u
}

no_mount_users() {
  [ -z "$(mount_users "$1")" ]
}

# A test's processes still at work on a mount (its test was killed) get the time to end on
# the StopTest that down.sh raised, then are stopped: a lazy unmount alone would leave them
# running on a detached file system.
stop_mount_users() {
  local pid
  wait_for 50 no_mount_users "$1" && return 0
  for pid in $(mount_users "$1"); do
    read_stat "$pid" && stop_one "$pid" "${stat_fields[19]}"
  done
}

unmount() {
  is_mounted "$1" || return 0
  stop_mount_users "$1"
  umount "$1" 2>/dev/null || umount -l "$1"
}

# PIDs of the processes whose command line holds one of the lines of file $1. The patterns
# come in a file so that grep does not find itself.
processes_naming() {
  grep -laF -f "$1" /proc/[0-9]*/cmdline 2>/dev/null | cut -d/ -f3 | sort -u || true
}

none_naming() {
  [ -z "$(processes_naming "$1")" ]
}

# A test that was killed leaves its writers and readers (and the ssh or srun carrying them)
# running. StopTest in each log directory ends them the way the test would have; what still
# names a log directory or a path under a testbed's mount ten seconds later is stopped. A
# reader waiting for a log keeps nothing open, so only its command line shows it.
stop_test_processes() {
  local state=$1 info pid patterns
  patterns=$(mktemp)
  while read -r info; do
    touch "${info%/logInfo}/StopTest" 2>/dev/null || true
    echo "${info%/logInfo}" >>"$patterns"
  done < <(find "$state" -maxdepth 6 -name logInfo -type f 2>/dev/null)
  find "$state" -maxdepth 2 -name mounts -type f -exec sed 's|$|/|' {} + >>"$patterns"
  if [ -s "$patterns" ] && ! wait_for 100 none_naming "$patterns"; then
    for pid in $(processes_naming "$patterns"); do
      read_stat "$pid" && stop_one "$pid" "${stat_fields[19]}"
    done
  fi
  rm -f "$patterns"
}

# The hosts of the cluster up in STATE with mount namespaces of their own, one a line:
# "NAME ADDRESS NETNS NSPID", NSPID the host's sshd, which lives in its mount namespace.
own_mount_hosts() {
  local cluster=$1/cluster host addr ns pid start
  { [ -f "$cluster/up" ] && [ -f "$cluster/own-mounts" ]; } ||
    die "no cluster with own-mounts is up in $1 (cluster.sh up N $1 own-mounts)"
  while read -r host addr ns _; do
    read -r pid start <"$cluster/pids/40-sshd-$host"
    alive "$pid" "$start" || die "the sshd of $host is gone: cluster.sh up again"
    echo "$host $addr $ns $pid"
  done <"$cluster/hosts"
}

# The bridge's address, which every host and this machine reach: servers listen on it.
cluster_address() {
  cat "$1/cluster/address" 2>/dev/null || die "no cluster is up in $1"
}

# Runs a command in a host's network and mount namespaces: a client started so is that host's
# alone, and its traffic goes through the host's link, so a cut cuts it off too. spawn and
# run_daemon take it as their command's first word too.
enter_host() {
  local ns=$1 pid=$2
  shift 2
  nsenter --net="/run/netns/$ns" --mount="/proc/$pid/ns/mnt" "$@"
}

host_mounted() {
  nsenter --mount="/proc/$1/ns/mnt" findmnt -rn --mountpoint "$2" >/dev/null 2>&1
}

record_host_mount() {
  read_stat "$2" || die "no process $2 to hold a mount namespace"
  echo "$2 ${stat_fields[19]} $3" >>"$1/host-mounts"
}

# A mount in a host's namespace goes while the namespace is there; once its last process is
# gone the kernel has taken the mount with it.
unmount_host_mounts() {
  local dir=$1 pid start path
  [ -f "$dir/host-mounts" ] || return 0
  while read -r pid start path; do
    if ! alive "$pid" "$start" || ! host_mounted "$pid" "$path"; then continue; fi
    nsenter --mount="/proc/$pid/ns/mnt" umount "$path" 2>/dev/null ||
      nsenter --mount="/proc/$pid/ns/mnt" umount -l "$path" || true
  done < <(tac "$dir/host-mounts")
  rm -f "$dir/host-mounts"
}

# Readies MOUNT for a client of the testbed in DIR, here or, with NETNS and NSPID, in a
# simulated host, and records it for the teardown. The words that start the client there go
# into the caller's array `enter`.
client_mount_point() {
  local dir=$1 mnt=$2 ns=${3:-} nspid=${4:-}
  mkdir -p "$mnt"
  enter=()
  if [ -n "$ns" ]; then
    record_host_mount "$dir" "$nspid" "$mnt"
    # shellcheck disable=SC2034 # the caller's
    enter=(enter_host "$ns" "$nspid")
  else
    echo "$mnt" >>"$dir/mounts"
  fi
}

# Waits up to TENTHS tenths of a second for MOUNT to be mounted here or, with NSPID, in the
# host whose mount namespace NSPID lives in.
wait_mounted() {
  local tenths=$1 mnt=$2 nspid=${3:-}
  if [ -n "$nspid" ]; then
    wait_for "$tenths" host_mounted "$nspid" "$mnt"
  else
    wait_for "$tenths" is_mounted "$mnt"
  fi
}

# Deletes the links recorded in DIR/links; the record goes once none is left.
delete_links() {
  local dir=$1 line left=''
  [ -f "$dir/links" ] || return 0
  while read -r line; do
    ip link show dev "$line" >/dev/null 2>&1 || continue
    ip link del dev "$line" || left=1
  done <"$dir/links"
  [ -n "$left" ] || rm -f "$dir/links"
}

# A file system testbed's clients, each through its own mount_client I MOUNT [NETNS NSPID]:
# COUNT of them here, at DIR/mnt/1 on; or, COUNT being "hosts", one in each host of the
# cluster up in STATE and one here, all at DIR/mnt/shared.
mount_clients() {
  local dir=$1 state=$2 count=$3 i name addr ns nspid
  if [ "$count" != hosts ]; then
    for ((i = 1; i <= count; i++)); do mount_client "$i" "$dir/mnt/$i"; done
    return
  fi
  i=0
  while read -r name addr ns nspid; do
    mount_client "$((++i))" "$dir/mnt/shared" "$ns" "$nspid"
  done < <(own_mount_hosts "$state")
  mount_client 0 "$dir/mnt/shared"
}

# Undoes everything recorded in a testbed's directory; the files it made stay for inspection.
teardown() {
  local dir=$1 line pid start record
  [ -d "$dir" ] || return 0
  rm -f "$dir/up"
  unmount_host_mounts "$dir"
  if [ -f "$dir/mounts" ]; then
    tac "$dir/mounts" | while read -r line; do unmount "$line"; done
    rm -f "$dir/mounts"
  fi
  if [ -f "$dir/loops" ]; then
    while read -r line; do
      losetup -d "$line" 2>/dev/null || true
    done <"$dir/loops"
    rm -f "$dir/loops"
  fi
  if [ -d "$dir/pids" ]; then
    find "$dir/pids" -type f | sort -r | while read -r record; do
      read -r pid start <"$record"
      stop_tree "$pid" "$start"
      rm -f "$record"
    done
  fi
  if [ -f "$dir/outside" ]; then
    while read -r line; do rm -f "$line"; done <"$dir/outside"
    rm -f "$dir/outside"
  fi
}

# True when the last bring-up with these arguments completed and all it made is still there.
still_up() {
  local dir=$1 args=$2 record pid start line
  [ "$(cat "$dir/up" 2>/dev/null)" = "$args" ] || return 1
  for record in "$dir"/pids/*; do
    [ -f "$record" ] || continue
    read -r pid start <"$record"
    alive "$pid" "$start" || return 1
  done
  if [ -f "$dir/mounts" ]; then
    while read -r line; do is_mounted "$line" || return 1; done <"$dir/mounts"
  fi
  if [ -f "$dir/host-mounts" ]; then
    while read -r pid start line; do
      alive "$pid" "$start" && host_mounted "$pid" "$line" || return 1
    done <"$dir/host-mounts"
  fi
}
