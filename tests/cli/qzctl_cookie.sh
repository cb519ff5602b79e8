#!/usr/bin/env bash
# qzctl's cookie and hidden-area commands against a running emulator: the
# three kinds set, read, dumped and removed; the area's pages and chunk map
# before and after; the refusals and their exit codes.
set -euo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
q="$bin/qzctl"
"$bin/qzemu" create --serial QZCOOKIE01 --capacity 16M --layout "public:rest" \
  --services "3:1,4:1,8:3" --hidden-pages 40 >/dev/null

# A new drive's area shows no format (version 1): the reading commands say
# so and leave every byte of it as it was.
hidden="$work/drives/QZCOOKIE01/hidden.img"
before=$(md5sum <"$hidden")
out=$("$q" --json ha pages QZCOOKIE01)
[ "$out" = '{"storedVersion":1,"driveVersion":3,"converted":false}' ] || fail "unconverted pages: $out"
for args in "cookie get QZCOOKIE01 S K" "cookie dump QZCOOKIE01" "ha dump QZCOOKIE01"; do
  rc=0; err=$($q $args 2>&1) || rc=$?
  [ "$rc" = 9 ] && grep -q "version 1 .*left as it is" <<<"$err" || fail "'$args' on version 1: $rc $err"
done
[ "$(md5sum <"$hidden")" = "$before" ] || fail "a reading command wrote the hidden area"

# --convert formats it: a blank version-3 area, the index page and one free
# chunk over 39 pages.
out=$("$q" --json ha pages QZCOOKIE01 --convert)
echo "$out"
grep -q '"storedVersion":3,"driveVersion":3,"pages":40,"streamPages":39,"index":\[\]' <<<"$out" \
  || fail "the blank area's pages"

"$q" cookie set QZCOOKIE01 "Jx App" OptedOut 1 --kind int
"$q" cookie set QZCOOKIE01 "Jx App" OptedOut "yes, \"really\"" --kind string
"$q" cookie set QZCOOKIE01 "Jx App" Blob "0a 0B:ff" --kind binary
"$q" --kind int cookie set QZCOOKIE01 Other Count -- -2147483648
long=$(head -c 1200 /dev/zero | tr '\0' L)
"$q" cookie set QZCOOKIE01 Other Long "$long" --kind string

[ "$("$q" cookie get QZCOOKIE01 "Jx App" OptedOut --kind int)" = 1 ] || fail "the integer"
[ "$("$q" cookie get QZCOOKIE01 "Jx App" Blob --kind binary)" = "0A 0B FF" ] || fail "the binary"
[ "$("$q" cookie get QZCOOKIE01 Other Count --kind int)" = -2147483648 ] || fail "the lowest integer"
[ "$("$q" cookie get QZCOOKIE01 Other Long --kind string)" = "$long" ] || fail "a value over pages"
# The same names as two kinds are two cookies; without --kind both show.
out=$("$q" --json cookie get QZCOOKIE01 "Jx App" OptedOut)
echo "$out"
[ "$out" = '[{"section":"Jx App","key":"OptedOut","kind":"int","value":1},{"section":"Jx App","key":"OptedOut","kind":"string","value":"yes, \"really\""}]' ] \
  || fail "both kinds of one name"

out=$("$q" cookie dump QZCOOKIE01)
echo "$out" | cut -c1-80
grep -q '^\[Jx App\] Blob (binary) = 0A 0B FF$' <<<"$out" || fail "dump: the binary"
grep -qE '^5 cookies, [0-9]+ bytes free$' <<<"$out" || fail "dump: the count"
"$q" cookie dump QZCOOKIE01 --file "$work/dump.txt" >/dev/null
grep -q 'OptedOut = 1' "$work/dump.txt" || fail "the store's dump file"
grep -q '^Hidden area free space = ' "$work/dump.txt" || fail "the dump file's free space"

