#!/usr/bin/env bash
# qzctl format and wp against a running emulator: a public domain formatted
# with and without a partition table is clean to fsck.fat and carries files
# written and read back with mtools; the emulated volume's old files are
# gone; write protection switched on refuses a format, off allows it again;
# the refusals of the command line.
set -euo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
for tool in fsck.fat mcopy mmd od; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done

# The domain's volume out of the drive's image: from the first partition on
# (when $3 is "table"), else from the domain's first sector.
volume_of() {
    local serial=$1 sectors=$2 table=$3 image="$work/drives/$1/flash.img" start=0
    if [ "$table" = table ]; then
        start=$(od -An -t u4 -j $((0x1C6)) -N 4 "$image" | tr -d ' ')
    fi
    dd if="$image" of="$work/$serial.vol" bs=512 skip="$start" count=$((sectors - start)) \
        status=none
    echo "$work/$serial.vol"
}

# fsck.fat clean, a tree written and read back byte for byte, still clean.
check_volume() {
    local vol=$1
    fsck.fat -n "$vol" >"$work/fsck.out" 2>&1 || { cat "$work/fsck.out"; fail "fsck.fat on $vol"; }
    rm -rf "$work/tree" "$work/back"
    mkdir -p "$work/tree/sub" "$work/back"
    echo "a small file" >"$work/tree/a.txt"
    head -c 70000 /dev/urandom >"$work/tree/sub/b.bin"
    MTOOLS_SKIP_CHECK=1 mcopy -s -i "$vol" "$work/tree" ::/ || fail "mcopy onto $vol"
    MTOOLS_SKIP_CHECK=1 mcopy -s -i "$vol" ::/tree "$work/back" || fail "mcopy from $vol"
    diff -r "$work/tree" "$work/back/tree" || fail "the tree read back from $vol differs"
    fsck.fat -n "$vol" >"$work/fsck.out" 2>&1 || { cat "$work/fsck.out"; fail "fsck.fat after mcopy"; }
}

"$bin/qzemu" create --serial QZFMTCLI01 --capacity 16M --layout "public:10M" >/dev/null
echo "from before" >"$work/drives/QZFMTCLI01/volumes/lun0/old.txt"

# The files would be lost: without a terminal to ask, --yes is needed, and
# without it nothing is written.
before=$(md5sum <"$work/drives/QZFMTCLI01/flash.img")
rc=0; "$bin/qzctl" format QZFMTCLI01 0 </dev/null 2>"$work/err" || rc=$?
[ "$rc" = 1 ] && grep -q "destroy every file of QZFMTCLI01 domain 0 " "$work/err" &&
    grep -qF "mounted on $work/drives/QZFMTCLI01/volumes/lun0); with no terminal to ask, pass --yes" \
    "$work/err" || { cat "$work/err"; fail "a format without --yes: $rc"; }
[ "$(md5sum <"$work/drives/QZFMTCLI01/flash.img")" = "$before" ] || fail "an unconfirmed format wrote"
[ -e "$work/drives/QZFMTCLI01/volumes/lun0/old.txt" ] || fail "an unconfirmed format emptied the volume"
# On a terminal it asks: "n" keeps everything, "y" goes ahead.
answer="$(dirname "$0")/pty_answer.py"
rc=0; out=$(python3 "$answer" --answer "Go ahead?" n -- "$bin/qzctl" format QZFMTCLI01 0) || rc=$?
[ "$rc" = 1 ] && grep -q "not confirmed: nothing was changed" <<<"$out" || fail "answered no: $rc $out"
[ "$(md5sum <"$work/drives/QZFMTCLI01/flash.img")" = "$before" ] || fail "a format answered no wrote"
out=$(python3 "$answer" --answer "Go ahead?" y -- "$bin/qzctl" format QZFMTCLI01 0) || fail "answered yes: $out"
grep -q "formatted with" <<<"$out" || fail "answered yes: $out"

# Not a terminal: no progress on standard error, one JSON object on stdout;
# a label in lower case is written in upper case, as mkfs.fat writes it.
out=$("$bin/qzctl" --json format QZFMTCLI01 0 --label clivol --yes 2>"$work/err")
echo "$out"
grep -q '^{"domain":0,"root":"D:\\\\","fileSystem":"FAT1[26]","label":"CLIVOL","partitionTable":true}$' \
    <<<"$out" || fail "the format's JSON"
