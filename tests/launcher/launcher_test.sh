#!/usr/bin/env bash
# End-to-end cases of logtest-run on private temporary directories. One case per call:
#   LOGTEST_RUN=build/logtest-run LOGTEST=build/logtest tests/launcher/launcher_test.sh CASE
# A failing case keeps its directory and names it on standard error.
set -euo pipefail

: "${LOGTEST_RUN:?path of logtest-run}" "${LOGTEST:?path of logtest}"
here=$(cd "$(dirname "$0")" && pwd)
fake=$here/fake_logtest.sh
# shellcheck source=tests/support/case.sh
. "$here/../support/case.sh"
case_begin launcher_test
background=()
mounted=()

case_end() {
  for pid in "${background[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  # Whatever a case stopped or left behind in its directory goes too.
  pkill -KILL -f -- "$work/" 2>/dev/null || true
  for m in "${mounted[@]}"; do
    umount -l "$m" 2>/dev/null || true
  done
}

# A tmpfs of the case's own at $1, where logs come quickly; unmounted at the end. Without
# root, a directory in /dev/shm will do.
make_tmpfs() {
  if [ "$(id -u)" != 0 ]; then
    ln -s "$(mktemp -d /dev/shm/launcher_test.XXXXXX)" "$1"
    return
  fi
  mkdir -p "$1"
  mount -t tmpfs -o size=512m logtest-case "$1" || fail "cannot mount a tmpfs"
  mounted+=("$1")
}

# Starts logtest-run in the background; its PID lands in $launcher.
launch_bg() {
  "$LOGTEST_RUN" "$@" >"$work/out" 2>&1 &
  launcher=$!
  background+=("$launcher")
}

# Waits for the background launcher; its exit status lands in $status.
wait_launcher() {
  set +e
  wait "$launcher"
  status=$?
  set -e
}

