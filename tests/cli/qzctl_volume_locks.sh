#!/usr/bin/env bash
# qzctl volumes against a real qzemud: the listing, --dismount (volumes stay
# down after qzctl ends, their content kept), --unlock (back), --lock (held
# until a stop signal or Enter on a terminal, then released and back), and
# the usage errors.
set -euo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
q="$bin/qzctl"
"$bin/qzemu" create --serial QZLCK0001 --capacity 16M --layout "cd:4M,public:rest" >/dev/null
vol="$work/drives/QZLCK0001/volumes"

out=$("$q" volumes QZLCK0001)
echo "$out"
grep -qE "^LUN 0  D:\\\\  $vol/lun0  CD-ROM  mounted$" <<<"$out" || fail "listing of LUN 0"
grep -qE "^LUN 1  E:\\\\  $vol/lun1  removable  mounted$" <<<"$out" || fail "listing of LUN 1"

echo kept >"$vol/lun1/kept.txt"
out=$("$q" --json volumes QZLCK0001 --dismount)
echo "$out"
grep -qF '"lun":1,"root":null,"directory":null,"kind":"removable","state":"dismounted","locked":false' \
  <<<"$out" || fail "--dismount --json: $out"
[ ! -d "$vol/lun0" ] && [ ! -d "$vol/lun1" ] || fail "volume directories still up"

out=$("$q" volumes QZLCK0001 --unlock)
echo "$out"
grep -qE "^LUN 1  E:\\\\  $vol/lun1  removable  mounted$" <<<"$out" || fail "--unlock: $out"
[ "$(cat "$vol/lun1/kept.txt")" = kept ] || fail "content lost over the dismount"

# --lock holds until SIGTERM; meanwhile another qzctl sees the volumes
# locked and down.
"$q" volumes QZLCK0001 --lock >"$work/lock.out" 2>"$work/lock.err" &
holder=$!
for _ in $(seq 1 100); do
    grep -q "press Enter" "$work/lock.err" 2>/dev/null && break
    sleep 0.1
done
grep -q "press Enter" "$work/lock.err" || fail "--lock did not say it holds the lock"
out=$("$q" --json volumes QZLCK0001)
grep -qF '"lun":1,"root":null,"directory":null,"kind":"removable","state":"dismounted","locked":true' \
  <<<"$out" || fail "locked state from another process: $out"
# A second writer is refused at once, with its own exit code.
for action in --lock --dismount; do
    rc=0; "$q" volumes QZLCK0001 $action </dev/null >/dev/null 2>"$work/second.err" || rc=$?
    [ "$rc" -eq 12 ] && grep -q "in use by another program" "$work/second.err" \
      || { cat "$work/second.err"; fail "a second volumes $action beside the lock: exit $rc"; }
done
kill -TERM "$holder"
wait "$holder" || fail "--lock did not end cleanly on SIGTERM"
grep -q "released" "$work/lock.err" || fail "--lock did not release"
out=$("$q" volumes QZLCK0001)
grep -qE "^LUN 1  E:\\\\  $vol/lun1  removable  mounted$" <<<"$out" || fail "after --lock: $out"

# On a terminal, Enter releases them (script(1) gives qzctl one).
if command -v script >/dev/null; then
    (sleep 1; printf '\n') | script -qec "$q volumes QZLCK0001 --lock" /dev/null >"$work/tty.out" \
      || fail "--lock on a terminal: $(cat "$work/tty.out")"
    grep -q "released" "$work/tty.out" || fail "--lock did not release on Enter"
    out=$("$q" volumes QZLCK0001)
    grep -qE "^LUN 1  E:\\\\  $vol/lun1  removable  mounted$" <<<"$out" || fail "after Enter: $out"
fi

rc=0; "$q" volumes QZLCK0001 --lock --unlock 2>/dev/null || rc=$?
[ "$rc" -eq 1 ] || fail "two actions: exit $rc"
rc=0; "$q" volumes 2>/dev/null || rc=$?
[ "$rc" -eq 1 ] || fail "no DEVICE: exit $rc"
rc=0; "$q" volumes QZNOSUCH01 2>/dev/null || rc=$?
[ "$rc" -eq 2 ] || fail "unknown drive: exit $rc"
echo PASS
