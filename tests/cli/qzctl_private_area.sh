#!/usr/bin/env bash
# qzctl pa and trust against a running emulator: a private area created,
# files written into it through the volume while logged in, gone at logout
# and back at the next login, the password changed (the old one refused),
# the hint, a trusted computer's login with the host id kept 0600, the area
# made public; no password in the output, the JSON or the library's log.
# The first area is made with both parts formatted.
# Then what guards the secrets: every secret goes inside a secure session
# (a drive whose proof fails gets none), passwords are read strictly and
# with usage errors before any drive is touched, destructive verbs ask, and
# on a terminal a new password is asked twice.
set -euo pipefail
source "$(dirname "$0")/emulator_fixture.sh" "$1"
q="$bin/qzctl"
answer="python3 $(dirname "$0")/pty_answer.py"
export XDG_CONFIG_HOME="$work/config"
pw='Tr1cky pass'
new='n3w-pass'
D=QZPACLI001
"$bin/qzemu" create --serial $D --capacity 16M --layout "public:rest" >/dev/null
vol="$work/drives/$D/volumes/lun0"
commands() { "$bin/qzemu" --json inspect $D | grep -o '"command_count":[0-9]*'; }
state() { "$q" --json pa status $D 0; }

out=$("$q" --json pa status $D 0)
echo "$out"
grep -q '"privateArea":false' <<<"$out" || fail "no area at first"

# A new password is given twice.
out=$(printf '%s\n%s\n' "$pw" "$pw" | "$q" --json --log pa create $D 0 --size 4194304 \
    --hint "the usual" --format --yes --password-stdin 2>"$work/log")
echo "$out"
grep -q '"privateArea":true,"loggedIn":false,"privateBytes":4194304,"publicBytes":12582912,"hint":"the usual"' \
    <<<"$out" || fail "the new area"

grep -q "formatting the private area - ok" "$work/log" || fail "the private part's format"
grep -q "Format succeeded" "$work/log" || fail "the formats"
# The format's login went inside the session, opened before and ended after.
grep -q "success to open secure session" "$work/log" || fail "no session for pa create"
grep -q "success to terminate secure session" "$work/log" || fail "pa create's session not ended"
echo "public file" >"$vol/public.txt"
echo "$pw" | "$q" --log pa login $D 0 --password-stdin 2>"$work/login.log" >/dev/null
grep -q "success to open secure session" "$work/login.log" || fail "no session for pa login"
cat "$work/login.log" >>"$work/log"
[ ! -e "$vol/public.txt" ] || fail "the public part's file shows while logged in"
echo "private file" >"$vol/secret.txt"
"$q" pa logout $D 0 >/dev/null
[ -e "$vol/public.txt" ] && [ ! -e "$vol/secret.txt" ] || fail "the volume after logout"
echo "$pw" | "$q" pa login $D 0 --password-stdin >/dev/null
[ "$(cat "$vol/secret.txt")" = "private file" ] || fail "the private file after the next login"
grep -q '"loggedIn":true' <<<"$(state)" || fail "logged in"

# A new password: the current one, then the new one twice; the old one is
# then refused by the drive (exit 6, the drive's reason).
printf '%s\n%s\n%s\n' "$pw" "$new" "$new" | "$q" --log pa passwd $D 0 --hint "newer" \
    --password-stdin 2>>"$work/log" >/dev/null
"$q" pa logout $D 0 >/dev/null
rc=0; echo "$pw" | "$q" pa login $D 0 --password-stdin 2>"$work/err" || rc=$?
[ "$rc" = 6 ] || fail "the old password answered $rc, not 6"
grep -q "PRA__Open Error code: WRONG_PSWD" "$work/err" || fail "the drive's reason: $(cat "$work/err")"
[ "$("$q" pa hint $D 0)" = "$(printf 'domain 0: private area of 4194304 bytes, 12582912 public bytes, logged out\nhint: newer')" ] \
    || fail "the hint"

# A password is never an argument.
rc=0; "$q" pa login $D 0 "$new" 2>/dev/null || rc=$?
[ "$rc" = 1 ] || fail "a password argument answered $rc, not 1"

