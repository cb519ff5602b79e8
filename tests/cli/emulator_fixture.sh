# Sourced by the CLI checks: a private qzemud for this script, stopped and
# cleaned up when the script ends. Sets $bin, $work and the environment the
# library and the tools read.
fail() { echo "FAIL: $*" >&2; exit 1; }

bin=$1
scratch=${QZ_TEST_TMP:-/tmp}
mkdir -p "$scratch" || fail "cannot create $scratch"
work=$(mktemp -d "$scratch/qzctl-cli.XXXXXX") || fail "cannot create a scratch directory"
[ -n "$work" ] && [ -d "$work" ] || fail "no scratch directory"
export QZ_EMU_SOCKET="$work/s.sock"
export QZ_HKCU_HIVE="$work/hkcu.reg"
export QZ_HKLM_HIVE="$work/hklm.reg"
export QZ_HKCR_HIVE="$work/hkcr.reg"
# Message names, broadcast sockets and drive letters of this script only.
export XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
"$bin/qzemud" --socket "$QZ_EMU_SOCKET" --state-dir "$work/drives" >/dev/null || fail "qzemud"
# The daemon may still write its drives' state for a moment after its socket
# closes: the scratch directory is removed with a few tries, and the
# script's own status is kept (a cleanup must not turn a pass into a fail).
cleanup() {
    "$bin/qzemu" daemon stop >/dev/null 2>&1 || true
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        rm -rf "$work" 2>/dev/null && return 0
        sleep 0.2
    done
    echo "warning: could not remove $work" >&2
}
trap 'rc=$?; cleanup; exit $rc' EXIT
