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

# A drive that comes back just as qzctl starts (the poller's start-up) is
# found; one still away once the poller listens is absent at once, never a
# wait that --timeout ends.
for round in 1 2 3 4 5; do
  "$bin/qzemu" unplug QZWAIT0000 >/dev/null
  start=$(date +%s%N)
  rc=0; "$q" domains QZWAIT0000 --timeout 15 >"$work/out" 2>"$work/err" & pid=$!
  sleep 0.02; "$bin/qzemu" plug QZWAIT0000 >/dev/null
  wait $pid || rc=$?
  took=$(( ($(date +%s%N) - start) / 1000000 ))
  if [ "$rc" = 0 ]; then
    grep -qE '^ +1 +public +1 ' "$work/out" || fail "round $round: domains of the returned drive"
  else
    [ "$rc" = 2 ] && grep -q "no drive QZWAIT0000 on the bus" "$work/err" \
      || { cat "$work/err"; fail "round $round: a returning drive answered $rc"; }
  fi
  [ "$took" -lt 8000 ] || fail "round $round: the answer took $took ms"
done
"$bin/qzemu" create --serial QZWAITAWAY --capacity 16M --layout "public:rest" >/dev/null
"$bin/qzemu" unplug QZWAITAWAY >/dev/null
rc=0; "$q" domains QZWAITAWAY --timeout 20 >/dev/null 2>"$work/err" || rc=$?
[ "$rc" = 2 ] && grep -q "no drive QZWAITAWAY on the bus" "$work/err" \
  || { cat "$work/err"; fail "an absent drive: $rc"; }
"$bin/qzemu" remove QZWAITAWAY >/dev/null

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