# The trusted computer (where the machine has an identifier).
id="$XDG_CONFIG_HOME/qz/trusted/$D-0.id"
if [ -s /etc/machine-id ]; then
    echo "$new" | "$q" --log trust add $D 0 --password-stdin 2>>"$work/log" >/dev/null
    [ "$(stat -c %a "$id")" = 600 ] || fail "the host id file's mode"
    out=$("$q" --json trust login $D 0)
    grep -q '"loggedIn":true' <<<"$out" || fail "the trusted login"
    "$q" pa logout $D 0 >/dev/null
fi

# Usage errors are found before any drive is touched: the drive's command
# counter does not move. Each row: standard input, what the error says, the
# command's words.
usage() {
    local input=$1 says=$2 before after rc=0
    shift 2
    before=$(commands)
    printf "$input" | "$q" "$@" 2>"$work/err" >/dev/null || rc=$?
    after=$(commands)
    [ "$rc" = 1 ] || fail "$* answered $rc, not 1: $(cat "$work/err")"
    grep -qF -- "$says" "$work/err" || fail "$*: $(cat "$work/err")"
    [ "$before" = "$after" ] || fail "$* touched the drive ($before, then $after)"
}
create=(pa create $D 0 --password-stdin --yes)
for size in -1 abc 1e6 0 18446744073709551616 '2^64' ''; do
    usage 'p1\np1\n' "--size takes" "${create[@]}" --size "$size"
done
usage 'p1\np1\n' "needs --size" "${create[@]}"
usage 'p1\n' "two lines" "${create[@]}" --size all
usage '' "two lines" "${create[@]}" --size all
usage 'p1\np1\np1\n' "two lines" "${create[@]}" --size all
usage 'p1\np2\n' "differ" "${create[@]}" --size all
usage '\n\n' "no password given" "${create[@]}" --size all
usage 'p1\np1\n' "at most 32" "${create[@]}" --size all --hint "$(printf '%033d' 0)"
usage 'pw7\0junk\n' "NUL byte" pa login $D 0 --password-stdin
usage 'pw\377\n' "not valid UTF-8" pa login $D 0 --password-stdin
usage 'p1\np2\n' "one line" pa login $D 0 --password-stdin
usage '' "one line" pa login $D 0 --password-stdin
usage "$new\n$new\n" "three lines" pa passwd $D 0 --password-stdin
usage "$new\np1\np2\n" "differ" pa passwd $D 0 --password-stdin
usage "$new\n\n\n" "no password given" pa passwd $D 0 --password-stdin
usage "$new\n$new\n" "one line" pa public $D 0 --password-stdin --yes
usage '' "one line" trust add $D 0 --password-stdin
# A size the domain cannot hold is the library's refusal (exit 7).
rc=0; printf 'p1\np1\n' | "$q" pa create $D 0 --size 16777217 --password-stdin --force \
    2>"$work/err" || rc=$?
[ "$rc" = 7 ] || fail "a size beyond the domain answered $rc, not 7: $(cat "$work/err")"
grep -q '"privateBytes":4194304' <<<"$(state)" || fail "the area after a size beyond the domain"

# A drive whose session proof does not verify gets no secret: every secret
# verb ends with exit 11 and changes nothing.
"$bin/qzemu" fault $D wrong-session-proof on >/dev/null
secretVerb() {
    local input=$1 rc=0
    shift
    printf "$input" | "$q" --log "$@" 2>"$work/err" >/dev/null || rc=$?
    [ "$rc" = 11 ] || fail "$* with a wrong proof answered $rc, not 11: $(tail -3 "$work/err")"
    grep -q "the drive could not be authenticated" "$work/err" || fail "$*: $(tail -3 "$work/err")"
    ! grep -q "success to open secure session" "$work/err" || fail "$*: a session opened"
    grep -q "device keys verification failed" "$work/err" || fail "$*: which step failed"
}
secretVerb "$new\n" pa login $D 0 --password-stdin
secretVerb "$new\np1\np1\n" pa passwd $D 0 --password-stdin
secretVerb "$new\n" pa public $D 0 --password-stdin --yes
secretVerb 'p1\np1\n' pa create $D 0 --size all --password-stdin --yes --force
if [ -s /etc/machine-id ]; then
    secretVerb '' trust login $D 0
    rm "$id"
    secretVerb "$new\n" trust add $D 0 --password-stdin
    [ ! -e "$id" ] || fail "a host id from a drive that was not authenticated"