[ ! -s "$work/err" ] || { cat "$work/err"; fail "progress written to a standard error that is no terminal"; }
[ ! -e "$work/drives/QZFMTCLI01/volumes/lun0/old.txt" ] || fail "the old volume's file survived"
check_volume "$(volume_of QZFMTCLI01 20480 table)"

# FAT32 on the whole domain, no partition table.
"$bin/qzemu" create --serial QZFMTCLI02 --capacity 80M --layout "public:70M" >/dev/null
out=$("$bin/qzctl" format QZFMTCLI02 0 --fat fat32 --no-partition-table --yes)
echo "$out"
grep -q "formatted with FAT32" <<<"$out" || fail "a FAT32 format"
check_volume "$(volume_of QZFMTCLI02 143360 whole)"

# Write protection: on (the drive leaves the bus and comes back), a format
# refused, off, a format accepted.
out=$("$bin/qzctl" --json wp QZFMTCLI01 0 status)
grep -q '"writeProtected":false' <<<"$out" || fail "protection off at first"
out=$("$bin/qzctl" --json wp QZFMTCLI01 0 on)
echo "$out"
grep -q '"writeProtected":true' <<<"$out" || fail "protection on"
"$bin/qzemu" inspect QZFMTCLI01 | grep -q "0: type 2 flags 0x0001" || fail "the drive's flag"
rc=0; "$bin/qzctl" format QZFMTCLI01 0 2>"$work/err" || rc=$?
[ "$rc" = 8 ] && grep -q "write protected" "$work/err" \
    || { cat "$work/err"; fail "a format of a protected domain answered $rc, not 8"; }
out=$("$bin/qzctl" wp QZFMTCLI01 0 off)
grep -q "write protection off" <<<"$out" || fail "protection off"
"$bin/qzctl" format QZFMTCLI01 0 --yes >/dev/null || fail "a format after protection went off"

# The command line's refusals, and a domain the drive does not have.
for bad in "format QZFMTCLI01 0 --fat ntfs" "format QZFMTCLI01 zero" "wp QZFMTCLI01 0 maybe" \
    "wp QZFMTCLI01 0"; do
    rc=0; "$bin/qzctl" $bad --yes 2>/dev/null || rc=$?
    [ "$rc" = 1 ] || fail "'$bad' answered $rc, not 1"
done
# Labels a FAT volume cannot carry (fsck.fat would call them invalid) are
# refused before the drive is spoken to.
count() { "$bin/qzemu" inspect QZFMTCLI01 --json | grep -o '"command_count":[0-9]*'; }
before=$(count)
while IFS= read -r label; do
    rc=0; "$bin/qzctl" format QZFMTCLI01 0 --yes --label "$(printf "$label")" 2>/dev/null || rc=$?
    [ "$rc" = 1 ] || fail "label '$label' answered $rc, not 1"
done <<'LABELS'
A\nB
a/b*?
TWELVE_CHARS
\xc3\x84\xc3\x96
TAB\tX
x"y
LABELS
[ "$(count)" = "$before" ] || fail "a refused label reached the drive"
rc=0; "$bin/qzctl" format QZFMTCLI01 5 --yes 2>/dev/null || rc=$?
[ "$rc" = 3 ] || fail "a format of a missing domain answered $rc, not 3"

# A drive whose commands fail is not said to lack its services: the
# failure is named, with its exit code.
"$bin/qzemu" fault QZFMTCLI01 fail-next 4 >/dev/null
rc=0; "$bin/qzctl" format QZFMTCLI01 0 --yes 2>"$work/err" || rc=$?
[ "$rc" = 10 ] && grep -q "failed its identification" "$work/err" && ! grep -q "offers no" "$work/err" \
    || { cat "$work/err"; fail "a failing drive: $rc"; }
"$bin/qzemu" fault QZFMTCLI01 clear >/dev/null

