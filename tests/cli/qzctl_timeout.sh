#!/usr/bin/env bash
# qzctl's operation time-out: with every command of the drive slowed to 3 s,
# a cookie write given --timeout 4 ends in about that time with exit 5 and
# says so (as JSON too); once the drive is quick again its store is whole
# and takes the write.
set -euo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
q="$bin/qzctl"
D=QZSLOW0001
"$bin/qzemu" create --serial $D --capacity 16M --layout "public:rest" --services "3:1,4:1,8:3" \
  >/dev/null
"$q" ha pages $D --convert >/dev/null
"$bin/qzemu" fault $D command-delay 3000 >/dev/null

start=$(date +%s)
rc=0; out=$("$q" --json cookie set $D App Count 7 --kind int --timeout 4 2>"$work/err") || rc=$?
took=$(($(date +%s) - start))
cat "$work/err"
[ "$rc" = 5 ] || fail "the slowed write answered $rc, not 5"
grep -q "^qzctl: timed out after 4 s" "$work/err" || fail "no time-out message"
[ "$out" = '{"error":"timed out after 4 s: the command did not finish in time","exitCode":5}' ] \
  || fail "JSON time-out: $out"
# Without the time-out the command ran for minutes; it must not outlast the
# time-out by much (a generous bound for a loaded machine).
[ "$took" -ge 4 ] && [ "$took" -le 30 ] || fail "ended after $took s"

"$bin/qzemu" fault $D clear >/dev/null
out=$("$q" ha dump $D) || fail "the store is not whole after the time-out"
grep -q 'the chunks tile the stream exactly' <<<"$out" || fail "ha dump after the time-out"
"$q" cookie set $D App Count 7 --kind int --timeout 60
[ "$("$q" cookie get $D App Count --kind int)" = 7 ] || fail "the write after the time-out"
echo "time-out checks passed"
