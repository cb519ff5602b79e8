#!/usr/bin/env bash
# qzctl info against a running emulator: a Qz drive, a plain disk, a missing
# drive and a usage error, with the exit codes scripts rely on.
set -uo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
"$bin/qzemu" create --serial QZINFO0001 --capacity 16M --firmware 6.61 >/dev/null || exit 1
"$bin/qzemu" create --serial DISKINFO01 --capacity 16M --mode disk >/dev/null || exit 1

out=$("$bin/qzctl" info qzemu:QZINFO0001/0) || fail "info of a Qz drive: exit $?"
echo "$out"
grep -qx "family    QZ" <<<"$out" || fail "family"
grep -qx "serial    QZINFO0001" <<<"$out" || fail "serial"
grep -qx "firmware  6.610" <<<"$out" || fail "firmware"
grep -qx "roots     none" <<<"$out" || fail "roots"

out=$("$bin/qzctl" --json info qzemu:DISKINFO01/0) || fail "info of a plain disk: exit $?"
echo "$out"
grep -q '"family":"ANY Device"' <<<"$out" || fail "plain disk family"
grep -q '"serial":"DISKINFO01"' <<<"$out" || fail "plain disk serial"
grep -q '"roots":\[\]' <<<"$out" || fail "plain disk roots"

"$bin/qzctl" info qzemu:NOSUCHDRIVE/0 >/dev/null 2>&1
[ $? -eq 2 ] || fail "a missing drive must exit 2"
"$bin/qzctl" info >/dev/null 2>&1
[ $? -eq 1 ] || fail "info without DEVICE must exit 1"

"$bin/qzemu" unplug QZINFO0001 >/dev/null
"$bin/qzctl" info qzemu:QZINFO0001/0 >/dev/null 2>&1
[ $? -eq 2 ] || fail "an unplugged drive must exit 2"
echo "qzctl info checks passed"
