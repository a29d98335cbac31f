#!/usr/bin/python3
# A ScreenCast portal of the test's own on the session bus, for the portal
# screen source without a compositor: every answer is given at once, the
# streams are the nodes on the command line, the remote is the PipeWire
# socket given. Logs each call with its options, one line each.
#
#   fake_portal.py LOG PIPEWIRE_SOCKET FAILED_STARTS NODE[@X,Y]...
import socket
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

log_path, pipewire, failures = sys.argv[1], sys.argv[2], int(sys.argv[3])
streams = []
for arg in sys.argv[4:]:
    node, _, where = arg.partition("@")
    props = {}
    if where:
        x, y = (int(v) for v in where.split(","))
        props["position"] = GLib.Variant("(ii)", (x, y))
    streams.append((int(node), props))
starts = 0

XML = """<node><interface name="org.freedesktop.portal.ScreenCast">
<method name="CreateSession"><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
<method name="SelectSources"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
  <arg type="o" direction="out"/></method>
<method name="Start"><arg type="o" direction="in"/><arg type="s" direction="in"/>
  <arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
<method name="OpenPipeWireRemote"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
  <arg type="h" direction="out"/></method>
<property name="version" type="u" access="read"/>
<property name="AvailableCursorModes" type="u" access="read"/>
<property name="AvailableSourceTypes" type="u" access="read"/>
</interface></node>"""


def on_call(connection, sender, path, interface, method, params, invocation):
    global starts
    options = params.unpack()[-1]
    with open(log_path, "a") as log:
        print(method, " ".join(f"{k}={v}" for k, v in sorted(options.items())), file=log)
    if method == "OpenPipeWireRemote":
        remote = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        remote.connect(pipewire)
        fds = Gio.UnixFDList.new_from_array([remote.detach()])
        invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (0,)), fds)
        return
    name = sender[1:].replace(".", "_")
    request = f"/org/freedesktop/portal/desktop/request/{name}/{options['handle_token']}"
    code, results = 0, {}
    if method == "CreateSession":
        results["session_handle"] = GLib.Variant(
            "s", f"/org/freedesktop/portal/desktop/session/{name}/{options['session_handle_token']}")
    elif method == "Start":
        starts += 1
        if starts <= failures:
            code = 2  # a backend that fell over
        else:
            results["streams"] = GLib.Variant("a(ua{sv})", streams)
            results["restore_token"] = GLib.Variant("s", f"fake-token-{starts}")
    invocation.return_value(GLib.Variant("(o)", (request,)))
    connection.emit_signal(sender, request, "org.freedesktop.portal.Request", "Response",
                           GLib.Variant("(ua{sv})", (code, results)))


def on_property(connection, sender, path, interface, name):
    return GLib.Variant("u", {"version": 4, "AvailableCursorModes": 3}.get(name, 1))


bus = Gio.bus_get_sync(Gio.BusType.SESSION)
info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
bus.register_object("/org/freedesktop/portal/desktop", info, on_call, on_property, None)
Gio.bus_own_name_on_connection(bus, "org.freedesktop.portal.Desktop", 0, None, None)
GLib.MainLoop().run()