fi
"$bin/qzemu" fault $D wrong-session-proof off >/dev/null
grep -q '"privateArea":true,"loggedIn":false,"privateBytes":4194304' <<<"$(state)" \
    || fail "the area after the wrong proofs: $(state)"
echo "$new" | "$q" pa login $D 0 --password-stdin >/dev/null || fail "the password after them"
"$q" pa logout $D 0 >/dev/null

# Destroying files asks; without a terminal, --yes is needed and nothing
# changes without it.
for verb in "pa remove $D 0" "pa create $D 0 --size all --force --format --password-stdin"; do
    # A session of its own has no terminal to ask.
    rc=0; printf 'p1\np1\n' | setsid -w $q $verb 2>"$work/err" || rc=$?
    [ "$rc" = 1 ] || fail "$verb without --yes answered $rc, not 1"
    grep -q "pass --yes" "$work/err" || fail "$verb: $(cat "$work/err")"
    grep -qE "$D domain 0 \\([D-Z]:\\\\ mounted on $vol\\)" "$work/err" || fail "$verb names: $(cat "$work/err")"
done
grep -q '"privateArea":true,"loggedIn":false,"privateBytes":4194304' <<<"$(state)" \
    || fail "the area after unconfirmed verbs"

# On a terminal: a new password is asked twice, and two different entries
# send nothing; the question before destroying files is answered there.
if command -v python3 >/dev/null && [ -r /proc/self/syscall ]; then
    before=$(commands)
    rc=0; $answer --answer "Current password: " "$new" --answer "New password: " p1 \
        --answer "again: " p2 -- "$q" pa passwd $D 0 >"$work/tty.out" || rc=$?
    [ "$rc" = 1 ] || fail "different entries answered $rc: $(cat "$work/tty.out")"
    grep -q "differ" "$work/tty.out" || fail "different entries: $(cat "$work/tty.out")"
    [ "$before" = "$(commands)" ] || fail "different entries touched the drive"
    rc=0; $answer --answer "[y/N] " n -- "$q" pa remove $D 0 >"$work/tty.out" || rc=$?
    [ "$rc" = 1 ] || fail "a refused question answered $rc: $(cat "$work/tty.out")"
    grep -q '"privateBytes":4194304' <<<"$(state)" || fail "the area after a refused question"
    $answer --answer "New password: " "$pw" --answer "again: " "$pw" --answer "[y/N] " y \
        -- "$q" pa create $D 0 --size all --force --format >"$work/tty.out" \
        || fail "pa create on a terminal: $(cat "$work/tty.out")"
    grep -qE "$D domain 0 \\([D-Z]:\\\\ mounted on $vol\\)" "$work/tty.out" || fail "the question names"
    $answer --answer "Password: " "$pw" -- "$q" pa login $D 0 >"$work/tty.out" \
        || fail "the terminal's password: $(cat "$work/tty.out")"
    "$q" pa logout $D 0 >/dev/null
    cat "$work/tty.out" >>"$work/err"
else
    echo "skipped the terminal checks: no python3 or no /proc/PID/syscall"
fi

# Public only when the area fills the domain.
"$q" pa remove $D 0 --force --yes >/dev/null
printf '%s\n%s\n' "$pw" "$pw" | "$q" pa create $D 0 --size 4194304 --password-stdin >/dev/null
rc=0; echo "$pw" | "$q" pa public $D 0 --password-stdin --yes 2>/dev/null || rc=$?
[ "$rc" = 7 ] || fail "making a partial area public answered $rc, not 7"
out=$("$q" --json pa remove $D 0 --yes)
grep -q '"privateArea":false' <<<"$out" || fail "the removal"
printf '%s\n%s\n' "$pw" "$pw" | "$q" pa create $D 0 --size all --password-stdin >/dev/null
echo "$pw" | "$q" pa login $D 0 --password-stdin >/dev/null
echo "kept" >"$vol/kept.txt"
out=$(echo "$pw" | "$q" --json --log pa public $D 0 --password-stdin --yes 2>>"$work/log")
grep -q '"privateArea":false' <<<"$out" || fail "made public"
[ "$(cat "$vol/kept.txt")" = kept ] || fail "the area's file after it went public"

# No password in what qzctl printed or logged.
for secret in "$pw" "$new"; do
    ! grep -rqF "$secret" "$work/log" "$work/err" || fail "a password in the output or the log"
done
echo "qzctl pa and trust checks passed"
