#!/bin/sh
# Runs a window program under its own X server and session bus with the
# accessibility bus up, and drives it with the AT-SPI client.
#
#   run-display-test.sh CLIENT PROGRAM STEP...
#   run-display-test.sh --alone PROGRAM [ARG...]
#
# STEPs are the client's (find/press/value ROLE NAME ...; each waits up to
# QZ_ATSPI_TIMEOUT seconds, default 30). The exit status is the client's when
# it failed, else the program's. With --alone the program runs by itself (a
# test binary that opens windows) and its status is the answer. 77 (skipped)
# when no X server can be started here.
set -u

if [ "${1:-}" = "--inner" ]; then
    marker=$2
    client=$3
    program=$4
    shift 4
    echo started >"$marker"
    # GTK 3 loads its AT-SPI bridge unless NO_AT_BRIDGE is set.
    unset NO_AT_BRIDGE
    export GTK_A11Y=atspi
    # A toolkit critical (a call on a wrong or dead widget) fails the test.
    progenv="G_DEBUG=fatal-criticals"
    /usr/libexec/at-spi-bus-launcher --launch-immediately &
    launcher=$!
    # The program looks the accessibility bus up when it starts.
    tries=0
    until dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            echo "run-display-test: the accessibility bus did not start" >&2
            kill $launcher 2>/dev/null
            exit 1
        fi
        sleep 0.1
    done
    # The registry must be up before the program's bridge announces itself:
    # an announcement made while it is still starting can be lost, and the
    # program then never appears on the desktop.
    a11y=$(dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress 2>/dev/null | tr -d ' ')
    tries=0
    until dbus-send --bus="$a11y" --print-reply --dest=org.a11y.atspi.Registry \
        /org/a11y/atspi/registry org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            echo "run-display-test: the accessibility registry did not start" >&2
            kill $launcher 2>/dev/null
            exit 1
        fi
        sleep 0.1
    done
    if [ "$client" = "--alone" ]; then
        env $progenv "$program" "$@"
        prc=$?
        kill $launcher 2>/dev/null
        wait $launcher 2>/dev/null
        exit $prc
    fi
    env $progenv "$program" &
    prog=$!
    "$client" --timeout "${QZ_ATSPI_TIMEOUT:-30}" --app "$(basename "$program")" "$@"
    crc=$?
    if [ $crc -ne 0 ]; then
        if kill -0 $prog 2>/dev/null; then
            echo "run-display-test: $(basename "$program") was still running" >&2
        else
            wait $prog
            echo "run-display-test: $(basename "$program") had ended with $?" >&2
        fi
        kill $prog 2>/dev/null
        wait $prog 2>/dev/null
        kill $launcher 2>/dev/null
        wait $launcher 2>/dev/null
        exit $crc
    fi
    wait $prog
    prc=$?
    kill $launcher 2>/dev/null
    wait $launcher 2>/dev/null
    [ $prc -ne 0 ] && echo "run-display-test: $(basename "$program") exited with $prc" >&2
    exit $prc
fi

if [ $# -lt 2 ]; then
    echo "usage: run-display-test.sh CLIENT PROGRAM STEP..." >&2
    exit 2
fi
for tool in xvfb-run Xvfb dbus-run-session dbus-send; do
    if ! command -v $tool >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed; no display test here"
        exit 77
    fi
done
if [ ! -x /usr/libexec/at-spi-bus-launcher ]; then
    echo "SKIP: at-spi-bus-launcher is not installed; no display test here"
    exit 77
fi
marker=$(mktemp "${TMPDIR:-/tmp}/qz-display.XXXXXX")
: >"$marker"
xvfb-run -a -s "-screen 0 1280x1024x24" dbus-run-session -- "$0" --inner "$marker" "$@"
rc=$?
if [ ! -s "$marker" ]; then
    rm -f "$marker"
    echo "SKIP: the X server (Xvfb) could not be started"
    exit 77
fi
rm -f "$marker"
exit $rc
