#!/usr/bin/env bash
# qzctl pa and trust against a running emulator: a private area created,
# files written into it through the volume while logged in, gone at logout
# and back at the next login, the password changed (the old one refused),
# the hint, a trusted computer's login with the host id kept 0600, the area
# made public; no password in the output, the JSON or the library's log.
# The first area is made with both parts formatted.
set -euo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
q="$bin/qzctl"
export XDG_CONFIG_HOME="$work/config"
pw='Tr1cky pass'
new='n3w-pass'
"$bin/qzemu" create --serial QZPACLI001 --capacity 16M --layout "public:rest" >/dev/null
vol="$work/drives/QZPACLI001/volumes/lun0"

out=$("$q" --json pa status QZPACLI001 0)
echo "$out"
grep -q '"privateArea":false' <<<"$out" || fail "no area at first"

out=$(echo "$pw" | "$q" --json --log pa create QZPACLI001 0 --size 4194304 --hint "the usual" \
    --format --password-stdin 2>"$work/log")
echo "$out"
grep -q '"privateArea":true,"loggedIn":false,"privateBytes":4194304,"publicBytes":12582912,"hint":"the usual"' \
    <<<"$out" || fail "the new area"

grep -q "formatting the private area - ok" "$work/log" || fail "the private part's format"
grep -q "Format succeeded" "$work/log" || fail "the formats"
echo "public file" >"$vol/public.txt"
echo "$pw" | "$q" --log pa login QZPACLI001 0 --password-stdin 2>>"$work/log" >/dev/null
[ ! -e "$vol/public.txt" ] || fail "the public part's file shows while logged in"
echo "private file" >"$vol/secret.txt"
"$q" pa logout QZPACLI001 0 >/dev/null
[ -e "$vol/public.txt" ] && [ ! -e "$vol/secret.txt" ] || fail "the volume after logout"
echo "$pw" | "$q" pa login QZPACLI001 0 --password-stdin >/dev/null
[ "$(cat "$vol/secret.txt")" = "private file" ] || fail "the private file after the next login"
out=$("$q" --json pa status QZPACLI001 0)
grep -q '"loggedIn":true' <<<"$out" || fail "logged in"

# A new password: the old one is refused by the drive (exit 3).
printf '%s\n%s\n' "$pw" "$new" | "$q" --log pa passwd QZPACLI001 0 --hint "newer" \
    --password-stdin 2>>"$work/log" >/dev/null
"$q" pa logout QZPACLI001 0 >/dev/null
rc=0; echo "$pw" | "$q" pa login QZPACLI001 0 --password-stdin 2>"$work/err" || rc=$?
[ "$rc" = 3 ] || fail "the old password answered $rc, not 3"
[ "$("$q" pa hint QZPACLI001 0)" = "$(printf 'domain 0: private area of 4194304 bytes, 12582912 public bytes, logged out\nhint: newer')" ] \
    || fail "the hint"

# A password is never an argument.
rc=0; "$q" pa login QZPACLI001 0 "$new" 2>/dev/null || rc=$?
[ "$rc" = 1 ] || fail "a password argument answered $rc, not 1"

# The trusted computer (where the machine has an identifier).
if [ -s /etc/machine-id ]; then
    echo "$new" | "$q" --log trust add QZPACLI001 0 --password-stdin 2>>"$work/log" >/dev/null
    id="$XDG_CONFIG_HOME/qz/trusted/QZPACLI001-0.id"
    [ "$(stat -c %a "$id")" = 600 ] || fail "the host id file's mode"
    out=$("$q" --json trust login QZPACLI001 0)
    grep -q '"loggedIn":true' <<<"$out" || fail "the trusted login"
    "$q" pa logout QZPACLI001 0 >/dev/null
fi

# Public only when the area fills the domain.
rc=0; echo "$new" | "$q" pa public QZPACLI001 0 --password-stdin 2>/dev/null || rc=$?
[ "$rc" = 3 ] || fail "making a partial area public answered $rc, not 3"
out=$("$q" --json pa remove QZPACLI001 0)
grep -q '"privateArea":false' <<<"$out" || fail "the removal"
echo "$pw" | "$q" pa create QZPACLI001 0 --size all --password-stdin >/dev/null
echo "$pw" | "$q" pa login QZPACLI001 0 --password-stdin >/dev/null
echo "kept" >"$vol/kept.txt"
out=$(echo "$pw" | "$q" --json pa public QZPACLI001 0 --password-stdin)
grep -q '"privateArea":false' <<<"$out" || fail "made public"
[ "$(cat "$vol/kept.txt")" = kept ] || fail "the area's file after it went public"

# No password in what qzctl printed or logged.
for secret in "$pw" "$new"; do
    ! grep -rqF "$secret" "$work/log" "$work/err" || fail "a password in the output or the log"
done
echo "qzctl pa and trust checks passed"
