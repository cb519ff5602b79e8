#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, checks what lands there, and
# builds an application against it as a user would: with pkg-config and with
# find_package(Nork), shared and static.
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR LIBDIR CXX [FLAGS]
set -uo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake=$1 build=$2 src=$3 libdir=$4 cxx=$5 flags=${6:-}
scratch=${QZ_TEST_TMP:-${TMPDIR:-/tmp}}
mkdir -p "$scratch" || fail "cannot create $scratch"
work=$(mktemp -d "$scratch/install.XXXXXX") || fail "no scratch directory"
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install"; }

for f in "$libdir/libnork.a" "$libdir/libnork.so" "$libdir/libnork.so.4" \
         include/nork/SDK.h include/nork/Status.h include/nork/qz/Cookie.h \
         include/nork/Version.h "$libdir/pkgconfig/nork.pc" \
         "$libdir/cmake/Nork/NorkConfig.cmake" "$libdir/cmake/Nork/NorkConfigVersion.cmake" \
         bin/qzctl bin/qzemu bin/qzemud \
         share/man/man1/qzctl.1 share/man/man1/qzemu.1 share/man/man1/qzemud.1 \
         lib/udev/rules.d/70-qz-drives.rules; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
done
readelf -d "$prefix/$libdir/libnork.so" | grep -q 'SONAME.*\[libnork\.so\.4\]' ||
    fail "libnork.so has no soname libnork.so.4"

pc() { PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config "$@" nork; }
pc --exists || fail "pkg-config does not find nork"

# Only the public headers (and the generated version header) are installed,
# and together they compile with nothing but the installed Cflags.
while IFS= read -r h; do
    rel=${h#"$prefix/include/nork/"}
    [ "$h" != "$rel" ] || fail "header outside include/nork: $h"
    [ -f "$src/sdk/inc/$rel" ] || [ "$rel" = Version.h ] || fail "internal header installed: $rel"
    echo "#include <$rel>" >>"$work/all_headers.cpp"
done < <(find "$prefix" -name '*.h')
# shellcheck disable=SC2046
"$cxx" -std=c++20 -fsyntax-only $(pc --cflags) "$work/all_headers.cpp" ||
    fail "the installed headers do not compile on their own"
# Nothing installed points back into the source or build tree.
if grep -rlF -e "$src" -e "$build" "$prefix/$libdir/pkgconfig" "$prefix/$libdir/cmake"; then
    fail "installed package files name the source or build tree"
fi

# The application's run touches only its scratch directory.
export QZ_HKCU_HIVE=$work/hkcu.reg QZ_HKLM_HIVE=$work/hklm.reg QZ_HKCR_HIVE=$work/hkcr.reg
export QZ_EMU_SOCKET=$work/no-daemon.sock XDG_CONFIG_HOME=$work/config
export XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
run() {
    local out
    out=$(LD_LIBRARY_PATH="$prefix/$libdir" "$1") || fail "$1 exited with $?"
    [ "$out" = "Device is not ready" ] || fail "$1 printed '$out'"
}

# pkg-config: the shared library by default.
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 $flags "$src/tests/install/consumer/main.cpp" -o "$work/app_pc" \
    $(pc --cflags --libs) || fail "building with pkg-config"
readelf -d "$work/app_pc" | grep -q 'NEEDED.*\[libnork\.so\.4\]' || fail "app_pc does not use libnork.so.4"
run "$work/app_pc"

# find_package(Nork): nork::nork (shared) and nork::nork_static.
"$cmake" -S "$src/tests/install/consumer" -B "$work/consumer" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/consumer.log" 2>&1 ||
    { cat "$work/consumer.log" >&2; fail "configuring with find_package(Nork)"; }
"$cmake" --build "$work/consumer" >"$work/consumer.log" 2>&1 ||
    { cat "$work/consumer.log" >&2; fail "building with find_package(Nork)"; }
readelf -d "$work/consumer/consumer_static" | grep -q 'NEEDED.*libnork' &&
    fail "consumer_static needs libnork.so"
run "$work/consumer/consumer_shared"
run "$work/consumer/consumer_static"
echo "install: ok"
