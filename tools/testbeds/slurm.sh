#!/usr/bin/env bash
# A one-node Slurm cluster on this machine: munged, slurmctld and slurmd started by hand on
# ports of their own, with a configuration, a munge key and all state in STATE/slurm.
#   slurm.sh up STATE      prints the node's name; Slurm's commands then need
#                          SLURM_CONF=STATE/slurm/slurm.conf
#   slurm.sh down STATE    cancels every job of the cluster, then stops its daemons
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "$0")/lib.sh"

usage() {
  echo "usage: ${0##*/} up|down STATE" >&2
  exit 2
}

write_config() {
  # Each srun outside an allocation is a job of one CPU, so the node claims more CPUs than the
  # machine has (config_overrides): a test's writers and readers all run at once.
  cat >"$dir/slurm.conf" <<CONF
ClusterName=logtest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge.sock
StateSaveLocation=$dir/ctld
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
SlurmdParameters=config_overrides
NodeName=$node NodeAddr=127.0.0.1 CPUs=64 State=UNKNOWN
PartitionName=logtest Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
}

node_idle() {
  [ "$(sinfo -h -N -n "$node" -o %T 2>/dev/null)" = idle ]
}

start_cluster() {
  local pid
  rm -rf "${dir:?}"/{ctld,spool,munge.key}
  mkdir -p "$dir/ctld" "$dir/spool"
  mungekey --create --keyfile="$dir/munge.key"
  # --force: munged refuses a socket whose directories are not open to all (mktemp's are not);
  # only root uses this one.
  pid=$(spawn "$dir/munged.out" munged --foreground --force --key-file="$dir/munge.key" \
    --socket="$dir/munge.sock" --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" \
    --seed-file="$dir/munged.seed")
  record_pid "$dir" 10-munged "$pid"
  wait_for 100 test -S "$dir/munge.sock" || die "munged did not start: $dir/munged.out"
  write_config
  pid=$(spawn "$dir/slurmctld.out" slurmctld -D -c -f "$dir/slurm.conf")
  record_pid "$dir" 20-slurmctld "$pid"
  pid=$(spawn "$dir/slurmd.out" slurmd -D -N "$node" -f "$dir/slurm.conf")
  record_pid "$dir" 30-slurmd "$pid"
  wait_for 600 node_idle ||
    die "node $node not idle after 60 s: $(sinfo -N 2>&1 | tail -1); logs in $dir"
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

[ $# -eq 2 ] || usage
command=$1 state=$2
node=$(hostname -s)
case $command in
  up)
    need_root
    need_commands munged mungekey slurmctld slurmd sinfo python3
    dir=$(bed_dir "$state" slurm)
    export SLURM_CONF=$dir/slurm.conf
    if ! still_up "$dir" "$node"; then
      cancel_jobs
      teardown "$dir"
      start_cluster
      echo "$node" >"$dir/up"
    fi
    echo "$node"
    ;;
  down)
    if [ -d "$state/slurm" ]; then
      dir=$(bed_dir "$state" slurm)
      export SLURM_CONF=$dir/slurm.conf
      cancel_jobs
      teardown "$dir"
    fi
    ;;
  *) usage ;;
esac
