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
# Its root beside the emulated volume's directory.
grep -qx "roots     [D-Z]:\\\\ -> $work/drives/QZINFO0001/volumes/lun0" <<<"$out" || fail "roots"

# Every verb takes a drive on the bus by its serial number as well as by
# its device path: inquiry too.
for name in QZINFO0001 qzemu:QZINFO0001/0; do
  out=$("$bin/qzctl" --json inquiry $name) || fail "inquiry $name: exit $?"
  grep -q '"vendor":"Corvane ",.*"serial":"QZINFO0001"' <<<"$out" || fail "inquiry $name: $out"
done

out=$("$bin/qzctl" --json info qzemu:DISKINFO01/0) || fail "info of a plain disk: exit $?"
echo "$out"
grep -q '"family":"ANY Device"' <<<"$out" || fail "plain disk family"
grep -q '"serial":"DISKINFO01"' <<<"$out" || fail "plain disk serial"
grep -q "\"roots\":\[\"[D-Z]:\\\\\\\\\"\],\"volumes\":\[{\"root\":\"[D-Z]:\\\\\\\\\",\"directory\":\"$work/drives/DISKINFO01/volumes/lun0\"}\]" \
  <<<"$out" || fail "plain disk roots"

# Over the HID transport (no raw device access) the same drive gives the
# same answers; a drive without its HID interface cannot be reached so.
"$bin/qzemu" create --serial QZHIDINFO1 --capacity 16M --firmware 6.52 --composite >/dev/null \
  || fail "create a composite drive"
scsi=$("$bin/qzctl" --json info qzemu:QZHIDINFO1/0) || fail "info over SCSI: exit $?"
hid=$("$bin/qzctl" --json --hid info qzemu:QZHIDINFO1/0) || fail "info over HID: exit $?"
echo "$hid"
[ "$scsi" = "$hid" ] || fail "SCSI and HID disagree: $scsi / $hid"
grep -q '"serial":"QZHIDINFO1"' <<<"$hid" || fail "serial over HID"
grep -q '"firmware":"6.520"' <<<"$hid" || fail "firmware over HID"
"$bin/qzctl" --hid info qzemu:QZINFO0001/0 >/dev/null 2>&1
[ $? -eq 3 ] || fail "a drive without its HID interface must exit 3 over HID"

"$bin/qzctl" info qzemu:NOSUCHDRIVE/0 >/dev/null 2>&1
[ $? -eq 2 ] || fail "a missing drive must exit 2"
"$bin/qzctl" info >/dev/null 2>&1
[ $? -eq 1 ] || fail "info without DEVICE must exit 1"

"$bin/qzemu" unplug QZINFO0001 >/dev/null
"$bin/qzctl" info qzemu:QZINFO0001/0 >/dev/null 2>&1
[ $? -eq 2 ] || fail "an unplugged drive must exit 2"
echo "qzctl info checks passed"
