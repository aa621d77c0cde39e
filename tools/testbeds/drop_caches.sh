#!/usr/bin/env bash
# A nemesis for --nemesis: writes back what is dirty and drops this machine's page cache,
# dentries and inodes, so every client on it reads again from its servers. The simulated hosts
# of cluster.sh share this kernel, so it drops theirs too.
set -euo pipefail
[ "$(id -u)" = 0 ] || {
  echo "${0##*/}: needs root" >&2
  exit 1
}
sync
echo 3 >/proc/sys/vm/drop_caches
