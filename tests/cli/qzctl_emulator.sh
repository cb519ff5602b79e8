#!/usr/bin/env bash
# qzctl against a running emulator: the library finds the daemon through
# QZ_EMU_SOCKET at start-up and reads a drive's identity through it.
set -euo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
"$bin/qzemu" create --serial QZCLI0001 --capacity 16M --layout "public:all" --firmware 6.61 >/dev/null

out=$("$bin/qzctl" --json inquiry qzemu:QZCLI0001/0)
echo "$out"
grep -q '"serial":"QZCLI0001"' <<<"$out"
grep -q '"firmware":"6.61"' <<<"$out"
grep -q '"sectors":32768' <<<"$out"

# Without a device, the first plugged drive of the emulator.
"$bin/qzctl" inquiry | grep -q "serial    QZCLI0001"

# Its domains and services, as the library reads them.
out=$("$bin/qzctl" --json domains qzemu:QZCLI0001/0)
echo "$out"
grep -q '^\[{"index":0,"type":2,"typeName":"public","lun":0,"flags":0,"size":16777216,"root":"D:\\\\"}\]$' <<<"$out" \
  || fail "domains"
out=$("$bin/qzctl" services qzemu:QZCLI0001/0)
echo "$out"
grep -qE '^0x0004 +1  11 bytes$' <<<"$out" || fail "configuration service"
grep -qE '^0x0008 +2  9 bytes$' <<<"$out" || fail "hidden-area service"

# The drive as the system shows it, then a detach/attach awaited until it is
# back with its root.
out=$("$bin/qzctl" list)
echo "$out"
grep -qE "^QZCLI0001  QZ  usb [0-9a-f]{4}:[0-9a-f]{4}  interfaces disk  luns 0  roots D:\\\\ -> $work/drives/QZCLI0001/volumes/lun0  device qzemu:QZCLI0001/0\$" \
  <<<"$out" || fail "list"
out=$("$bin/qzctl" --json reconnect QZCLI0001)
echo "$out"
grep -q '"serial":"QZCLI0001"' <<<"$out" || fail "reconnect"
grep -q '"roots":\["D:\\\\"\]' <<<"$out" || fail "roots after reconnect"
rc=0
"$bin/qzctl" reconnect NOSUCHDRIVE 2>/dev/null || rc=$?
[ "$rc" = 2 ] || fail "reconnect of an absent drive answered $rc, not 2"

# An unplugged drive is not there for the library.
"$bin/qzemu" unplug QZCLI0001 >/dev/null
if "$bin/qzctl" inquiry qzemu:QZCLI0001/0 >/dev/null 2>&1; then
  echo "inquiry of an unplugged drive succeeded" >&2
  exit 1
fi
echo "qzctl emulator checks passed"
