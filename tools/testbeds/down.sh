#!/usr/bin/env bash
# Tears down every testbed under STATE: what each kind's own down does (Slurm cancels its
# jobs first), then whatever any other directory there records (a matrix run that was
# killed). Safe to run on a STATE that is already down, or half up.
#   down.sh STATE
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "$0")/lib.sh"

[ $# -eq 1 ] || {
  echo "usage: ${0##*/} STATE" >&2
  exit 2
}
[ -d "$1" ] || exit 0
here=$(dirname "$0")
stop_test_processes "$1"
for kind in slurm sshd bindfs gluster; do
  "$here/$kind.sh" down "$1"
done
for dir in "$1"/*/; do
  teardown "${dir%/}"
done