# A drive that leaves the bus in the middle ends the format at once.
"$bin/qzemu" fault QZFMTCLI01 command-delay 30 >/dev/null
start=$(date +%s)
rc=0; "$bin/qzctl" format QZFMTCLI01 0 --yes --timeout 30 2>"$work/err" & pid=$!
sleep 1; "$bin/qzemu" fault QZFMTCLI01 drop >/dev/null
wait $pid || rc=$?
took=$(($(date +%s) - start))
[ "$rc" = 4 ] && grep -q "left the bus" "$work/err" || { cat "$work/err"; fail "a dropped drive: $rc"; }
[ "$took" -lt 15 ] || fail "a dropped drive ended the format after $took s"
"$bin/qzemu" fault QZFMTCLI01 clear >/dev/null
"$bin/qzemu" plug QZFMTCLI01 >/dev/null
# Two formats of one domain at once, slowed so that they overlap: the one
# that takes the volume's lock holds it for its whole write, the other is
# refused at once (it ends while the first still writes) with exit 12; the
# domain holds the winner's file system, whole, every round, and its volume
# is mounted again afterwards.
"$bin/qzemu" create --serial QZFMTLCK01 --capacity 64M --layout public:all >/dev/null
"$bin/qzctl" format QZFMTLCK01 0 --yes >/dev/null || fail "the first format of QZFMTLCK01"
"$bin/qzemu" fault QZFMTLCK01 command-delay 20 >/dev/null
for round in 1 2 3; do
    "$bin/qzctl" format QZFMTLCK01 0 --fat fat32 --label AAA --yes >"$work/a.out" 2>"$work/a.err" &
    a=$!
    "$bin/qzctl" format QZFMTLCK01 0 --fat fat --no-partition-table --label BBB --yes \
        >"$work/b.out" 2>"$work/b.err" &
    b=$!
    wait -n "$a" "$b" || true
    # The first to end is the refused one, while the other still writes.
    if kill -0 "$a" 2>/dev/null; then first=b winner=$a; else first=a winner=$b; fi
    kill -0 "$winner" 2>/dev/null || fail "round $round: both formats ended before either was refused"
    rc_a=0; wait "$a" || rc_a=$?
    rc_b=0; wait "$b" || rc_b=$?
    if [ "$first" = b ]; then won=a rc_won=$rc_a rc_lost=$rc_b; else won=b rc_won=$rc_b rc_lost=$rc_a; fi
    [ "$rc_won" = 0 ] || { cat "$work/$won.err"; fail "round $round: the format holding the lock: $rc_won"; }
    [ "$rc_lost" = 12 ] && grep -q "in use by another program" "$work/$first.err" \
        || { cat "$work/$first.err"; fail "round $round: the second format answered $rc_lost, not 12"; }
    if [ "$won" = a ]; then
        vol=$(volume_of QZFMTLCK01 131072 table); label=AAA
    else
        vol=$(volume_of QZFMTLCK01 131072 whole); label=BBB
    fi
    fsck.fat -n "$vol" >"$work/fsck.out" 2>&1 || { cat "$work/fsck.out"; fail "round $round: fsck.fat"; }
    grep -q "$label" "$work/$won.out" || fail "round $round: the winner's label"
    [ -d "$work/drives/QZFMTLCK01/volumes/lun0" ] || fail "round $round: the volume is not mounted again"
done
"$bin/qzemu" fault QZFMTLCK01 clear >/dev/null

# A format while another program holds the volumes (qzctl volumes --lock) is
# refused at once, nothing written, and the volume comes back when released.
"$bin/qzctl" volumes QZFMTLCK01 --lock >"$work/lock.out" 2>"$work/lock.err" </dev/null &
holder=$!
for _ in $(seq 1 100); do
    grep -q "press Enter" "$work/lock.err" 2>/dev/null && break
    sleep 0.1
done
grep -q "press Enter" "$work/lock.err" || fail "volumes --lock did not say it holds the lock"
before=$(md5sum <"$work/drives/QZFMTLCK01/flash.img")
rc=0; "$bin/qzctl" format QZFMTLCK01 0 --yes --timeout 20 2>"$work/err" || rc=$?
[ "$rc" = 12 ] && grep -q "in use by another program" "$work/err" \
    || { cat "$work/err"; fail "a format beside volumes --lock answered $rc, not 12"; }
[ "$(md5sum <"$work/drives/QZFMTLCK01/flash.img")" = "$before" ] || fail "a refused format wrote"
kill -TERM "$holder"
wait "$holder" || fail "volumes --lock did not end cleanly"
[ -d "$work/drives/QZFMTLCK01/volumes/lun0" ] || fail "the volume is not back after volumes --lock"
"$bin/qzctl" format QZFMTLCK01 0 --yes --timeout 20 >/dev/null || fail "a format after the lock ended"
[ -d "$work/drives/QZFMTLCK01/volumes/lun0" ] || fail "the volume is not mounted after a format"
echo "qzctl format and wp checks passed"