# The chunk map: five cookies then free space, tiling the stream; the long
# string crosses from page 1 into page 3.
out=$("$q" ha dump QZCOOKIE01)
echo "$out"
[ "$(grep -c ' cookie ' <<<"$out")" = 5 ] || fail "ha dump: five cookie chunks"
grep -q 'the chunks tile the stream exactly' <<<"$out" || fail "ha dump: tiling"
out=$("$q" --json ha dump QZCOOKIE01)
grep -q '"wholeStream":true' <<<"$out" || fail "ha dump --json"

# Removal: one name (every kind), then a section; what is left and the space.
"$q" cookie rm QZCOOKIE01 "Jx App" OptedOut
rc=0; "$q" cookie get QZCOOKIE01 "Jx App" OptedOut 2>/dev/null || rc=$?
[ "$rc" = 9 ] || fail "a removed cookie answered $rc, not 9"
"$q" cookie rm QZCOOKIE01 Other
out=$("$q" --json cookie dump QZCOOKIE01)
echo "$out"
grep -q '^{"cookies":\[{"section":"Jx App","key":"Blob","kind":"binary","value":"0A 0B FF"}\],"freeBytes":' \
  <<<"$out" || fail "what the removals left"
rc=0; "$q" cookie rm QZCOOKIE01 Other 2>/dev/null || rc=$?
[ "$rc" = 9 ] || fail "removing an absent section answered $rc, not 9"

# A power cut tearing a new cookie's header after its first byte, where the
# free chunk it splits is larger than 255 bytes: the header then mixes two
# sizes and the stream breaks there. The area is made one free chunk with
# Blob at its start (24 bytes), so the tear keeps the page's 4-byte mode
# word, Blob and one byte. The chunk map stops at the break and says so with
# exit 3; the cookie before the break still reads. (The drive answers the
# torn write with an error, as a cut drive would.)
"$q" cookie rm QZCOOKIE01 "Jx App" Blob
"$q" cookie set QZCOOKIE01 "Jx App" Blob 0a0bff --kind binary
"$bin/qzemu" fault QZCOOKIE01 tear-page 2 29 >/dev/null
rc=0; "$q" cookie set QZCOOKIE01 A b 7 --kind int 2>/dev/null || rc=$?
[ "$rc" = 6 ] || fail "the cut write answered $rc, not 6 (refused by the drive)"
rc=0; out=$("$q" ha dump QZCOOKIE01) || rc=$?
echo "$out" | tail -1
[ "$rc" = 3 ] && grep -q 'what follows is not reached' <<<"$out" || fail "a broken stream: $rc"
[ "$("$q" cookie get QZCOOKIE01 "Jx App" Blob --kind binary)" = "0A 0B FF" ] \
  || fail "the cookie before the break"

# Usage errors (1), an absent drive (2), a drive without a cookie store (3).
for args in "cookie set QZCOOKIE01 S K 1" "cookie set QZCOOKIE01 S K 0x1G --kind int" \
  "cookie set QZCOOKIE01 S K 4294967296 --kind int" "cookie set QZCOOKIE01 S K abc --kind binary" \
  "cookie get QZCOOKIE01 S K --kind float" "cookie get QZCOOKIE01 S" "cookie frob" "ha"; do
  rc=0; $q $args 2>/dev/null || rc=$?
  [ "$rc" = 1 ] || fail "'$args' answered $rc, not 1"
done
rc=0; "$q" cookie get qzemu:NOSUCHDRIVE/0 S K 2>/dev/null || rc=$?
[ "$rc" = 2 ] || fail "an absent drive answered $rc, not 2"
"$bin/qzemu" create --serial QZCOOKIE02 --capacity 16M --layout "public:rest" \
  --services "3:1,4:1" >/dev/null
rc=0; err=$("$q" ha pages QZCOOKIE02 2>&1) || rc=$?
[ "$rc" = 3 ] && grep -q "offers no cookie store" <<<"$err" || fail "no cookie store: $rc $err"
echo "qzctl cookie checks passed"
