#!/usr/bin/env bash
# RestoreQz as a user meets it: an emulated opted-out drive, the program
# copied onto its public volume and started from there under its own X
# server, pressed through AT-SPI like a screen reader would.
#
#   restore_display.sh BIN_DIR HARNESS CASE
#
# CASE: success (one domain and the opt-out cookie: restored, exit 0, a CD
# domain of the whole free capacity), two-domains (3003), no-cookie (3023),
# fixed-disk (started from the build tree: 3014). Exit 77 when no X server
# can be started here.
set -uo pipefail
source "$(dirname "$0")/../../cli/emulator_fixture.sh" "$1"
harness=$2
case_name=$3
client="$bin/qz_atspi_client"
export QZ_TEST_TMP="$work"

notice=$(printf 'In order to restore the Qz smart drive capabilities of this USB drive it will be momentarily disconnected from your PC and then connected again. It\342\200\231s recommended that you save and close any files open from the Qz smart drive.')
success=$(printf 'The Qz smart drive capabilities of this drive have been restored. \r\nClick on the Qz icon in the system tray to open the Qz Startdeck')
configured='This flash drive is already configured as a smart drive with Qz software. Double-click LaunchQz.exe from the drive to run Qz.'
uninstalled=$(printf "Qz software can not be enabled, because it was uninstalled from this drive.\r\nVisit your flash drive manufacturer's website to download the Qz Startdeck Installer program or contact the drive manufacturer support.")
notRemovable='This program must be run from the USB drive on which you are trying to restore Qz. Please copy the program on the USB drive and run it from there.'

serial=QZRESTORE1
drive() { # layout, cookie (yes/no)
    "$bin/qzemu" create --serial $serial --capacity 64M --layout "$1" \
        --services "3:1,4:1,8:3" --hidden-pages 40 >/dev/null || fail "qzemu create"
    if [ "$2" = yes ]; then
        "$bin/qzctl" cookie set $serial "Jx App" OptedOut 1 --kind int >/dev/null || fail "cookie"
    fi
    "$bin/qzctl" domains $serial >/dev/null || fail "the drive is not seen"
    program="$work/drives/$serial/volumes/lun0/RestoreQz"
    cp "$bin/RestoreQz" "$program" || fail "copy onto the drive"
}
run() { # program, steps...
    local program=$1
    shift
    QZ_ATSPI_TIMEOUT=60 sh "$harness" "$client" "$program" "$@"
}

case $case_name in
success)
    drive "public:32M" yes
    run "$program" press "push button" "Restore Qz" find label "$notice" press "push button" "OK" \
        find label "$success" press "push button" "OK"
    rc=$?
    [ $rc = 77 ] && exit 77
    [ $rc = 0 ] || fail "the restore did not end with 0 ($rc)"
    layout=$("$bin/qzctl" domains $serial)
    echo "$layout"
    [ "$(grep -c '^ *[0-9]' <<<"$layout")" = 2 ] || fail "not two domains after the restore"
    grep -Eq '^ *1 +cd +1 +0x0000 +33554432 ' <<<"$layout" || fail "no CD domain of the free size"
    ;;
two-domains | no-cookie)
    if [ $case_name = two-domains ]; then
        drive "public:16M,public:16M" yes
        text=$configured
    else
        drive "public:32M" no
        text=$uninstalled
    fi
    before=$("$bin/qzctl" domains $serial)
    run "$program" press "push button" "Restore Qz" press "push button" "OK" \
        find label "$text" press "push button" "OK"
    rc=$?
    [ $rc = 77 ] && exit 77
    [ $rc = 0 ] || fail "the refusal did not end with 0 ($rc)"
    [ "$("$bin/qzctl" domains $serial)" = "$before" ] || fail "the drive changed"
    ;;
fixed-disk)
    run "$bin/RestoreQz" find label "$notRemovable" press "push button" "OK"
    rc=$?
    [ $rc = 77 ] && exit 77
    [ $rc = 0 ] || fail "the refusal did not end with 0 ($rc)"
    ;;
*) fail "unknown case $case_name" ;;
esac
echo "restore display check $case_name passed"
