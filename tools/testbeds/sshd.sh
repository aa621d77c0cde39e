#!/usr/bin/env bash
# An ssh server on 127.0.0.1 on a port of its own, letting root in with a key made for it, and
# the client configuration that goes with it: real remote execution on this machine under
# the host names 127.0.0.1 and localhost. In STATE/sshd.
#   sshd.sh up STATE      prints the --rsh template: ssh -F STATE/sshd/ssh_config {host}
#   sshd.sh down STATE    stops the server and every session still open in it
# One master connection per host name carries every ssh of a test, so that the processes
# of a run start within moments of each other: a reader that connects only after the
# writers have filled ten logs finds log.1 pruned and waits for it in vain.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "$0")/lib.sh"

usage() {
  echo "usage: ${0##*/} up|down STATE" >&2
  exit 2
}

start_sshd() {
  local port pid
  rm -f "$dir"/{host_key,host_key.pub,id,id.pub}
  ssh-keygen -q -t ed25519 -N '' -C logtest-host -f "$dir/host_key"
  ssh-keygen -q -t ed25519 -N '' -C logtest-client -f "$dir/id"
  cp "$dir/id.pub" "$dir/authorized_keys"
  port=$(free_port)
  cat >"$dir/sshd_config" <<CONF
ListenAddress 127.0.0.1:$port
HostKey $dir/host_key
AuthorizedKeysFile $dir/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PrintMotd no
MaxStartups 100
MaxSessions 100
CONF
  # The known host key under both names, so that the client checks it strictly and no line
  # about a new host key ever reaches the launcher.
  printf '[127.0.0.1]:%s,[localhost]:%s %s\n' "$port" "$port" "$(cat "$dir/host_key.pub")" \
    >"$dir/known_hosts"
  cat >"$dir/ssh_config" <<CONF
Host 127.0.0.1 localhost
  Port $port
  User root
  IdentityFile $dir/id
  IdentitiesOnly yes
  UserKnownHostsFile $dir/known_hosts
  StrictHostKeyChecking yes
  BatchMode yes
  LogLevel ERROR
  ControlMaster no
  ControlPath $dir/mux-%n
CONF
  # sshd needs its privilege separation directory, which the package's service script makes.
  [ -d /run/sshd ] || mkdir -m 0755 /run/sshd
  pid=$(spawn "$dir/sshd.log" "$(command -v sshd)" -D -e -f "$dir/sshd_config")
  record_pid "$dir" 10-sshd "$pid"
  wait_for 100 port_taken "$port" || die "sshd did not listen on $port: $dir/sshd.log"
}

# A master started here, in the foreground, is a process of the testbed like any other;
# ControlPersist would fork one that nothing records.
start_master() {
  local host=$1 pid
  pid=$(spawn "$dir/master-$host.log" ssh -F "$dir/ssh_config" -M -N -o ControlPersist=no "$host")
  record_pid "$dir" "20-master-$host" "$pid"
  wait_for 100 ssh -F "$dir/ssh_config" -O check "$host" 2>/dev/null ||
    die "no ssh master connection to $host: $dir/master-$host.log"
}

[ $# -eq 2 ] || usage
command=$1 state=$2
case $command in
  up)
    need_root
    need_commands ssh ssh-keygen sshd python3
    dir=$(bed_dir "$state" sshd)
    # The launcher splits the template at blanks.
    [[ $dir != *[[:space:]]* ]] || die "STATE must not contain blanks: $dir"
    if ! still_up "$dir" up; then
      teardown "$dir"
      start_sshd
      start_master 127.0.0.1
      start_master localhost
      echo up >"$dir/up"
    fi
    echo "ssh -F $dir/ssh_config {host}"
    ;;
  down)
    teardown "$state/sshd"
    ;;
  *) usage ;;
esac
