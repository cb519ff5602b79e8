#!/usr/bin/env bash
# RestoreQz as a user meets it: an emulated opted-out drive, the program
# copied onto its public volume and started from there under its own X
# server, pressed through AT-SPI like a screen reader would.
#
#   restore_display.sh BIN_DIR HARNESS CASE
#
# CASE: success (one domain and the opt-out cookie: restored, exit 0, a CD
# domain of the whole free capacity), two-domains (3003), no-cookie (3023),
# fixed-disk (started from the build tree: 3014), pulled-out (the drive is
# pulled out while the program waits for it: the program ends, the drive is
# left as it was), gone-for-good (the drive leaves to reconnect and never
# comes back: the program says the domain could not be added, never that it
# was restored), languages (the dialog in English, German, Japanese and
# Arabic: the system's locale setting names each in turn, and the locales
# are compiled into LOCPATH; closed with its Cancel button). Exit 77 when no
# X server can be started here.
#
# Screenshots of what the user saw go to $QZ_SCREENSHOT_DIR (made by CMake
# under the build directory) when it is set.
set -uo pipefail
source "$(dirname "$0")/../../cli/emulator_fixture.sh" "$1"
harness=$2
case_name=$3
client="$bin/qz_atspi_client"
export QZ_TEST_TMP="$work"
export QZ_SCREENSHOT_TOOL="$bin/qz_screenshot"
shots=${QZ_SCREENSHOT_DIR:-$work/shots}
mkdir -p "$shots" || fail "cannot create $shots"

notice=$(printf 'In order to restore the Qz smart drive capabilities of this USB drive it will be momentarily disconnected from your PC and then connected again. It\342\200\231s recommended that you save and close any files open from the Qz smart drive.')
success=$(printf 'The Qz smart drive capabilities of this drive have been restored. \r\nClick on the Qz icon in the system tray to open the Qz Startdeck')
configured='This flash drive is already configured as a smart drive with Qz software. Double-click LaunchQz.exe from the drive to run Qz.'
progress=$(printf 'Please wait while the Qz smart drive capabilities of this drive are being restored. Do not remove the drive until the process is complete. \r\nThis process will take about 1 minute.')
addFailed='Configuration problem. Failed to add domain'
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
    QZ_ATSPI_TIMEOUT=${step_timeout:-60} sh "$harness" "$client" "$program" "$@"
}

case $case_name in
success)
    drive "public:32M" yes
    # Away for a moment while it reconnects, as a real drive is.
    "$bin/qzemu" fault $serial reattach-delay 1500 >/dev/null || fail "fault"
    run "$program" find "push button" "Restore Qz" shot "$shots/ready.png" \
        press "push button" "Restore Qz" find label "$notice" shot "$shots/notice.png" \
        press "push button" "OK" find label "$progress" shot "$shots/progress.png" \
        find label "$success" shot "$shots/success.png" press "push button" "OK"
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
        find label "$text" shot "$shots/$case_name.png" press "push button" "OK"
    rc=$?
    [ $rc = 77 ] && exit 77
    [ $rc = 0 ] || fail "the refusal did not end with 0 ($rc)"
    [ "$("$bin/qzctl" domains $serial)" = "$before" ] || fail "the drive changed"
    ;;
pulled-out)
    drive "public:32M" yes
    before=$("$bin/qzctl" domains $serial)
    # Slow answers keep the program waiting for its drive long enough to pull
    # it out before anything is asked of it.
    "$bin/qzemu" fault $serial command-delay 1500 >/dev/null || fail "fault"
    run "$program" press "push button" "Restore Qz" find label "$notice" press "push button" "OK" \
        find label "$progress" run "'$bin/qzemu' unplug $serial" ended
    rc=$?
    [ $rc = 77 ] && exit 77
    [ $rc = 0 ] || fail "the program did not end with 0 when its drive was pulled out ($rc)"
    "$bin/qzemu" fault $serial clear >/dev/null || fail "fault clear"
    "$bin/qzemu" plug $serial >/dev/null || fail "plug"
    [ "$("$bin/qzctl" domains $serial)" = "$before" ] || fail "the drive changed"
    ;;
gone-for-good)
    drive "public:32M" yes
    "$bin/qzemu" fault $serial never-reattach on >/dev/null || fail "fault"
    # The library waits a minute for a drive to come back after a change.
    step_timeout=100
    run "$program" press "push button" "Restore Qz" find label "$notice" press "push button" "OK" \
        find label "$addFailed" shot "$shots/gone-for-good.png" press "push button" "OK" ended
    rc=$?
    [ $rc = 77 ] && exit 77
    [ $rc = 0 ] || fail "the program did not end with 0 ($rc)"
    ;;
languages)
    drive "public:32M" yes
    strings="$(dirname "$0")/../../../restore/res/strings"
    text() { sed -n "s/^$2 //p" "$strings/$1.txt"; }
    export LOCPATH="$work/locales"
    mkdir -p "$LOCPATH" || fail "cannot create $LOCPATH"
    unset LC_ALL LC_MESSAGES
    for pair in en_US:1033 de_DE:1031 ja_JP:1041 ar_SA:1025; do
        locale=${pair%%:*}
        id=${pair##*:}
        localedef -i $locale -f UTF-8 "$LOCPATH/$locale.UTF-8" >/dev/null 2>&1 ||
            fail "cannot compile the locale $locale (localedef, the locales package)"
        echo "LANG=$locale.UTF-8" >"$work/locale-setting"
        QZ_LOCALE_SETTING="$work/locale-setting" LANG=$locale.UTF-8 \
            run "$program" find label "$(text $id 3007)" find link "$(text $id 3008)" \
            shot "$shots/dialog-$locale.png" press "push button" "$(text $id 3011)" ended
        rc=$?
        [ $rc = 77 ] && exit 77
        [ $rc = 0 ] || fail "the dialog in $locale did not show or close ($rc)"
    done
    ;;
fixed-disk)
    run "$bin/RestoreQz" find label "$notRemovable" shot "$shots/fixed-disk.png" \
        press "push button" "OK"
    rc=$?
    [ $rc = 77 ] && exit 77
    [ $rc = 0 ] || fail "the refusal did not end with 0 ($rc)"
    ;;
*) fail "unknown case $case_name" ;;
esac
echo "restore display check $case_name passed"