# Polls a shell condition every 0.1 s for at most $1 seconds.
wait_until() {
  local tries=$(($1 * 10))
  shift
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

case_usage_errors() {
  touch "$work/file"
  local want line args
  # exit status | a line of the output | the arguments, split at blanks
  while IFS='|' read -r want line args; do
    # shellcheck disable=SC2086
    launch $args
    expect "$want" "$line"
  done <<EOF
2|--no-such-option|--no-such-option
2|--writers|-w 0
2|--stall-timeout|--stall-timeout -1
2|$work/missing: No such file or directory|$work/missing
2|is not a directory|$work/file
2|--hosts needs a DIR|--hosts a,b
2|--rsh needs --hosts or --hostfile|--rsh x{host} $work
2|--hostfile $work/file names no host|--hostfile $work/file $work
2|--hostfile $work/nohosts: No such file or directory|--hostfile $work/nohosts $work
2|must contain {host}|--hosts a --rsh ssh $work
2|no executable logtest found at $work/nothing|--logtest $work/nothing
2|unknown fault bogus|--inject bogus
2|--nemesis-at 5,3:2: not a list|--nemesis x --nemesis-at 5,3:2 $work
2|--nemesis-every excludes --nemesis-at|--nemesis x --nemesis-at 5 --nemesis-every 2 $work
2|--self-test runs on this host|--self-test --inject none
2|lies in the directory under test $work|--json $work/summary.json $work
2|its directory must take a new file|--json $work/missing/summary.json
0|--duration|--help
0|logtest-run |--version
EOF

  # A refused run leaves an earlier summary as it was.
  echo '{"earlier": true}' >"$work/earlier.json"
  launch --json "$work/earlier.json" "$work/missing"
  expect 2 "$work/missing: No such file or directory"
  grep -q earlier "$work/earlier.json" || fail "a refused run touched the earlier summary"

  # Without --logtest, the logtest beside logtest-run.
  mkdir "$work/bin"
  cp "$LOGTEST_RUN" "$work/bin/logtest-run"
  cp "$fake" "$work/bin/logtest"
  "$work/bin/logtest-run" -t 1 --json "$work/summary.json" >"$work/out" 2>&1 ||
    fail "run with the logtest beside logtest-run failed"
  expect_json "assert d['config']['logtest'] == sys.argv[2], d['config']" "$work/bin/logtest"
}

case_leftovers_and_clean() {
  local dir=$work/logs
  make_dir "$dir"
  touch "$dir/StopTest" "$dir/last_log" "$dir/log.3" "$dir/log.txt"
  echo mine >"$dir/notes"
  launch --logtest "$fake" -t 1 "$dir"
  expect 2 "holds files of an earlier test (StopTest, last_log, 1 numbered log(s)); --clean"
  [ -e "$dir/log.3" ] || fail "a refused run removed log.3"

  launch --logtest "$fake" -t 1 --clean "$dir"
  expect 0
  [ ! -e "$dir/log.3" ] || fail "--clean left log.3"
  [ ! -e "$dir/last_log" ] || fail "--clean left last_log"
  [ "$(cat "$dir/notes")" = mine ] || fail "--clean touched notes"
  [ -e "$dir/log.txt" ] || fail "--clean removed log.txt"
  [ -e "$dir/StopTest" ] || fail "the run ended without StopTest"
}

case_process_ends() {
  FAKE_MODE=selfkill launch --logtest "$fake" -t 30 -w 1 -r 1
  expect 1 "reader 1 was killed by signal 9 (Killed)" "Directory kept for inspection: "

  FAKE_MODE=quitter launch --logtest "$fake" -t 30 -w 1 -r 1 --json "$work/summary.json"
  expect 1 "writer 1 ended with status 0 while the test was running and no StopTest existed"
  expect_json "
assert d['verdict'] == 'FAIL' and d['stop_reason'] == 'process_ended'
assert d['failures'][0]['code'] == 'process_end' and d['diagnostics']['count'] == 0
assert d['directory']['kept'] and d['directory']['temporary']"
}

# A reader's recheck is no failure by itself: the reader either goes on or says why it gave up.
case_retry_notice_passes() {
  FAKE_MODE=retrying launch --logtest "$fake" -t 1 -w 1 -r 2 --json "$work/summary.json"
  expect 0 "reader 2: Rechecking for log terminator record, cnt = 1. (retrying; not a failure" \
    "Retry notices: a reader waited for a log to become whole (2 of 2):"
  expect_json "
assert d['verdict'] == 'PASS' and d['retry_notices']['count'] == 2
assert [p['retry_notices'] for p in d['processes']] == [0, 1, 1]"
}

case_grace_kill() {
  FAKE_MODE=deaf launch --logtest "$fake" -t 1 --grace 1 -w 1 -r 1 --json "$work/summary.json"
  expect 1 "writer 1 did not end within 1 s after StopTest and was killed" \
    "reader 1 did not end within 1 s after StopTest and was killed"
  expect_json "assert all(p['killed_by_launcher'] and p['signal'] == 9 for p in d['processes'])"
  local pid
  for pid in $(python3 -c "import json, sys
print(*[p['pid'] for p in json.load(open(sys.argv[1]))['processes']])" "$work/summary.json"); do
    ! kill -0 "$pid" 2>/dev/null || fail "process $pid outlived the launcher"
  done
}

case_short_run_passes() {
  launch --logtest "$LOGTEST" -t 5 --json "$work/summary.json" --report "$work/run.html"
  expect 0 "PASS"
  grep -q "<title>PASS: " "$work/run.html" || fail "no page of the run"
  expect_json "
assert d['version'] == 4 and d['tool'] == 'logtest-run'
assert d['verdict'] == 'PASS' and d['exit_status'] == 0 and d['failures'] == []
assert d['stop_reason'] == 'duration' and d['marker_raised_by_launcher']
c = d['config']
assert (c['writers'], c['readers'], c['duration_s'], c['hosts']) == (4, 2, 5, [])
names = [p['name'] for p in d['processes']]
assert names == ['writer 1', 'writer 2', 'writer 3', 'writer 4', 'reader 1', 'reader 2'], names
for p in d['processes']:
    assert p['host'] is None and p['signal'] is None and p['exit_status'] in (0, 1), p
    assert p['cpu_user_s'] >= 0 and p['max_rss_kb'] > 0, p
    assert 0 <= p['start_s'] <= p['end_s'], p
assert [h['name'] for h in d['hosts']] == [None] and d['hosts'][0]['up_s'] >= 0, d['hosts']
t = d['totals']
assert t['bytes'] > 0 and t['logs_verified'] <= t['logs_written'], t
assert t['records_estimated'] == int(t['bytes'] / 5156), t
assert len(d['timeline']) >= 5 and d['timeline'][-1]['bytes'] <= t['bytes']
last = d['timeline'][-1]
assert last['renamed_by_host'] == [t['logs_written']] and len(last['verified_by_reader']) == 2, last
# Each log renamed, then begun by each reader no sooner.
for log, renamed, begun, writer in d['log_times']:
    assert renamed is not None and all(b is None or b >= renamed - 1 for b in begun), (log, renamed, begun)
assert [e['event'] for e in d['events']] == ['stop', 'end'], d['events']
assert not d['directory']['kept']
assert d['system']['command_line'][1:3] == ['--logtest', sys.argv[2]], d['system']
assert d['system']['mounts'][0]['fs_type'], d['system']" "$LOGTEST"
  local dir
  dir=$(python3 -c "import json, sys; print(json.load(open(sys.argv[1]))['directory']['path'])" \
    "$work/summary.json")
  [ ! -e "$dir" ] || fail "the temporary directory of a PASS is still there: $dir"
}

# The stand-in's reader has verified its log from the start, so the interrupt can come at once.
case_sigint_stops_orderly() {
  local dir=$work/logs
  make_dir "$dir"
  launch_bg --logtest "$fake" -t 0 -w 2 -r 1 --json "$work/summary.json" "$dir"
  sleep 1
  kill -INT "$launcher"
  wait_launcher
  expect 0 "interrupted (StopTest raised by the launcher)"
  expect_json "
assert d['stop_reason'] == 'interrupted' and d['verdict'] == 'PASS'
assert all(p['exit_status'] is not None for p in d['processes'])"
  [ -e "$dir/StopTest" ] || fail "no StopTest after Ctrl-C"

  # With a duration, an interrupt cuts the run short: the summary stays, the status says so.
  launch_bg --logtest "$fake" --clean -t 30 -w 2 -r 1 --json "$work/summary.json" "$dir"
  sleep 1
  kill -TERM "$launcher"
  wait_launcher
  expect 5 "interrupted (StopTest raised by the launcher)"
  expect_json "assert d['verdict'] == 'PASS' and d['exit_status'] == 5, d['exit_status']"
}

# A second launcher on a directory in use is refused before it touches anything, --clean or
# not; an interrupt during the preflight leaves nothing behind and says so.
case_one_test_per_directory() {
  local dir=$work/logs second
  make_dir "$dir"
  launch_bg --logtest "$fake" -t 0 -w 1 -r 1 "$dir"
  wait_until 20 grep -q "until stopped" "$work/out" || fail "the first test did not start"
  second=$("$LOGTEST_RUN" --logtest "$fake" --clean -t 1 "$dir" 2>&1) && fail "a second test ran"
  grep -q "^logtest-run: $dir is in use by the test started by PID $launcher on .* at " \
    <<<"$second" || fail "no refusal naming the first test: $second"
  [ -e "$dir/next_id" ] || fail "the refused --clean removed the live test's files"
  kill -INT "$launcher"
  wait_launcher
  expect 0

  # An agent that takes its time to answer: Ctrl-C comes during the preflight.
  printf '#!/bin/sh\nsleep 30\n' >"$work/slow-rsh"
  chmod +x "$work/slow-rsh"
  launch_bg --logtest "$fake" --clean --hosts h1 --rsh "$work/slow-rsh {host}" -t 1 "$dir"
  wait_until 20 test -e "$dir/.logtest-run.claim" || fail "no claim"
  sleep 1
  kill -INT "$launcher"
  wait_launcher
  expect 5 "interrupted during the preflight; no test was started"
  [ -z "$(find "$dir" -name '.logtest-*')" ] || fail "the preflight left $(find "$dir" -name '.logtest-*')"
  [ -e "$dir/StopTest" ] || fail "--clean ran before the preflight ended"
}

# DIR is a mount point that goes away during the run: the run fails saying so. (The launcher
# raises no StopTest in the directory underneath; a writer that meets the loss may.)
case_dir_replaced() {
  [ "$(id -u)" = 0 ] || { echo "skipped: needs root to mount"; return; }
  local dir=$work/mnt
  make_tmpfs "$dir"
  make_dir "$dir"
  launch_bg --logtest "$LOGTEST" -t 60 -w 2 -r 1 --grace 3 --json "$work/summary.json" "$dir"
  wait_until 20 test -e "$dir/log.1" || fail "no log was written"
  umount -l "$dir"
  wait_launcher
  expect 1 "$dir is no longer the directory the test started on"
}

# A nemesis that writes into last_log now and then: the defect it causes is set against its
# last action.
case_nemesis() {
  local dir=$work/logs
  make_dir "$dir"
  launch --logtest "$LOGTEST" -t 30 -w 2 -r 1 --nemesis-every 2 --json "$work/summary.json" \
    --nemesis "printf XXXXXXXX | dd of='$dir/last_log' bs=1 seek=200 conv=notrunc 2>/dev/null" "$dir"
  expect 1 "Nemesis: " "the first defect came"
  expect_json "
n = d['nemesis']
assert n['every_s'] == 2 and n['actions'] and n['actions'][0]['start_s'] >= 2, n
assert 'nemesis' in [e['event'] for e in d['events']], d['events']"

  # On a schedule, each action is told how long to hold its fault.
  dir=$work/logs2
  make_dir "$dir"
  launch --logtest "$LOGTEST" -t 6 -w 1 -r 1 --json "$work/summary.json" \
    --nemesis "echo \"\$LOGTEST_NEMESIS_SECONDS\" >>'$work/holds'" --nemesis-at 1:2.5,2 "$dir"
  expect 0 "Nemesis: 2 actions of 'echo" "at 1 s (held 2.5 s), 2 s"
  [ "$(paste -sd/ "$work/holds")" = 2.5/ ] || fail "holds told: $(cat "$work/holds")"
  expect_json "assert [a['hold_s'] for a in d['nemesis']['actions']] == [2.5, None], d['nemesis']"
}

# StopTest made by someone else in the middle of a healthy run: the same verdict every time,
# and no writer's silent exit at the marker counts against it, wherever it met it.
case_outside_stop() {
  local dir
  for run in 1 2 3; do
    dir=$work/logs$run
    make_dir "$dir"
    launch_bg --logtest "$LOGTEST" -t 60 -w 4 -r 2 --json "$work/summary.json" "$dir"
    wait_until 20 test -e "$dir/log.3" || fail "run $run: no log was written"
    : >"$dir/StopTest"
    wait_launcher
    expect 0 "StopTest appeared"
    expect_json "assert d['stop_reason'] == 'marker' and d['verdict'] == 'PASS', d['failures']"
  done
}

# Stand-ins run everything here: env for ssh; pdsh and srun that report a remote exit status as
# the real ones do (pdsh in a line and, without -S, with exit status 0; pdsh passes no input,
# and like Debian's tries rsh unless given -R ssh).
# The command line they get must survive a shell with blanks and quotes in both the directory
# and the logtest path.
make_rsh_standins() {
  mkdir -p "$work/rsh"
  cat >"$work/rsh/pdsh" <<'EOF'
#!/usr/bin/env bash
strict=0 rcmd=rsh
while [ "$#" -gt 1 ]; do
  case $1 in -S) strict=1 ;; -N) ;; -R) rcmd=$2; shift ;; -w) host=$2; shift ;; esac
  shift
