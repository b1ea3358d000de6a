"""A stand-in desktop application for the preflight suite.

It owns com.velto.desktop.handoff on the session bus as a GApplication that
handles command lines, prints "ready PID" once it owns the name, logs each
remote command line as a JSON line and answers --request-idle-update-exit
with --answer; after answering 0 it ends --exit-after seconds later.

With --orphan the bus connection is made by a process that ends at once and
is carried on by its child, so the bus reports a process id that is gone.
With --bare it owns the name and serves nothing, as an older application would.
"""

import argparse
import json
import os
import socket
import sys

NAME = "com.velto.desktop.handoff"

options = argparse.ArgumentParser()
options.add_argument("--log", required=True)
options.add_argument("--answer", type=int, default=0)
options.add_argument("--exit-after", type=float, default=0.1)
options.add_argument("--orphan", action="store_true")
options.add_argument("--bare", action="store_true")
settings = options.parse_args()


def connect_raw():
    for entry in os.environ["DBUS_SESSION_BUS_ADDRESS"].split(";"):
        transport, _, rest = entry.partition(":")
        if transport != "unix":
            continue
        keys = dict(item.partition("=")[::2] for item in rest.split(","))
        target = keys.get("path") or ("\0" + keys["abstract"] if "abstract" in keys else None)
        if target is None:
            continue
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.connect(target)
        return sock
    raise SystemExit("no unix bus address")


def run_orphan():
    # Connect before forking: the bus takes the peer credentials of connect().
    # GLib is loaded only in the child, so no thread crosses the fork.
    sock = connect_raw()
    if os.fork() != 0:
        os._exit(0)
    import gi
    gi.require_version("Gio", "2.0")
    from gi.repository import Gio, GLib

    stream = Gio.Socket.new_from_fd(sock.detach()).connection_factory_create_connection()
    connection = Gio.DBusConnection.new_sync(
        stream, None,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
    loop = GLib.MainLoop()

    def acquired(*_):
        print(f"ready {os.getpid()}", flush=True)

    def lost(*_):
        loop.quit()

    Gio.bus_own_name_on_connection(connection, NAME, Gio.BusNameOwnerFlags.NONE,
                                   acquired, lost)
    loop.run()


def run_bare():
    import gi
    gi.require_version("Gio", "2.0")
    from gi.repository import Gio, GLib

    loop = GLib.MainLoop()
    Gio.bus_own_name(Gio.BusType.SESSION, NAME, Gio.BusNameOwnerFlags.NONE, None,
                     lambda *_: print(f"ready {os.getpid()}", flush=True),
                     lambda *_: loop.quit())
    loop.run()


def run_application():
    import gi
    gi.require_version("Gio", "2.0")
    from gi.repository import Gio, GLib

    application = Gio.Application(application_id=NAME,
                                  flags=Gio.ApplicationFlags.HANDLES_COMMAND_LINE)

    def on_command_line(app, command_line):
        if not command_line.get_is_remote():
            app.hold()
            print(f"ready {os.getpid()}", flush=True)
            return 0
        arguments = command_line.get_arguments()
        platform = command_line.get_platform_data()
        with open(settings.log, "a", encoding="utf-8") as log:
            log.write(json.dumps({"arguments": arguments,
                                  "platform": platform.unpack() if platform else {},
                                  "cwd": command_line.get_cwd()}) + "\n")
        if "--request-idle-update-exit" not in arguments[1:]:
            return 2
        if settings.answer == 0:
            GLib.timeout_add(int(settings.exit_after * 1000), app.quit)
        return settings.answer

    application.connect("command-line", on_command_line)
    return application.run(["fake-desktop"])


if settings.orphan:
    run_orphan()
elif settings.bare:
    run_bare()
else:
    sys.exit(run_application())
