#!/usr/bin/env bash
# Drive roots beside the directories of their volumes: `list` shows a
# volume's directory and gives it no drive letter (the letter table is left
# as it was); once device work has given letters, list and info show
# "X:\ -> DIR" and JSON carries both.
set -euo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
q="$bin/qzctl"
"$bin/qzemu" create --serial QZVOL0001 --capacity 16M --layout "cd:4M,public:rest" >/dev/null
vol="$work/drives/QZVOL0001/volumes"
letters="$XDG_RUNTIME_DIR/qz-dosdevices"
table() { { ls -A "$letters" 2>/dev/null || true; } | sort | tr "\n" " "; }

before=$(table)
out=$("$q" list)
echo "$out"
grep -qF "roots (no letter) -> $vol/lun0, (no letter) -> $vol/lun1  device" <<<"$out" \
  || fail "list: directories of volumes without letters"
out=$("$q" --json list)
grep -qF "\"roots\":[],\"volumes\":[{\"lun\":0,\"root\":null,\"directory\":\"$vol/lun0\"},{\"lun\":1,\"root\":null,\"directory\":\"$vol/lun1\"}]" \
  <<<"$out" || fail "list --json: $out"
[ "$(table)" = "$before" ] || fail "list changed the letter table: '$before' -> '$(table)'"

# Device work gives the volumes letters; list and info show them.
"$q" domains QZVOL0001 >/dev/null
[ -L "$letters/d:" ] && [ -L "$letters/e:" ] || fail "no letters after device work: $(table)"
before=$(table)
out=$("$q" list)
echo "$out"
grep -qF "roots D:\\ -> $vol/lun0, E:\\ -> $vol/lun1  device" <<<"$out" || fail "list with letters"
[ "$(table)" = "$before" ] || fail "list changed the letter table"
out=$("$q" info QZVOL0001)
grep -qxF "roots     D:\\ -> $vol/lun0, E:\\ -> $vol/lun1" <<<"$out" || fail "info: $out"
out=$("$q" --json info QZVOL0001)
grep -qF "\"roots\":[\"D:\\\\\",\"E:\\\\\"],\"volumes\":[{\"root\":\"D:\\\\\",\"directory\":\"$vol/lun0\"},{\"root\":\"E:\\\\\",\"directory\":\"$vol/lun1\"}]" \
  <<<"$out" || fail "info --json: $out"
echo "volume checks passed"
