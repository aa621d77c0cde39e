#!/usr/bin/env bash
# Installs the Debian packages the testbeds use, in one apt-get call: tests that installed
# each their own would fight over the dpkg lock. scripts/test runs this before ctest.
# As root it installs what is missing; otherwise it names the packages and the tests that
# need them skip themselves.
set -euo pipefail

packages=(glusterfs-server glusterfs-client bindfs openssh-server slurm-wlm munge
  xfsprogs btrfs-progs iproute2 moosefs-master moosefs-chunkserver moosefs-client
  ceph-mon ceph-mgr ceph-osd ceph-mds ceph-fuse ceph-common)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
  echo "The shared file system tests need root and these Debian packages: ${missing[*]}" >&2
  echo "  sudo apt-get install ${missing[*]}    (without them those tests are skipped)" >&2
  exit 0
fi

# The packages' scripts would start glusterd, sshd, munged, Slurm's, MooseFS's and Ceph's
# daemons as services; the testbeds start their own, so a policy-rc.d refuses it unless one is
# there already.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod +x "$policy"
  trap 'rm -f "$policy"' EXIT
fi

echo "Installing for the shared file system tests: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
  >/dev/null
