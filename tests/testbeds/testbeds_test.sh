#!/usr/bin/env bash
# logtest-run on real shared file systems and through real remote shells, brought up by
# tools/testbeds/ in STATE_ROOT/CASE. One case per call:
#   STATE_ROOT=/tmp/beds LOGTEST_RUN=build/logtest-run tests/testbeds/testbeds_test.sh CASE
# Needs root and the packages of tools/testbeds/install.sh; skipped (77) when not root.
# A failing case keeps its state directory (logs of every daemon and the log directory).
set -euo pipefail

: "${LOGTEST_RUN:?path of logtest-run}" "${STATE_ROOT:?directory for the testbeds}"
case=${1:?which case}
beds=$(cd "$(dirname "$0")/../../tools/testbeds" && pwd)
if [ "$(id -u)" != 0 ]; then
  echo "skipped: needs root"
  exit 77
fi
# shellcheck source=tests/support/case.sh
. "$(dirname "$0")/../support/case.sh"
# shellcheck source=tools/testbeds/lib.sh
. "$beds/lib.sh"
# The state directory has a fixed name, not case_begin's fresh one, so that down.sh finds
# the testbeds a killed run left up; case.sh's checks use it as their work directory.
state=$STATE_ROOT/$case
work=$state
logs=

# A run killed before its teardown (ctest's timeout) left its testbeds up: down first.
"$beds/down.sh" "$state"
rm -rf "$state"
mkdir -p "$state"

# down.sh also raises StopTest in the log directory for any process of the test still running.
cleanup() {
  local status=$?
  "$beds/down.sh" "$state" || status=1
  if [ "$status" -eq 0 ] && [ -z "${KEEP_WORK:-}" ]; then
    rm -rf "$state"
  else
    echo "kept $state for inspection" >&2
  fi
  exit "$status"
}
trap cleanup EXIT

# launch with the JSON summary expect_json reads; the verdict line shows in ctest's log.
launch_json() {
  launch --quiet --json "$state/summary.json" "$@"
  tail -1 "$state/out"
}

expect_pass() {
  [ "$status" -eq 0 ] || fail "$1 should PASS; logtest-run exited with $status"
  expect_json "assert d['verdict'] == 'PASS' and d['totals']['logs_verified'] > 0, d['totals']"
}

# A configuration known to break the log must fail the run, and with a diagnostic: a FAIL for
# a process that merely ended says nothing about the file system.
expect_fail() {
  [ "$status" -ne 0 ] || fail "$1 should FAIL but PASSED for the whole run: the fault it \
shows was not found (a slower machine, or a changed file system?)"
  [ "$status" -eq 1 ] || fail "$1: logtest-run exited with $status, expected a FAIL (1)"
  expect_json "assert d['diagnostics']['count'] > 0, 'a FAIL without a diagnostic line'
first = d['diagnostics']['first'][0]
print('first diagnostic after %.1f s: %s: %s' % (first['at_s'], first['process'], first['line']))"
}

# Processes whose command line names the log directory: the roles, and an ssh carrying one.
expect_nothing_left() {
  printf '%s\n' "$logs" >"$state/pattern"
  wait_for $((${1:-10} * 10)) none_naming "$state/pattern" && return 0
  ps -o pid,ppid,args -p "$(processes_naming "$state/pattern" | paste -sd,)" >&2 || true
  fail "processes of the test still run ${1:-10} s after $2"
}

