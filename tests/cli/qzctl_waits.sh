#!/usr/bin/env bash
# What the polled commands wait for: the drive connected through polling with
# every lettered volume in its drive mask, and nothing after that. The
# library log (--log) shows what qzctl waited for and when it went on. With
# more volumes than the letters D..Z, the drives beyond them are still
# listed and worked on, their volumes without a root.
set -euo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
q="$bin/qzctl"
"$bin/qzemu" create --serial QZWAIT0000 --capacity 16M --layout "cd:4M,public:rest" >/dev/null

# A fresh drive: both volumes get letters (D and E, mask 0x18) and qzctl
# goes on at the event that completes them, the log stream still usable
# when the library ends.
rc=0; out=$("$q" --log domains QZWAIT0000 2>"$work/err") || rc=$?
echo "$out"
[ "$rc" = 0 ] || { cat "$work/err"; fail "domains --log exited $rc"; }
grep -qE '^ +0 +cd +0 .* D:\\$' <<<"$out" || fail "domains: LUN 0 without its root"
grep -qE '^ +1 +public +1 .* E:\\$' <<<"$out" || fail "domains: LUN 1 without its root"
log=$(grep -E "qzctl: |calling listener's callback with device QZWAIT0000|getDomains --- enter" \
  "$work/err" | sed 's/^.*\]: //')
echo "$log"
# The last thing before the command: the drive ready with both letters,
# reached by the drive's own events rather than after a pause.
ready=$(grep -n "^qzctl: QZWAIT0000 ready, drive mask 0x00000018$" <<<"$log" | cut -d: -f1)
[ -n "$ready" ] || fail "no ready line with both letters"
[ "$(sed -n "$((ready + 1))p" <<<"$log")" = "CConfigServiceImpl::getDomains --- enter" ] \
  || fail "the command did not follow the ready line"
sed -n "$((ready - 1))p" <<<"$log" | grep -q "calling listener's callback" \
  || fail "readiness was not decided at a drive event"

# A drive away at the first look that a qzctl found on the bus just now
# (above) is reconnecting: said so, and waited for within --timeout.
"$bin/qzemu" unplug QZWAIT0000 >/dev/null
rc=0; "$q" domains QZWAIT0000 --timeout 15 >"$work/out" 2>"$work/err" & pid=$!
sleep 0.3; "$bin/qzemu" plug QZWAIT0000 >/dev/null
wait $pid || rc=$?
[ "$rc" = 0 ] || { cat "$work/err"; fail "domains of a reconnecting drive exited $rc"; }
grep -q "QZWAIT0000 is reconnecting" "$work/err" || { cat "$work/err"; fail "not said reconnecting"; }
grep -qE '^ +1 +public +1 ' "$work/out" || fail "domains of the returned drive"
# Not back: the command's --timeout ends the wait (exit 5), not "no drive".
"$bin/qzemu" unplug QZWAIT0000 >/dev/null
rc=0; "$q" domains QZWAIT0000 --timeout 2 >/dev/null 2>"$work/err" || rc=$?
[ "$rc" = 5 ] && grep -q "is reconnecting" "$work/err" && ! grep -q "no drive" "$work/err" \
  || { cat "$work/err"; fail "a reconnecting drive that stays away: $rc"; }
"$bin/qzemu" plug QZWAIT0000 >/dev/null
# A drive no qzctl has found is absent: "no drive" at once (exit 2), not a
# wait that --timeout ends.
"$bin/qzemu" create --serial QZWAITAWAY --capacity 16M --layout "public:rest" >/dev/null
"$bin/qzemu" unplug QZWAITAWAY >/dev/null
rc=0; "$q" domains QZWAITAWAY --timeout 20 >/dev/null 2>"$work/err" || rc=$?
[ "$rc" = 2 ] && grep -q "no drive QZWAITAWAY on the bus" "$work/err" \
  && ! grep -q "reconnecting" "$work/err" || { cat "$work/err"; fail "an absent drive: $rc"; }
"$bin/qzemu" remove QZWAITAWAY >/dev/null
# A reader started while another qzctl's domain add has the drive off the
# bus (it leaves and comes back with its new layout) gets the domains: it is
# not told the drive is missing or lacks its service.
"$bin/qzemu" create --serial QZWAITADD --capacity 32M --layout "public:8M" >/dev/null
"$q" domains QZWAITADD >/dev/null 2>"$work/err" || { cat "$work/err"; fail "domains before the add"; }
"$q" domain add QZWAITADD --type public --size 4194304 --timeout 30 >/dev/null 2>"$work/add" & add=$!
for _ in $(seq 500); do
  "$bin/qzemu" inspect QZWAITADD | grep -qE "^ *bus +attached" || break
  sleep 0.01
done
"$bin/qzemu" inspect QZWAITADD | grep -qE "^ *bus +attached" && fail "the drive never left in domain add"
rc=0; "$q" domains QZWAITADD --timeout 30 >"$work/out" 2>"$work/err" || rc=$?
wait $add || { cat "$work/add"; fail "domain add"; }
[ "$rc" = 0 ] || { cat "$work/err"; fail "a reader during domain add exited $rc"; }
[ "$(grep -cE '^ +[01] +public ' "$work/out")" = 2 ] || fail "the reader did not get the new layout"
"$bin/qzemu" remove QZWAITADD >/dev/null

# Twelve drives of two volumes each: 24 volumes for 23 letters. Device work
# gives letters to every volume it can; one is left without.
for n in 01 02 03 04 05 06 07 08 09 10 11; do
  "$bin/qzemu" create --serial QZWAIT00$n --capacity 16M --layout "cd:4M,public:rest" >/dev/null
done
"$q" domains QZWAIT0011 >/dev/null 2>"$work/err" || { cat "$work/err"; fail "domains of a drive"; }
out=$("$q" list)
echo "$out"
[ "$(grep -c '^QZWAIT00' <<<"$out")" = 12 ] || fail "list does not show all twelve drives"
[ "$(grep -o '[D-Z]:\\ -> ' <<<"$out" | sort -u | wc -l)" = 23 ] || fail "not 23 distinct roots"
[ "$(grep -o '(no letter) -> ' <<<"$out" | wc -l)" = 1 ] || fail "not one volume without a letter"
# The drive with that volume answers too: its lettered volume has its root,
# the other none.
short=$(grep '(no letter) -> ' <<<"$out" | cut -d' ' -f1)
rc=0; out=$("$q" --log domains "$short" 2>"$work/err") || rc=$?
echo "$out"
[ "$rc" = 0 ] || { cat "$work/err"; fail "domains of $short exited $rc"; }
[ "$(grep -cE ' [D-Z]:\\$' <<<"$out")" = 1 ] && [ "$(grep -cE ' -$' <<<"$out")" = 1 ] \
  || fail "domains of $short: one root and one volume without"
grep -q "no drive letter left for" "$work/err" || fail "the log does not say a letter was missing"
echo "wait checks passed"
