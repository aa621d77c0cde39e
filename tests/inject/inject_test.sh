#!/usr/bin/env bash
# Each fault of the injector, end to end through logtest-run: the verdict, the first diagnostic,
# and the injector's own report that the fault acted. One row per call:
#   LOGTEST_RUN=build/logtest-run LOGTEST=build/logtest INJECT_LIB=build/liblogtest-inject.so \
#     tests/inject/inject_test.sh FAULT
# Prints the seconds from the start of the run to the first diagnostic. A failing row keeps
# its directory and names it on standard error.
set -euo pipefail

: "${LOGTEST_RUN:?path of logtest-run}" "${LOGTEST:?path of logtest}"
: "${INJECT_LIB:?path of liblogtest-inject.so}"

# Every fault runs once, in the self-test, against the expectations of the injector's own
# table (tools/inject/faults.h). Two rows run here besides, for what the self-test does not
# look at: the injector is transparent, each of its hooks sees its calls (quiet), and an
# unknown fault stops the writers before they report (absent).
# LOGTEST_INJECT  verdict  -t  report  first diagnostic: an extended regex over "process: line"
rows=$(
  cat <<'ROWS'
none           PASS  10  quiet   -
no-such-fault  FAIL  30  absent  ^writer [0-9]+: logtest-inject: LOGTEST_INJECT=no-such-fault: unknown fault
ROWS
)
# shellcheck source=tests/support/case.sh
. "$(dirname "$0")/../support/case.sh"

# The launcher's own way to every row: --self-test runs each fault through --inject and
# judges it; all must come out as meant, and the table must say so row by row.
if [ "${1:?which fault}" = self-test ]; then
  case_begin self_test
  mkdir "$work/logs"
  launch --logtest "$LOGTEST" --self-test "$work/logs"
  expect 0 "Self-test: 15 of 15 faults behaved as expected"
  [ "$(grep -cE '^[a-z-]+ +(PASS|FAIL) +(PASS|FAIL) +[0-9.-]+ +yes ' "$work/out")" -eq 15 ] ||
    fail "the self-test table is not 15 rows as meant"
  # It leaves the directory as it found it, ready for the next self-test.
  left=$(find "$work/logs" -mindepth 1 -printf '%f ')
  [ -z "$left" ] || fail "the self-test left $left"
  exit 0
fi
read -r fault verdict seconds report pattern < <(grep "^$1 " <<<"$rows") ||
  { echo "no row $1" >&2; exit 2; }

case_begin inject_test
make_dir "$work/logs"
# A sanitizer build's runtime wants to be loaded first; the injector is preloaded before it.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
LD_PRELOAD="$INJECT_LIB" LOGTEST_INJECT="$fault" LOGTEST_INJECT_REPORT="$work/report" \
  launch --logtest "$LOGTEST" -t "$seconds" -w 3 -r 2 --json "$work/summary.json" "$work/logs"
if [ "$verdict" = PASS ]; then expect 0; else expect 1; fi
expect_json "
verdict, pattern = sys.argv[2], sys.argv[3]
assert d['verdict'] == verdict, d['verdict']
first = d['diagnostics']['first']
if verdict == 'PASS':
    assert not first, first
else:
    line = first[0]['process'] + ': ' + first[0]['line']
    assert re.search(pattern, line), line
    print('first diagnostic at', first[0]['at_s'], 's:', line)" "$verdict" "$pattern"

# Only the three writers report: readers, the launcher and any shell ignore the injector.
touch "$work/report"
python3 - "$work/report" "$report" <<'PY' || fail "injector report: $(cat "$work/report")"
import sys
lines = [dict(f.split('=') for f in l.split()) for l in open(sys.argv[1])]
expect = sys.argv[2]
if expect == 'absent':
    assert not lines, lines
    sys.exit(0)
assert len(lines) == 3, lines
total = {k: sum(int(l[k]) for l in lines) for k in lines[0] if k not in ('pid', 'fault', 'rate')}
# One stdio flush, one whole record, one write(2), through the injector's stream as before.
assert total['records'] > 0 and total['split'] == 0, total
if expect == 'fired':
    assert total['fired'] > 0, total
else:
    assert total['fired'] == 0 and all(v > 0 for k, v in total.items() if k not in ('fired', 'split')), total
PY
