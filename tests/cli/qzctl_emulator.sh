#!/usr/bin/env bash
# qzctl against a running emulator: the library finds the daemon through
# QZ_EMU_SOCKET at start-up and reads a drive's identity through it.
set -euo pipefail
bin=$1
work=$(mktemp -d "${QZ_TEST_TMP:-/tmp}/qzctl-emu.XXXXXX")
export QZ_EMU_SOCKET="$work/s.sock"
export QZ_HKCU_HIVE="$work/hkcu.reg"
"$bin/qzemud" --socket "$QZ_EMU_SOCKET" --state-dir "$work/drives" >/dev/null
trap '"$bin/qzemu" daemon stop >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
"$bin/qzemu" create --serial QZCLI0001 --capacity 16M --layout "public:all" --firmware 6.61 >/dev/null

out=$("$bin/qzctl" --json inquiry qzemu:QZCLI0001/0)
echo "$out"
grep -q '"serial":"QZCLI0001"' <<<"$out"
grep -q '"firmware":"6.61"' <<<"$out"
grep -q '"sectors":32768' <<<"$out"

# Without a device, the first plugged drive of the emulator.
"$bin/qzctl" inquiry | grep -q "serial    QZCLI0001"

# An unplugged drive is not there for the library.
"$bin/qzemu" unplug QZCLI0001 >/dev/null
if "$bin/qzctl" inquiry qzemu:QZCLI0001/0 >/dev/null 2>&1; then
  echo "inquiry of an unplugged drive succeeded" >&2
  exit 1
fi
echo "qzctl emulator checks passed"
