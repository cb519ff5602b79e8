# Sourced by the CLI checks: a private qzemud for this script, stopped and
# cleaned up when the script ends. Sets $bin, $work and the environment the
# library and the tools read.
bin=$1
work=$(mktemp -d "${QZ_TEST_TMP:-/tmp}/qzctl-cli.XXXXXX")
export QZ_EMU_SOCKET="$work/s.sock"
export QZ_HKCU_HIVE="$work/hkcu.reg"
"$bin/qzemud" --socket "$QZ_EMU_SOCKET" --state-dir "$work/drives" >/dev/null || exit 1
trap '"$bin/qzemu" daemon stop >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
