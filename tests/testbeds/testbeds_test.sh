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
assert all(p['argv'][:3] == ['ssh', '-F', sys.argv[2]] for p in d['processes'])" \
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

case_matrix_local() {
  set +e
  LOGTEST_RUN=$LOGTEST_RUN "$beds/matrix.sh" -t 30 -s "$state" tmpfs ext4 | tee "$state/table"
  status=${PIPESTATUS[0]}
  set -e
  [ "$status" -eq 0 ] || fail "matrix.sh exited with $status"
  [ "$(grep -cE '^(tmpfs|ext4) +PASS ' "$state/table")" -eq 2 ] || fail "no PASS row for each"
}

"case_$case"