done
# Debian's pdsh tries rsh unless told -R ssh; nothing here answers rsh.
if [ "$rcmd" != ssh ]; then
  echo "pdsh@launcher: $host: connect: Connection refused" >&2
  exit 1
fi
HOSTNAME_FOR_TEST=$host sh -c "$1" </dev/null
rc=$?
[ "$rc" -eq 0 ] || echo "pdsh@launcher: $host: ssh exited with exit code $rc" >&2
[ "$strict" -eq 1 ] && exit "$rc"
exit 0
EOF
  # srun runs one task on each node of -w, each with the node's name, and passes its input
  # to every task.
  cat >"$work/rsh/srun" <<'EOF'
#!/usr/bin/env python3
import os, subprocess, sys, threading
args = sys.argv[1:]
hosts = args[args.index("-w") + 1].split(",")
tasks = [subprocess.Popen(args[args.index("sh"):], stdin=subprocess.PIPE,
                          env=dict(os.environ, SLURMD_NODENAME=h, HOSTNAME_FOR_TEST=h))
         for h in hosts]
def pump():
    while data := os.read(0, 4096):
        for t in tasks:
            try:
                t.stdin.write(data)
                t.stdin.flush()
            except BrokenPipeError:
                pass
    for t in tasks:
        t.stdin.close()
