# shellcheck shell=bash
# Sourced by the end-to-end test scripts: a work directory of the case's own, kept when the
# case fails, and checks on a run of logtest-run (exit status, output, JSON summary).
#   case_begin NAME   makes $work; the script may define case_end, run first at exit

case_begin() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  trap case_exit EXIT
}

case_exit() {
  local status=$?
  if declare -F case_end >/dev/null; then case_end; fi
  if [ "$status" -eq 0 ] && [ -z "${KEEP_WORK:-}" ]; then
    rm -rf "$work"
  else
    echo "kept $work for inspection" >&2
  fi
}

fail() {
  [ -f "$work/out" ] && cat "$work/out"
  echo "FAILED: $*" >&2
  exit 1
}

# Runs logtest-run; its output lands in $work/out and its exit status in $status.
launch() {
  set +e
  "$LOGTEST_RUN" "$@" >"$work/out" 2>&1
  status=$?
  set -e
}

# The exit status, then lines the output must hold.
expect() {
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
  shift
  local line
  for line; do
    grep -qF -- "$line" "$work/out" || fail "no line with: $line"
  done
}

# Python statements over d, the JSON summary in $work/summary.json; more arguments are
# sys.argv[2:].
expect_json() {
  python3 -c "import json, re, sys
d = json.load(open(sys.argv[1]))
$1" "$work/summary.json" "${@:2}" || fail "JSON check failed: $1"
}

# A log directory prepared as an operator would.
make_dir() {
  mkdir -p "$1"
  : >"$1/logInfo"
  printf 0 >"$1/next_id"
}
