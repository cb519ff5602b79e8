#!/usr/bin/python3
"""A stand-in for udisks2 on a private bus, for the volume tests (a real
udisksd needs a system bus, udev and root, which a unit test cannot have).

Usage: udisks_standin.py BUS_ADDRESS CALL_LOG READY_FILE BLOCK[=MOUNTPOINT]...

Serves org.freedesktop.UDisks2 with a Filesystem interface on
/org/freedesktop/UDisks2/block_devices/BLOCK for each BLOCK given. Unmount
and Mount append "Unmount BLOCK" / "Mount BLOCK" to CALL_LOG; Mount answers
MOUNTPOINT. A block given as BLOCK=!busy refuses Unmount with udisks2's
DeviceBusy error. READY_FILE is written once the name is owned.
"""
import sys

from gi.repository import Gio, GLib

INTERFACE = """
<node>
  <interface name="org.freedesktop.UDisks2.Filesystem">
    <method name="Mount">
      <arg name="options" type="a{sv}" direction="in"/>
      <arg name="mount_path" type="s" direction="out"/>
    </method>
    <method name="Unmount">
      <arg name="options" type="a{sv}" direction="in"/>
    </method>
  </interface>
</node>
"""


def main():
    address, call_log, ready_file = sys.argv[1:4]
    blocks = {}
    for arg in sys.argv[4:]:
        name, _, mount_point = arg.partition("=")
        blocks[name] = mount_point
    bus = Gio.DBusConnection.new_for_address_sync(
        address,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None,
        None,
    )
    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]

    def on_call(_conn, _sender, path, _iface, method, _params, invocation):
        block = path.rsplit("/", 1)[-1]
        with open(call_log, "a") as log:
            log.write(f"{method} {block}\n")
        if method == "Unmount" and blocks[block] == "!busy":
            invocation.return_dbus_error(
                "org.freedesktop.UDisks2.Error.DeviceBusy", "target is busy"
            )
        elif method == "Mount":
            invocation.return_value(GLib.Variant("(s)", (blocks[block],)))
        else:
            invocation.return_value(None)

    for name in blocks:
        bus.register_object(
            "/org/freedesktop/UDisks2/block_devices/" + name, info, on_call, None, None
        )
    loop = GLib.MainLoop()

    def on_name(_conn, _name):
        with open(ready_file, "w") as ready:
            ready.write("ready\n")

    Gio.bus_own_name_on_connection(
        bus, "org.freedesktop.UDisks2", Gio.BusNameOwnerFlags.NONE, on_name, None
    )
    loop.run()


if __name__ == "__main__":
    main()
