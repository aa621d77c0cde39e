#!/usr/bin/env bash
# The same run of logtest-run on tmpfs and on ext4, xfs and btrfs made in loop images, then a
# table of what each gave. Each file system is made fresh, and unmounted and its loop device
# detached before the next, whatever happens (down.sh STATE also undoes a killed run).
#   matrix.sh [-t SECONDS] [-s STATE] [FS ...]     FS: tmpfs ext4 xfs btrfs (default: all)
# Exit status 0 when every run passed, 1 otherwise, 2 on bad usage.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "$0")/lib.sh"
root=$(cd "$(dirname "$0")/../.." && pwd)

usage() {
  echo "usage: ${0##*/} [-t SECONDS] [-s STATE] [tmpfs|ext4|xfs|btrfs ...]" >&2
  exit 2
}

seconds=30
state=
while getopts t:s: opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    s) state=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[[ $seconds =~ ^[1-9][0-9]*$ ]] || usage
systems=("$@")
[ ${#systems[@]} -gt 0 ] || systems=(tmpfs ext4 xfs btrfs)
for fs in "${systems[@]}"; do
  case $fs in
    tmpfs) ;;
    ext4 | xfs | btrfs) need_commands "mkfs.$fs" ;;
    *) usage ;;
  esac
done
need_root
need_commands losetup findmnt python3
launcher=${LOGTEST_RUN:-$root/build/logtest-run}
[ -x "$launcher" ] || die "no $launcher: build first (scripts/setup) or set LOGTEST_RUN"

made_state=
if [ -z "$state" ]; then
  state=$(mktemp -d "${TMPDIR:-/tmp}/logtest-matrix.XXXXXX")
  made_state=1
fi
dir=$(bed_dir "$state" matrix)
finish() {
  teardown "$dir"
  rm -f "$dir"/*.img
  [ -z "$made_state" ] || rm -rf "$state"
}
trap finish EXIT
trap 'exit 130' INT TERM

# A loop image is sparse: the tests write a few hundred MB at most, and the readers delete
# old logs as they go. 2 GiB clears the smallest size each mkfs accepts by far.
make_fs() {
  local fs=$1 mnt=$2 dev
  mkdir -p "$mnt"
  if [ "$fs" = tmpfs ]; then
    echo "$mnt" >>"$dir/mounts"
    mount -t tmpfs -o size=2g logtest-matrix "$mnt"
    return
  fi
  rm -f "$dir/$fs.img"
  truncate -s 2G "$dir/$fs.img"
  dev=$(losetup --find --show "$dir/$fs.img")
  echo "$dev" >>"$dir/loops"
  case $fs in
    ext4) mkfs.ext4 -q "$dev" ;;
    xfs) mkfs.xfs -q "$dev" ;;
    btrfs) mkfs.btrfs -q "$dev" >/dev/null ;;
  esac
  echo "$mnt" >>"$dir/mounts"
  mount "$dev" "$mnt"
}

results=()
for fs in "${systems[@]}"; do
  make_fs "$fs" "$dir/$fs"
  mkdir "$dir/$fs/logtest"
  set +e
  "$launcher" --quiet -t "$seconds" --json "$dir/$fs.json" "$dir/$fs/logtest" >"$dir/$fs.out" 2>&1
  set -e
  echo "$fs: $(tail -1 "$dir/$fs.out")" >&2
  [ -s "$dir/$fs.json" ] || {
    cat "$dir/$fs.out" >&2
    die "$fs: no summary from logtest-run"
  }
  results+=("$fs" "$dir/$fs.json")
  teardown "$dir"
  rm -f "$dir/$fs.img"
done

python3 - "${results[@]}" <<'PY'
import json, sys
args = sys.argv[1:]
print(f"{'file system':<12} {'verdict':<8} {'MB/s':>8} {'records/s':>10} {'logs verified':>14}")
failed = False
for fs, path in zip(args[::2], args[1::2]):
    d = json.load(open(path))
    t = d["totals"]
    failed |= d["verdict"] != "PASS"
    print(f"{fs:<12} {d['verdict']:<8} {t['mb_per_s']:>8.2f} {t['records_per_s_estimated']:>10.0f}"
          f" {t['logs_verified']:>14}")
sys.exit(1 if failed else 0)
PY