threading.Thread(target=pump, daemon=True).start()
sys.exit(max(t.wait() for t in tasks))
EOF
  chmod +x "$work/rsh/pdsh" "$work/rsh/srun"
}

case_remote_template() {
  local dir="$work/it's a dir" bin="$work/bin dir" template hosts
  make_rsh_standins
  mkdir -p "$dir" "$bin"
  cat >"$bin/logtest wrapper" <<EOF
#!/usr/bin/env bash
echo "\$HOSTNAME_FOR_TEST \$1 \$2" >>"$work/seen"
exec "$LOGTEST" "\$@"
EOF
  chmod +x "$bin/logtest wrapper"
  for template in 'env HOSTNAME_FOR_TEST={host} sh -c' 'pdsh -S -N -R ssh -w {host}' 'pdsh -N -R ssh -w {host}' \
    'srun -N1 -n1 --overlap -w {host} sh -c'; do
    rm -rf "$work/seen" "${dir:?}"/*
    # The hosts as a list right before DIR, or from a file.
    hosts=(--hosts "a,b")
    [ "${template%% *}" = srun ] && hosts=(--hostfile "$work/hostfile")
    printf 'a\n# the second\n  b  \n' >"$work/hostfile"
    PATH=$work/rsh:$PATH launch -t 4 -w 2 -r 2 --rsh "$template" \
      --logtest "$bin/logtest wrapper" --json "$work/summary.json" "${hosts[@]}" "$dir"
    expect 0
    sort "$work/seen" >"$work/seen.sorted"
    printf '%s\n' "a R $dir" "a W $dir" "b R $dir" "b W $dir" | diff - "$work/seen.sorted" ||
      fail "$template: the remote side did not get the role and directory intact"
    expect_json "
assert [p['host'] for p in d['processes']] == ['a', 'b', 'a', 'b']
assert [h['name'] for h in d['hosts']] == ['a', 'b'], d['hosts']
assert \"'agent'\" in d['hosts'][0]['command'][-1], d['hosts'][0]['command']
assert all(p['cpu_user_s'] is not None and p['start_s'] >= 0 for p in d['processes'])"
  done
}

# Each reader, before it starts, waits for log.2 and the first of them flips the first payload
# byte of its first record, so every reader meets a damaged log it has not seen yet.
case_corrupt_log_fails() {
  local dir=$work/logs
  make_dir "$dir"
  cat >"$work/corrupting logtest" <<EOF
#!/usr/bin/env bash
if [ "\$1" = R ]; then
  for _ in \$(seq 600); do [ -e "\$2/log.2" ] && break; sleep 0.1; done
  if mkdir "$work/corrupted" 2>/dev/null; then
    python3 -c "import sys
with open(sys.argv[1], 'r+b') as f:
    f.seek(36); b = f.read(1); f.seek(36); f.write(bytes([b[0] ^ 0x55]))" "\$2/log.2"
  fi
fi
exec "$LOGTEST" "\$@"
EOF
  chmod +x "$work/corrupting logtest"
  launch -t 60 -w 2 -r 1 --logtest "$work/corrupting logtest" "$dir"
  [ -d "$work/corrupted" ] || fail "log.2 was never corrupted"
  expect 1 "reader 1: Cheksum failed for client ID" \
    "reader 1: checkRecord() failed at offset 0 in log size" "reader 1 exited with status 1" \
    "Directory kept for inspection: $dir" \
    "Where it failed: reader 1, log.2, record 1 (the dump as this host sees it):" \
    "Likely cause: the header is in place and in sequence but the payload's digest"
  grep -q "^FAIL after .* logs written; verified: reader 1 logs 1-1; " "$work/out" ||
    fail "no FAIL verdict with its figures"
}

# Counters a writer could not use are refused before anything is touched, saying what they
# hold; --clean starts them afresh.
case_bad_counters_refused() {
  local dir=$work/logs want content
  make_dir "$dir"
  while IFS='|' read -r want content; do
    printf %s "$content" >"$dir/next_id"
    launch --logtest "$fake" -t 1 "$dir"
    expect 2 "$dir/next_id holds $want, not a count of client IDs"
  done <<'ROWS'
""|
"-5"|-5
"2147483647"|2147483647
"12abc"|12abc
ROWS
  printf 0 >"$dir/next_id"
  printf 'abc' >"$dir/logInfo"
  launch --logtest "$fake" -t 1 "$dir"
  expect 2 "$dir/logInfo holds 3 bytes, not a log number"
  [ "$(cat "$dir/logInfo")" = abc ] || fail "a refused run touched logInfo"
  launch --logtest "$fake" -t 1 --clean "$dir"
  expect 0
  [ "$(cat "$dir/logInfo")" != abc ] || fail "--clean kept logInfo"
}

# Without readers nothing is verified: never a PASS, and the writers' figures stay.
case_no_readers_no_verdict() {
  launch --logtest "$fake" -t 1 -r 0 --json "$work/summary.json"
  expect 3 "NO VERDICT: no reader verified the logs"
  expect_json "assert d['verdict'] == 'NO VERDICT' and d['exit_status'] == 3
assert d['totals']['logs_written'] == 1, d['totals']"
}

# A writer stopped while it holds the lock stops every append: the run fails and says who.
case_stall_names_the_holder() {
  local dir=$work/logs pid
  make_dir "$dir"
  launch_bg --logtest "$LOGTEST" -t 60 -w 2 -r 1 --stall-timeout 3 --grace 2 \
    --json "$work/summary.json" "$dir"
  wait_until 20 test -s "$dir/last_log" || fail "no writer appended"
  pid=$(python3 "$here/../support/stop_lock_holder.py" "$dir/logInfo")
  wait_launcher
  kill -CONT "$pid" 2>/dev/null || true
  expect 1 "no byte appended for 3 s; writer " " (PID $pid) holds the logInfo lock and is stopped"
  expect_json "
assert d['stop_reason'] == 'stall' and d['failures'][0]['code'] == 'stall', d['failures']
assert d['stop_s'] < 20, d['stop_s']"
}

# A reader stopped long enough for another to delete its next log is left behind. Through the
# same path the other reader's work covers it; alone on its path, nothing does.
case_reader_left_behind() {
  local dir=$work/shm/logs pid expected=$1
  make_tmpfs "$work/shm"
  make_dir "$dir"
  ln -s "$dir" "$work/alias"
  local second=$dir
  [ "$expected" = FAIL ] && second=$work/alias
  launch_bg --logtest "$LOGTEST" -t 16 -w 4 -r 2 --json "$work/summary.json" "$dir" "$second"
  wait_until 20 test -e "$dir/log.2" || fail "no log was written"
  pid=$(pgrep -n -f -- "logtest R $second\$") || fail "no second reader"
  kill -STOP "$pid"
  wait_until 30 test -e "$dir/log.40" || fail "logs stopped coming"
  kill -CONT "$pid"
  wait_launcher
  if [ "$expected" = PASS ]; then
    expect 0 "warning: reader 2 is left behind: log."
  else
    expect 1 "warning: reader 2 is left behind: log."
    expect_json "
assert [f['code'] for f in d['failures']] == ['coverage'], d['failures']
assert '$work/alias' in d['failures'][0]['text']"
  fi
  expect_json "assert d['warnings'][0]['code'] == 'reader_left_behind', d['warnings']"
}
case_reader_left_behind_covered() { case_reader_left_behind PASS; }
case_reader_left_behind_alone() { case_reader_left_behind FAIL; }

# However the launcher dies, the guard raises StopTest and the test ends.
case_launcher_killed() {
  local dir=$work/logs
  make_dir "$dir"
  launch_bg --logtest "$LOGTEST" -t 0 -w 2 -r 1 "$dir"
  wait_until 20 test -e "$dir/log.1" || fail "no log was written"
  kill -KILL "$launcher"
  wait_launcher
  wait_until 2 test -e "$dir/StopTest" || fail "no StopTest 2 s after the launcher died"
  sleep 5
  ! pgrep -f -- "logtest [WR] $dir" || fail "processes of the test outlived the launcher"
}

# Refused before any process starts, exit status 2, nothing written by a process.
case_preflight_refusals() {
  make_dir "$work/a"
  make_dir "$work/b"
  launch --logtest "$LOGTEST" -t 5 "$work/a" "$work/b"
  expect 2 "$work/b does not show the file just written through $work/a: the paths are not one"
  if [ -e "$work/a/last_log" ] || [ -e "$work/b/last_log" ]; then fail "a writer ran"; fi

  echo "precious" >"$work/target"
  rm "$work/a/next_id"
  ln -s "$work/target" "$work/a/next_id"
  launch --logtest "$LOGTEST" -t 5 "$work/a"
  expect 2 "$work/a/next_id is a symlink (to $work/target): logtest refuses to follow it"
  [ "$(cat "$work/target")" = precious ] || fail "the symlink's target was written"
  rm "$work/a/next_id"
  mkfifo "$work/a/next_id"
  launch --logtest "$LOGTEST" -t 5 "$work/a"
  expect 2 "$work/a/next_id is not a regular file"

  local long=$work part
  part=$(printf 'd%.0s' $(seq 200))
  for _ in 1 2 3 4 5; do long=$long/$part; done
  mkdir -p "$long"
  launch --logtest "$LOGTEST" -t 5 "$long"
  expect 2 "bytes long: the names logtest derives from it would not fit"

  # A relative DIR is made absolute before anything else sees it.
  (cd "$work" && "$LOGTEST_RUN" --logtest "$fake" -t 1 --json summary.json b >out 2>&1) ||
    fail "a relative DIR did not run: $(cat "$work/out")"
  expect_json "assert d['config']['dirs'] == [sys.argv[2]], d['config']" "$work/b"
}

"case_${1:?which case}"
