#!/usr/bin/env bash
# qzctl's and qzemu's command lines: numbers read strictly and checked against
# each option's range, words and options a verb does not take, per-verb help
# and errors as JSON. A refused line is a usage error (exit 1) that sends
# nothing to the drive: its command count does not move.
set -euo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
q="$bin/qzctl"
D=QZLINE0001
"$bin/qzemu" create --serial $D --capacity 16M --layout "public:rest" >/dev/null
commands() { "$bin/qzemu" --json inspect $D | grep -o '"command_count":[0-9]*'; }

# "010" is ten (no octal); the parameter byte shows it.
"$q" frame zyk 0x48 010 | grep -q "FF 48 00 0A 00" || fail "010 is not read as ten"

before=$(commands)
# Each line is refused with 1. @ stands for a bad number of the option.
lines=(
  "watch --timeout @" "watch --count @" "reconnect $D --timeout @" "info $D --timeout @"
  "cookie set $D S K 1 --kind int --timeout @" "describe @" "frame qz @" "frame qz 1 @"
  "domain add $D --type cd --size @"
)
bad=("-1" " 5" "5 " "+5" "" "0x" "1e3" "18446744073709551616" "99999999999999999999999")
for line in "${lines[@]}"; do
  for n in "${bad[@]}"; do
    rc=0; eval "set -- ${line//@/\"\$n\"}"; "$q" "$@" >/dev/null 2>&1 || rc=$?
    [ "$rc" = 1 ] || fail "qzctl $line with \"$n\" answered $rc, not 1"
  done
done
# Out of each option's own range.
for line in "watch --timeout 0" "watch --timeout 86401" "watch --timeout 4294968" \
  "watch --count 0" "watch --count 4294967296" "reconnect $D --timeout 4294967296" \
  "reconnect $D --timeout 0" "describe 0x100000000" "frame zyk 0x10000" "frame zyk 1 256" \
  "status 2147483648" "status -2147483649" "cookie set $D S K 4294967296 --kind int" \
  "cookie set $D S K -2147483649 --kind int" "domain add $D --type cd --size 0" \
  "domain add $D --type cd --size 18446744073709551615"; do
  rc=0; $q $line >/dev/null 2>&1 || rc=$?
  [ "$rc" = 1 ] || fail "qzctl $line answered $rc, not 1"
done

# Words and options a verb does not take.
for line in "version extra" "list extra" "watch extra" "describe 1 2" "status" "frame qz" \
  "info $D extra" "inquiry $D extra" "domains $D x" "capacity $D x" "services $D x" \
  "domain add $D x --type cd --size rest" "domain $D" "cookie get $D S K x" \
  "cookie set $D S K V x --kind int" "cookie rm $D S K x" "cookie dump $D x" "ha pages $D x" \
  "ha dump $D x" "reconnect $D x" "cookie" "ha" "cookie frob $D" \
  "version --timeout 5" "list --hid" "describe 1 --kind int" "status 1 --count 2" "watch --hid" \
  "reconnect $D --kind int" "cookie rm $D S --kind int" "cookie get $D S K --file x" \
  "info $D --binary" "cookie dump $D --binary" "info $D --timeout 5 --timeout 6" "info $D -x" \
  "format $D" "format $D 0 x" "format $D 0 --kind int" "format $D 0 --fat" "wp $D 0" \
  "wp $D 0 on x" "wp $D 0 on --fat fat" "wp $D 0 --label L status" \
  "volumes" "volumes $D x" "volumes $D --lock --dismount" "volumes $D --unlock --lock" \
  "volumes $D --hid" "info $D --lock"; do
  rc=0; $q $line >/dev/null 2>&1 || rc=$?
  [ "$rc" = 1 ] || fail "qzctl $line answered $rc, not 1"
done
[ "$(commands)" = "$before" ] || fail "refused lines reached the drive: $before, now $(commands)"
"$bin/qzemu" inspect $D | grep -q "bus            attached" || fail "the drive left the bus"

# Per-verb help: exit 0 and the verb's own options named.
while IFS='|' read -r verb options; do
  out=$($q $verb --help) || fail "qzctl $verb --help failed"
  grep -q "^usage: qzctl $verb" <<<"$out" || fail "qzctl $verb --help: no usage line"
  for o in $options --json; do
    grep -qE -- "^  $o( |$)" <<<"$out" || fail "qzctl $verb --help does not name $o"
  done
  grep -q "^  4  the drive left the bus" <<<"$out" || fail "qzctl $verb --help: exit codes"
done <<'VERBS'
version|
info|--hid --timeout
cookie get|--kind --hid --timeout
cookie set|--kind --hid --timeout
cookie dump|--file --binary --timeout
cookie|--kind --file --binary --hid --timeout
domain add|--type --size --timeout
format|--fat --label --no-partition-table --timeout
wp|--timeout
watch|--count --timeout
reconnect|--timeout
list|--timeout
volumes|--lock --unlock --dismount --timeout
VERBS
$q help cookie | grep -q "^       qzctl cookie rm" || fail "help cookie lists cookie rm"
for verb in create list fault daemon; do
  "$bin/qzemu" $verb --help | grep -q "^usage: qzemu $verb" || fail "qzemu $verb --help"
done

# Errors as JSON on standard output, the text on stderr.
out=$($q --json info qzemu:NOSUCHDRIVE/0 2>"$work/err") && fail "an absent drive succeeded"
[ "$out" = '{"error":"cannot open qzemu:NOSUCHDRIVE/0: not found","exitCode":2}' ] \
  || fail "JSON error object: $out"
grep -q "^qzctl: cannot open qzemu:NOSUCHDRIVE/0: not found$" "$work/err" || fail "error text"
out=$($q watch --json --count -1 2>/dev/null) && fail "a negative count succeeded"
grep -q '^{"error":"--count takes a number from 1 to 4294967295, not \\"-1\\"","exitCode":1}$' \
  <<<"$out" || fail "JSON usage error: $out"
out=$("$bin/qzemu" --json fault $D command-delay -5 2>/dev/null) && fail "qzemu took -5"
grep -q '^{"error":"bad delay \\"-5\\" (0..4294967295) (qzemu --help)","exitCode":1}$' <<<"$out" \
  || fail "qzemu JSON usage error: $out"
for n in " 5" "010x" "0x" "4294967296"; do
  rc=0; "$bin/qzemu" fault $D command-delay "$n" >/dev/null 2>&1 || rc=$?
  [ "$rc" = 1 ] || fail "qzemu fault command-delay \"$n\" answered $rc, not 1"
done
echo "command-line checks passed"