# Mount points of a two-client testbed; the log directory made through the first.
two_mounts() {
  mapfile -t mounts < <("$beds/$1.sh" up "$state" "${@:2}")
  [ ${#mounts[@]} -eq 2 ] || fail "$1.sh up gave ${#mounts[@]} mount points, not 2"
  logs=${mounts[0]}/logtest
  mkdir "$logs"
}

case_gluster_coherent() {
  two_mounts gluster coherent 2
  launch_json -t 60 -w 4 -r 4 "$logs" "${mounts[1]}/logtest"
  expect_pass "GlusterFS with caching off and direct I/O"
  expect_nothing_left 10 "the run"
}

case_gluster_stock() {
  two_mounts gluster stock 2
  launch_json -t 30 -w 4 -r 4 "$logs" "${mounts[1]}/logtest"
  expect_fail "GlusterFS with its default caching"
}

case_gluster_page_cache() {
  two_mounts gluster page-cache 2
  launch_json -t 30 -w 4 -r 4 "$logs" "${mounts[1]}/logtest"
  expect_fail "GlusterFS with caching off but the page cache in use"
}

# MooseFS with direct I/O and the client's caches off. Its defaults pass most runs but not all:
# now and then a writer is given a size of last_log from before the last append (a stale
# attribute cache), so they are no case that must pass.
case_moosefs_direct() {
  two_mounts moosefs direct 2
  launch_json -t 30 -w 4 -r 4 "$logs" "${mounts[1]}/logtest"
  expect_pass "MooseFS with direct I/O and no client caches"
  expect_nothing_left 10 "the run"
}

# The only chunkserver stopped and started again during the run: the clients wait for it and
# lose nothing.
case_moosefs_nemesis() {
  two_mounts moosefs direct 2
  launch_json -t 30 -w 4 -r 4 --nemesis "$beds/moosefs.sh restart $state chunkserver" \
    --nemesis-every 10 "$logs" "${mounts[1]}/logtest"
  expect_pass "MooseFS with its chunkserver restarted every 10 s"
  expect_json "actions = d['nemesis']['actions']
assert len(actions) >= 2 and all(a['status'] == 0 for a in actions), d['nemesis']"
}

# ceph-fuse's defaults: the second client's kernel page cache keeps a stale logInfo, and a
# writer there rolls the log over to a name already taken, seen after 15 to 34 s; the run
# ends at the first defect, so the long duration costs only when the fault hides. A writer's
# defect is explained like a reader's.
case_cephfs_default() {
  two_mounts cephfs default 2
  launch_json -t 120 -w 4 -r 4 "$logs" "${mounts[1]}/logtest"
  expect_fail "CephFS with ceph-fuse's default caching"
  expect_json "e = d['explanation']
assert e and e['cause'], ('no likely cause', d['diagnostics']['first'][:2])
print('likely cause:', e['cause'])"
}

case_cephfs_nocache() {
  two_mounts cephfs nocache 2
  launch_json -t 30 -w 4 -r 4 "$logs" "${mounts[1]}/logtest"
  expect_pass "CephFS with ceph-fuse's object cacher and the page cache off"
  expect_nothing_left 10 "the run"
}

case_bindfs_forward() {
  two_mounts bindfs forward
  launch_json -t 30 -w 4 -r 4 "$logs" "${mounts[1]}/logtest"
  expect_pass "bindfs with lock forwarding"
}

# The preflight refuses mounts whose locks do not exclude each other; forced past it, the
# run shows what such locks do to the log.
case_bindfs_local() {
  two_mounts bindfs local
  launch_json -t 30 -w 4 -r 4 "$logs" "${mounts[1]}/logtest"
  if [ "$status" -ne 2 ] || ! grep -q "does not exclude flock through" "$state/out"; then
    fail "the preflight did not refuse locks local to each mount (exit status $status)"
  fi
  launch_json -t 30 -w 4 -r 4 --no-preflight "$logs" "${mounts[1]}/logtest"
  expect_fail "bindfs keeping each mount's locks to itself"
}

ssh_up() {
  rsh=$("$beds/sshd.sh" up "$state")
  logs=$state/logs
  mkdir "$logs"
}

case_ssh_two_names() {
  ssh_up
  launch_json -t 30 --hosts 127.0.0.1,localhost --rsh "$rsh" "$logs"
  expect_pass "ssh to 127.0.0.1 and localhost"
  expect_json "
hosts = [p['host'] for p in d['processes']]
assert hosts == ['127.0.0.1', 'localhost'] * 3, hosts
assert [h['name'] for h in d['hosts']] == ['127.0.0.1', 'localhost'], d['hosts']
assert all(h['command'][:3] == ['ssh', '-F', sys.argv[2]] for h in d['hosts'])" \
    "$state/sshd/ssh_config"
  expect_nothing_left 10 "the run"
}

# The launcher's guard process raises StopTest when the launcher dies, so the remote roles,
# whose ssh clients die with it, stop at their next look at the marker.
case_ssh_launcher_killed() {
  ssh_up
  "$LOGTEST_RUN" --quiet -t 0 --hosts 127.0.0.1,localhost --rsh "$rsh" "$logs" \
    >"$state/out" 2>&1 &
  local pid=$!
  wait_for 300 test -e "$logs/log.2" || fail "no log.2 within 30 s"
  kill -KILL "$pid"
  wait "$pid" || true
  expect_nothing_left 30 "a SIGKILL of the launcher"
  [ -e "$logs/StopTest" ] || fail "no StopTest after the launcher was killed"
}

slurm_run() {
  local node
  node=$("$beds/slurm.sh" up "$state")
  export SLURM_CONF=$state/slurm/slurm.conf
  logs=$state/logs
  mkdir "$logs"
  launch_json -t 30 --hosts "$node" --rsh "$1" "$logs"
  expect_pass "srun on a one-node Slurm cluster"
  expect_json "assert {p['host'] for p in d['processes']} == {sys.argv[2]}" "$node"
  expect_nothing_left 10 "the run"
}

# The template as the documentation gives it. srun reports a writer's exit status 1 at StopTest
# ("srun: error: NODE: task 0: Exited with exit code 1"), which is no diagnostic.
case_slurm() {
  slurm_run 'srun -N1 -n1 --overlap -w {host} sh -c'
}

cluster_ssh() {
  ssh -F "$state/cluster/ssh_config" -o ConnectTimeout=3 "$1" true 2>/dev/null
}

# The cluster's namespaces, with their inodes (a deleted one lives on, nameless, while a
# process is in it), links and daemons, from its records, which down removes.
cluster_records() {
  local ns
  cp "$state/cluster/netns" "$state/netns"
  cp "$state/cluster/links" "$state/links"
  while read -r ns; do
    stat -L -c %i "/run/netns/$ns"
  done <"$state/netns" >"$state/netns-inodes"
  cat "$state/cluster/pids"/* >"$state/pids"
}

# Three hosts: each answers ssh, a second up changes nothing, a cut host stops answering while
# the others still do, and down leaves no namespace, link or process of the cluster.
case_cluster_up_down() {
  local out host ns ino link pid start
  out=$("$beds/cluster.sh" up 3 "$state")
  [ "$out" = "$(printf 'ssh -F %s {host}\nh1\nh2\nh3' "$state/cluster/ssh_config")" ] ||
    fail "cluster.sh up 3 printed: $out"
  for host in h1 h2 h3; do
    cluster_ssh "$host" || fail "no ssh to $host"
  done
  cluster_records
  [ "$("$beds/cluster.sh" up 3 "$state")" = "$out" ] || fail "a second up printed otherwise"
  cat "$state/cluster/pids"/* | cmp -s - "$state/pids" || fail "a second up restarted daemons"
  "$beds/cluster.sh" cut "$state" h2
  ! cluster_ssh h2 || fail "h2 answers ssh after its cut"
  cluster_ssh h1 || fail "h1 does not answer ssh while h2 is cut"
  "$beds/cluster.sh" mend "$state" h2
  wait_for 50 cluster_ssh h2 || fail "h2 does not answer ssh after its mend"
  "$beds/cluster.sh" down "$state"
  while read -r ns; do
    [ ! -e "/run/netns/$ns" ] || fail "namespace $ns left after down"
  done <"$state/netns"
  while read -r ino; do
    [ -z "$(find /proc/[0-9]*/ns/net -lname "net:\[$ino\]" 2>/dev/null)" ] ||
      fail "processes still in a namespace of the cluster after down"
  done <"$state/netns-inodes"
  while read -r link; do
    ! ip link show dev "$link" >/dev/null 2>&1 || fail "link $link left after down"
  done <"$state/links"
  while read -r pid start; do
    gone "$pid" "$start" || fail "daemon $pid left after down"
  done <"$state/pids"
}

case_matrix_local() {
  set +e
  LOGTEST_RUN=$LOGTEST_RUN "$beds/matrix.sh" -t 30 -s "$state" tmpfs ext4 | tee "$state/table"
  status=${PIPESTATUS[0]}
  set -e
  [ "$status" -eq 0 ] || fail "matrix.sh exited with $status"
  [ "$(grep -cE '^(tmpfs|ext4) +PASS ' "$state/table")" -eq 2 ] || fail "no PASS row for each"
}

# The hosts of a simulated cluster, each with a stock sshd; $hosts is their comma list.
cluster_up() {
  local out
  out=$("$beds/cluster.sh" up "$1" "$state" "${@:2}")
  rsh=$(head -1 <<<"$out")
  hosts=$(tail -n +2 <<<"$out" | paste -sd,)
  logs=$state/logs
  mkdir "$logs"
}

# Twelve processes on each of eight hosts: one connection per host, whatever the processes.
case_cluster_pass() {
  cluster_up 8
  launch_json -t 20 -w 64 -r 32 --hosts "$hosts" --rsh "$rsh" "$logs"
  expect_pass "8 hosts with 12 processes each"
  expect_json "
assert len(d['hosts']) == 8 and not any(h['lost'] for h in d['hosts']), d['hosts']
assert all(p['cpu_user_s'] is not None and p['max_rss_kb'] > 0 for p in d['processes'])
# Every host looked at what was left, and every writer's last record was found.
assert sorted(l['host'] for l in d['last_look']) == sorted(h['name'] for h in d['hosts'])
assert all(l['logs_checked'] > 0 and l['defect'] is None for l in d['last_look']), d['last_look']
assert all(p['last_record_written'] is not None for p in d['processes'] if p['role'] == 'writer')"
  expect_nothing_left 10 "the run"
}

# A host whose logtest is missing ends the run before any writer starts, and is named.
case_cluster_host_fails() {
  cluster_up 3
  local logtest
  logtest=$(dirname "$LOGTEST_RUN")/logtest
  # h2 is given a logtest that is not there.
  cat >"$state/rsh" <<'EOF'
#!/usr/bin/env bash
cmd=$2
[ "$1" = h2 ] && cmd=$(printf '%s' "$cmd" | sed "s#'@LOGTEST@'#'@STATE@/missing'#")
exec ssh -F @STATE@/cluster/ssh_config "$1" "$cmd"
EOF
  sed -i "s#@LOGTEST@#$logtest#g; s#@STATE@#$state#g" "$state/rsh"
  chmod +x "$state/rsh"
  launch --quiet -t 20 --logtest "$logtest" --hosts "$hosts" --rsh "$state/rsh {host}" "$logs"
  [ "$status" -eq 4 ] || fail "exit status $status, expected 4"
  grep -q "^NO VERDICT: h2 could not start: $logtest is not an executable there" "$state/out" ||
    fail "no NO VERDICT naming h2"
  [ ! -e "$logs/last_log" ] || fail "a writer ran"
  expect_nothing_left 10 "a refused start"
}

# A host cut off mid-run stops the run with no verdict, and nothing of the test runs on after
# the grace time: the agents there end their processes once they hear nothing.
case_cluster_link_cut() {
  cluster_up 3
  "$LOGTEST_RUN" --quiet -t 120 --grace 3 -w 6 -r 3 --hosts "$hosts" --rsh "$rsh" \
    --json "$state/summary.json" "$logs" >"$state/out" 2>&1 &
  local pid=$!
  wait_for 300 test -e "$logs/log.3" || fail "no log.3 within 30 s"
  "$beds/cluster.sh" cut "$state" h2
  set +e
  wait "$pid"
  status=$?
  set -e
  "$beds/cluster.sh" mend "$state" h2
  [ "$status" -eq 4 ] || fail "exit status $status, expected 4"
  grep -q "^NO VERDICT: h2 was lost at " "$state/out" || fail "no NO VERDICT naming h2"
  expect_json "assert [h['name'] for h in d['hosts'] if h['lost']] == ['h2'], d['hosts']"
  expect_nothing_left 20 "h2 was cut off"
}

# However the launcher dies, every agent raises StopTest and ends its processes.
case_cluster_launcher_killed() {
  cluster_up 3
  "$LOGTEST_RUN" --quiet -t 0 --grace 3 -w 6 -r 3 --hosts "$hosts" --rsh "$rsh" "$logs" \
    >"$state/out" 2>&1 &
  local pid=$!
  wait_for 300 test -e "$logs/log.2" || fail "no log.2 within 30 s"
  kill -KILL "$pid"
  wait "$pid" || true
  expect_nothing_left 15 "a SIGKILL of the launcher"
  [ -e "$logs/StopTest" ] || fail "no StopTest after the launcher was killed"
}

# A writer stopped on a remote host while it holds the lock: the stall names it and its host.
case_cluster_stall() {
  cluster_up 2
  "$LOGTEST_RUN" --quiet -t 60 --stall-timeout 3 --grace 2 -w 2 -r 1 --hosts "$hosts" \
    --rsh "$rsh" "$logs" >"$state/out" 2>&1 &
  local launcher=$! holder
  wait_for 300 test -s "$logs/last_log" || fail "no writer appended"
  holder=$(python3 "$(dirname "$0")/../support/stop_lock_holder.py" "$logs/logInfo")
  set +e
  wait "$launcher"
  status=$?
  set -e
  kill -CONT "$holder" 2>/dev/null || true
  [ "$status" -eq 1 ] || fail "exit status $status, expected 1"
  grep -qE "no byte appended for 3 s; writer [12] \(PID $holder\) on h[12] holds the logInfo lock and is stopped" \
    "$state/out" || fail "the stall does not name the remote holder"
}

# Slurm across the cluster's hosts, one slurmd each: srun starts every agent in one job step.
case_cluster_slurm() {
  "$beds/cluster.sh" up 3 "$state" slurm >/dev/null
  export SLURM_CONF=$state/cluster/slurm.conf
  logs=$state/logs
  mkdir "$logs"
  launch_json -t 20 -w 6 -r 3 --hosts h1,h2,h3 --rsh 'srun -N1 -n1 --overlap -w {host} sh -c' "$logs"
  expect_pass "srun across three hosts"
  expect_json "
assert [h['command'][:3] for h in d['hosts']] == [['srun', '-N3', '-n3']] * 3, d['hosts']
assert [p['host'] for p in d['processes']] == ['h1', 'h2', 'h3'] * 3"
  expect_nothing_left 10 "the run"
}

# Every host a client of its own: GlusterFS mounted once in each host's mount namespace. A link
# cut for 3 s and the page cache dropped, twice, during a run the clients keep coherent.
case_gluster_hosts() {
  local path
  cluster_up 2 own-mounts
  path=$("$beds/gluster.sh" up "$state" coherent hosts)
  [ "$(stat -c %d "$path")" != "$(ssh -F "$state/cluster/ssh_config" h1 stat -c %d "$path")" ] ||
    fail "h1 sees this host's client, not its own"
  logs=$path/logtest
  mkdir "$logs"
  launch_json -t 30 -w 4 -r 4 --hosts "$hosts" --rsh "$rsh" --nemesis-at 8:3,18:3 \
    --nemesis "$beds/cluster.sh flap $state h2 && $beds/drop_caches.sh" "$logs"
  expect_pass "GlusterFS coherent across two hosts, one client each, through link cuts"
  expect_json "assert [a['status'] for a in d['nemesis']['actions']] == [0, 0], d['nemesis']"
}

"case_$case"
