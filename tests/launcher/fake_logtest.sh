#!/usr/bin/env bash
# Stands in for logtest where the launcher's handling of process ends is under test, not the
# file system. Usage as logtest's: fake_logtest.sh W|R DIR. FAKE_MODE picks the behaviour:
#   obedient  writers announce log.1, readers "check" it; all end with "Done!" at StopTest
#   selfkill  like obedient, but every reader kills itself with SIGKILL after 1 s
#   deaf      ignores StopTest and SIGTERM; only SIGKILL ends it
#   quitter   writers end with 0 at once, without a word
#   retrying  readers announce a recheck, as a reader waiting for a log to become whole does
role=$1 dir=$2
case ${FAKE_MODE:-obedient} in
  deaf)
    trap '' TERM
    while :; do sleep 0.1; done
    ;;
  quitter)
    if [ "$role" = W ]; then
      exit 0
    fi
    ;;
  retrying)
    [ "$role" = W ] || echo "Rechecking for log terminator record, cnt = 1."
    ;;
  selfkill)
    if [ "$role" = R ]; then
      sleep 1
      kill -KILL $$
    fi
    ;;
esac
if [ "$role" = W ]; then
  echo "Log rename $dir/log.1 by writer 1"
else
  echo "Checking log 1"
fi
while [ ! -e "$dir/StopTest" ]; do sleep 0.1; done
echo "Done!"
