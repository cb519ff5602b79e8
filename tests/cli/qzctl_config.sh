#!/usr/bin/env bash
# qzctl's configuration commands against a running emulator: the capacity of
# an opted-out drive (one public domain), a CD domain of that size added and
# awaited, the layout it comes back with, the same and a reconnection on a
# drive that returns at once, and the refusals.
set -euo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
"$bin/qzemu" create --serial QZCFGCLI01 --capacity 16M --layout "public:10M" >/dev/null

out=$("$bin/qzctl" --json capacity QZCFGCLI01)
echo "$out"
grep -q '^{"freeBytes":6291456,"totalSectors":32768,"maxDomains":4}$' <<<"$out" || fail "capacity"

out=$("$bin/qzctl" --json domain add qzemu:QZCFGCLI01/0 --type cd --size 6291456)
echo "$out"
grep -q '"added":{"index":1,"type":3,"typeName":"cd","lun":1,"flags":0,"size":6291456,"root":"E:\\\\"}' \
  <<<"$out" || fail "the added domain"
grep -q '"domains":\[{"index":0,"type":2,.*"root":"D:\\\\"},{"index":1,"type":3,' <<<"$out" \
  || fail "the layout after the add"
"$bin/qzemu" inspect QZCFGCLI01 | grep -q "cd" || fail "the drive's own layout"

out=$("$bin/qzctl" capacity QZCFGCLI01)
echo "$out"
grep -qE '^free +0 bytes$' <<<"$out" || fail "no free capacity left"

# A drive that is back on the bus at once (no re-attach delay): the host
# still sees it leave and return, for the restore road and a reconnection.
"$bin/qzemu" create --serial QZCFGCLI02 --capacity 16M --layout "public:10M" \
  --reattach-delay 0 >/dev/null
out=$("$bin/qzctl" --json --timeout 30 domain add QZCFGCLI02 --type cd --size rest)
echo "$out"
grep -q '"added":{"index":1,"type":3,"typeName":"cd","lun":1,"flags":0,"size":6291456,' \
  <<<"$out" || fail "a CD domain added to a drive without re-attach delay"
out=$("$bin/qzctl" --json --timeout 30 reconnect QZCFGCLI02)
echo "$out"
grep -q '"serial":"QZCFGCLI02"' <<<"$out" || fail "a reconnection without re-attach delay"

# Usage errors and a drive that is not there.
rc=0; "$bin/qzctl" domain add QZCFGCLI01 --type floppy --size rest 2>/dev/null || rc=$?
[ "$rc" = 1 ] || fail "a wrong type answered $rc, not 1"
rc=0; "$bin/qzctl" domain add QZCFGCLI01 --type cd 2>/dev/null || rc=$?
[ "$rc" = 1 ] || fail "a missing size answered $rc, not 1"
rc=0; "$bin/qzctl" capacity NOSUCHDRIVE 2>/dev/null || rc=$?
[ "$rc" = 2 ] || fail "capacity of an absent drive answered $rc, not 2"
# The drive refuses a domain it has no room for.
rc=0; "$bin/qzctl" domain add QZCFGCLI01 --type public --size rest 2>/dev/null || rc=$?
[ "$rc" = 6 ] || fail "an add without room answered $rc, not 6 (refused by the drive)"
# As JSON the error carries the library's status and the drive's own reason.
rc=0; out=$("$bin/qzctl" --json domain add QZCFGCLI01 --type public --size rest 2>/dev/null) || rc=$?
echo "$out"
[ "$rc" = 6 ] && grep -q '"exitCode":6,"status":{"code":200,"text":"Communication failure"},"deviceError":"[A-Z_]*"}$' \
  <<<"$out" || fail "the JSON of a refused add: $rc $out"
echo "qzctl configuration checks passed"
