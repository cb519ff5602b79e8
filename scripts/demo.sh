#!/usr/bin/env bash
# The main job: RestoreQz restoring an emulated opted-out drive, and the
# library at work, shown through qzctl.
set -euo pipefail
build=${1:-build}
bin="$build/bin"

say() { printf '\n== %s\n' "$*"; }

# The demo's own settings hive: the library's log files go under the build
# directory instead of the current one.
mkdir -p "$build/demo/logs"
# Absolute: the emulator's volume directories become the drive letters' targets.
state="$(cd "$build/demo" && pwd)"
export QZ_HKCU_HIVE="$state/hkcu.reg"
# The machine-wide hive too (the marker keys of drives seen), so the demo
# leaves nothing outside the build directory.
export QZ_HKLM_HIVE="$state/hklm.reg"
export QZ_HKCR_HIVE="$state/hkcr.reg"
cat > "$QZ_HKCU_HIVE" <<REG
[SOFTWARE\\NORK\\SDK]
"Logger"=dword:00000001
"LogFilePath"="$(cd "$state/logs" && pwd)"
REG

# The demo's own runtime directory: message names, broadcast sockets and the
# drive-letter table of this demo only.
export XDG_RUNTIME_DIR="$(cd "$state" && pwd)/run"
mkdir -p "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# The demo's own drive emulator: a daemon on a socket under the build
# directory, with one virtual drive (a CD domain and a public domain).
export QZ_EMU_SOCKET="$state/qzemud.sock"
"$bin/qzemud" --socket "$QZ_EMU_SOCKET" --state-dir "$state/drives" >/dev/null
trap '"$bin/qzemu" daemon stop >/dev/null 2>&1 || true' EXIT
if ! "$bin/qzemu" inspect QZDEMO0001 >/dev/null 2>&1; then
  "$bin/qzemu" create --serial QZDEMO0001 --capacity 64M --layout "cd:8M,public:rest" \
    --firmware 6.60 >/dev/null
fi

say "The library starts, classifies the platform and logs through its handler"
"$bin/qzctl" --log version

say "The library reads a virtual drive's identity through its SCSI executor"
"$bin/qzemu" list
"$bin/qzctl" inquiry qzemu:QZDEMO0001/0
"$bin/qzctl" inquiry qzemu:QZDEMO0001/1

say "The drive as a device object: identified, its domains and its services"
"$bin/qzctl" info qzemu:QZDEMO0001/0
"$bin/qzctl" domains qzemu:QZDEMO0001/0
"$bin/qzctl" services qzemu:QZDEMO0001/0

say "Drives as the system shows them: USB ids, interfaces, LUNs, drive roots"
"$bin/qzctl" list

say "The drive leaves the bus and comes back; a second process watching sees one update (code 7)"
"$bin/qzctl" watch --count 2 --timeout 60 &
watcher=$!
sleep 1
"$bin/qzctl" reconnect QZDEMO0001
wait "$watcher"

say "The restore road on a drive whose launcher was removed (one public domain)"
"$bin/qzemu" remove QZDEMO0002 >/dev/null 2>&1 || true
"$bin/qzemu" create --serial QZDEMO0002 --capacity 64M --layout "public:48M" \
  --firmware 6.60 >/dev/null
# Removing the launcher left the drive opted out: its integer cookie
# "OptedOut" of "Jx App" in the hidden area.
"$bin/qzctl" cookie set QZDEMO0002 "Jx App" OptedOut 1 --kind int
"$bin/qzctl" domains QZDEMO0002
"$bin/qzctl" capacity QZDEMO0002
free=$("$bin/qzctl" --json capacity QZDEMO0002 | sed 's/.*"freeBytes":\([0-9]*\).*/\1/')
echo "cookie [Jx App] OptedOut = $("$bin/qzctl" cookie get QZDEMO0002 "Jx App" OptedOut --kind int)"

say "RestoreQz, copied onto the drive's public volume and started from there"
program="$state/drives/QZDEMO0002/volumes/lun0/RestoreQz"
cp "$bin/RestoreQz" "$program"
echo "program: $program"
if [ -n "${DISPLAY:-}" ]; then
  echo "A window opens: press Restore Qz, acknowledge the notice, then the result."
  "$program" && echo "RestoreQz ended with 0" || echo "RestoreQz ended with $?"
else
  echo "No display: RestoreQz runs under Xvfb, pressed through AT-SPI as a screen reader would."
  notice=$(printf 'In order to restore the Qz smart drive capabilities of this USB drive it will be momentarily disconnected from your PC and then connected again. It\342\200\231s recommended that you save and close any files open from the Qz smart drive.')
  success=$(printf 'The Qz smart drive capabilities of this drive have been restored. \r\nClick on the Qz icon in the system tray to open the Qz Startdeck')
  shots="$state/screenshots"
  mkdir -p "$shots"
  export QZ_SCREENSHOT_TOOL="$bin/qz_screenshot"
  if QZ_ATSPI_TIMEOUT=60 sh tests/gui/display/run-display-test.sh "$bin/qz_atspi_client" "$program" \
      find "push button" "Restore Qz" shot "$shots/dialog.png" \
      press "push button" "Restore Qz" find label "$notice" shot "$shots/notice.png" \
      press "push button" "OK" shot "$shots/progress.png" \
      find label "$success" shot "$shots/success.png" press "push button" "OK" 2>&1 |
      grep -v dbus-daemon; then
    echo "RestoreQz: restored, the user saw the success message, the program ended with 0"
    echo "What the user saw: $shots/{dialog,notice,progress,success}.png"
  else
    echo "RestoreQz: the restore road did not complete (see above)"
  fi
fi
say "The drive after RestoreQz: its new CD domain covers the free capacity"
"$bin/qzctl" domains QZDEMO0002

say "The hidden area under the cookies: its pages and its chunk stream"
"$bin/qzctl" ha pages QZDEMO0002
"$bin/qzctl" ha dump QZDEMO0002

say "Status texts"
"$bin/qzctl" status 0 300 501 112

say "Vendor private commands framed for the wire"
"$bin/qzctl" frame qz 0x0102
"$bin/qzctl" frame zyk 0x0048 0x01 0x02

say "Device error codes named"
"$bin/qzctl" describe 0x00A40002
"$bin/qzctl" describe 0x01230000

say "The library's log file of the first run (settings in $QZ_HKCU_HIVE)"
ls -1t "$state/logs" | head -1 | sed "s|^|$state/logs/|" | xargs head -5
