#!/usr/bin/env bash
# The Debian package as a cluster administrator gets it: built by cpack from the build
# directory, unpacked, it runs a short test and its logtest still lets gdb find debug_hold.
#   package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/package_test.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null) || fail "cpack"
deb=$(echo "$work"/logtest_*_amd64.deb)
[ -f "$deb" ] || fail "no package in $work"
depends=$(dpkg-deb -f "$deb" Depends)
case $depends in *libssl3*) ;; *) fail "Depends lacks libssl3: $depends" ;; esac

dpkg-deb -x "$deb" "$work/root"
for f in usr/bin/logtest usr/bin/logtest-run usr/lib/logtest/liblogtest-inject.so \
  usr/share/man/man1/logtest.1.gz usr/share/man/man1/logtest-run.1.gz \
  usr/share/doc/logtest/copyright; do
  [ -e "$work/root/$f" ] || fail "the package has no $f"
done
"$work/root/usr/bin/logtest-run" -t 3 -w 2 -r 1 >"$work/out" 2>&1 || {
  cat "$work/out"
  fail "the packaged logtest-run did not pass"
}
grep -q "^PASS after" "$work/out" || fail "no PASS line"
# The installed launcher finds the installed injector, and the fault is caught.
set +e
"$work/root/usr/bin/logtest-run" --inject bit-flip -t 30 -w 2 -r 1 >"$work/out" 2>&1
status=$?
set -e
if [ "$status" -ne 1 ] || ! grep -q "Cheksum failed" "$work/out"; then
  cat "$work/out"
  fail "the packaged injector's bit-flip was not caught (exit status $status)"
fi
if command -v gdb >/dev/null; then
  gdb -batch -ex 'ptype debug_hold' "$work/root/usr/bin/logtest" 2>&1 | grep -q 'volatile int' ||
    fail "gdb cannot find debug_hold in the packaged logtest"
fi
