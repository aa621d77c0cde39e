#!/usr/bin/env bash
# Tears down every testbed under STATE: Slurm's and the cluster's own down (they cancel their
# jobs first), then whatever each directory there records (a matrix run that was killed as
# well). Safe to run on a STATE that is already down, or half up.
#   down.sh STATE
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "$0")/lib.sh"

[ $# -eq 1 ] || {
  echo "usage: ${0##*/} STATE" >&2
  exit 2
}
[ -d "$1" ] || exit 0
stop_test_processes "$1"
# A file system served to the cluster's hosts goes first, whole: its clients, here and in
# the hosts' namespaces, reach its servers through the cluster's bridge, and a client that
# cannot reach them may never finish unmounting.
for dir in "$1"/*/; do
  [ -f "$dir/host-mounts" ] || continue
  kind=$(basename "$dir")
  case $kind in
    gluster | moosefs | cephfs) "$(dirname "$0")/$kind.sh" down "$1" ;;
    *) teardown "${dir%/}" ;;
  esac
done
# Slurm's and the cluster's own down come first: they cancel their jobs, and the cluster's
# also deletes the namespaces, links and bridge its records name; MooseFS's deletes the link
# of its servers' address. The other kinds' own down is only this teardown. The ssh servers
# go before the mounts: a session still open there would keep their files in use.
"$(dirname "$0")/slurm.sh" down "$1"
"$(dirname "$0")/cluster.sh" down "$1"
"$(dirname "$0")/moosefs.sh" down "$1"
for dir in "$1/sshd" "$1"/*/; do
  teardown "${dir%/}"
done
