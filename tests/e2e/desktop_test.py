#!/usr/bin/python3
"""The desktop as a person uses it: the real `launch`, not headless, against
quillpost-service, on a private X server, session bus and accessibility bus,
with a small tray host on the bus.

One scenario with checkpoints: started with no account, the window opens
with the sign-in form; a wrong password shows the service's message there,
the demo account signs in (kept in the account file, 0600) and the Status tab
(read through the accessibility tree) shows Handshaked, the account, the
computer, the GUI log newest first and the clock warning (the service's Date
is 3 hours ahead), and the tray item's tooltip says Handshaked; the Printers
tab lists the queues of a private print scheduler; on the Scales tab,
"Enable scales" reaches the scales agent and a serial scale (a pseudo-terminal
this test writes readings into) shows its live reading;
Reconnect now from the tray menu reconnects; when the service goes away and
comes back the tooltip, the icon and the tab follow while the item's Status
stays Active; the autostart check box writes and removes the entry; a job
the client refuses needs the person (its look, a notification); Sign out
forgets the key and the item needs the person (its own icon, a notification
as its attention icon); Quit from the tray menu ends the program with exit code 0
and the close line. Started again with --disable-systray, the window shows at
once with no tray item and the form; a client key signs in, and Quit from the
window's menu ends it the same way.

    desktop_test.py BUILD_DIR       exit 0: passed, 77: skipped (tools missing)
    desktop_test.py --tray-host     the tray host (run by the test itself)

With QP_SCREENSHOTS=DIR the test also writes the window as the person sees it
into DIR (sign-in.png, status.png, printers.png, jobs.png, scales.png), taken from the X
server's frame buffer (docs/screenshots/ holds the ones of the README).
"""
import os
import struct
import zlib
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
COMPUTER = "desk-pc"
WATCHER = "org.kde.StatusNotifierWatcher"
ITEM_IFACE = "org.kde.StatusNotifierItem"
PROPS_IFACE = "org.freedesktop.DBus.Properties"
AT_SPI_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def tray_host():
    """A StatusNotifierWatcher: records the items that register and prints
    "registered SERVICE" for each. Its Introspect declares the properties,
    which Qt reads through an introspecting proxy."""
    import dbus
    import dbus.service
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    items = []
    xml = """<node><interface name="org.kde.StatusNotifierWatcher">
<method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
<method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/>
<signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
<signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
<signal name="StatusNotifierHostRegistered"/>
</interface>
<interface name="org.freedesktop.DBus.Properties">
<method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
<method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
</interface>
<interface name="org.freedesktop.DBus.Introspectable">
<method name="Introspect"><arg type="s" direction="out"/></method>
</interface></node>"""

    class Watcher(dbus.service.Object):
        def properties(self):
            return {
                "RegisteredStatusNotifierItems": dbus.Array(items, signature="s"),
                "IsStatusNotifierHostRegistered": dbus.Boolean(True),
                "ProtocolVersion": dbus.Int32(0),
            }

        @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
        def RegisterStatusNotifierItem(self, service, sender=None):
            path = service if service.startswith("/") else "/StatusNotifierItem"
            name = sender if service.startswith("/") else service
            items.append(name + path)
            print("registered", name, path, flush=True)

        @dbus.service.method(WATCHER, in_signature="s")
        def RegisterStatusNotifierHost(self, service):
            pass

        @dbus.service.method(PROPS_IFACE, in_signature="ss", out_signature="v")
        def Get(self, interface, name):
            return self.properties()[name]

        @dbus.service.method(PROPS_IFACE, in_signature="s", out_signature="a{sv}")
        def GetAll(self, interface):
            return self.properties()

        @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
        def Introspect(self):
            return xml

    name = dbus.service.BusName(WATCHER, bus)
    watcher = Watcher(bus, "/StatusNotifierWatcher")
    print("ready", flush=True)
    GLib.MainLoop().run()
    del name, watcher


class Failure(Exception):
    pass


def wait_for(what, probe, timeout=20.0, interval=0.1):
    """Polls `probe` until it returns a true value; fails naming `what`."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            last = probe()
            if last:
                return last
        except Exception as e:  # the peer may not be there yet
            last = e
        time.sleep(interval)
    raise Failure(f"timed out waiting for {what} (last: {last!r})")


def missing_tools():
    for tool in ("Xvfb", "dbus-daemon", "cupsd"):
        if not shutil.which(tool):
            return f"{tool} is not installed"
    if not os.access(AT_SPI_LAUNCHER, os.X_OK):
        return f"{AT_SPI_LAUNCHER} is not installed (at-spi2-core)"
    for module in ("dbus", "gi", "pyatspi"):
        try:
            __import__(module)
        except ImportError:
            return f"the Python module {module} is not installed"
    return None


class Processes:
    """Every child of the test, ended in reverse order of start."""

    def __init__(self):
        self.children = []
        self.endings = []

    def on_end(self, ending):
        self.endings.append(ending)

    def start(self, args, **kwargs):
        child = subprocess.Popen(args, **kwargs)
        self.children.append(child)
        return child

    def end_all(self):
        for ending in self.endings:
            ending()
        for child in reversed(self.children):
            if child.poll() is None:
                child.terminate()
                try:
                    child.wait(5)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()


def end_scheduler(cups_dir):
    """Kills the private scheduler at once: its directory goes with the test."""
    try:
        with open(os.path.join(cups_dir, "run/cupsd.pid"), encoding="ascii") as f:
            os.kill(int(f.read().strip()), signal.SIGKILL)
    except (OSError, ValueError):
        pass


def first_line(child, what, timeout=10.0):
    """The child's first line of standard output."""
    ready, _, _ = select.select([child.stdout], [], [], timeout)
    if not ready:
        raise Failure(f"{what} printed nothing")
    return child.stdout.readline().strip()


def drain(child):
    """Reads the rest of the child's output on a thread, so that a full pipe
    never stops it; returns the list the lines go to."""
    lines = []
    threading.Thread(target=lambda: lines.extend(child.stdout), daemon=True).start()
    return lines


def screenshot(fb_dir, frame, name):
    """Writes the window `frame` as a PNG into $QP_SCREENSHOTS, from Xvfb's
    frame buffer file (XWD, 32 bits a pixel); nothing without the variable."""
    out_dir = os.environ.get("QP_SCREENSHOTS")
    if not out_dir:
        return
    import pyatspi

    time.sleep(0.5)  # the last change painted
    with open(os.path.join(fb_dir, "Xvfb_screen0"), "rb") as f:
        data = f.read()
    fields = struct.unpack(">25I", data[:100])
    header_size, width, height = fields[0], fields[4], fields[5]
    bits_per_pixel, bytes_per_line, ncolors = fields[11], fields[12], fields[19]
    if bits_per_pixel != 32:
        raise Failure(f"the frame buffer has {bits_per_pixel} bits a pixel")
    pixels = header_size + 12 * ncolors
    box = frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    left, top = max(box.x, 0), max(box.y, 0)
    right, bottom = min(box.x + box.width, width), min(box.y + box.height, height)
    raw = bytearray()
    for y in range(top, bottom):
        row = data[pixels + y * bytes_per_line + 4 * left:pixels + y * bytes_per_line + 4 * right]
        rgb = bytearray(len(row) // 4 * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::4], row[1::4], row[0::4]
        raw += b"\0" + rgb

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + \
            struct.pack(">I", zlib.crc32(kind + body) & 0xffffffff)

    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, name + ".png"), "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" +
                chunk(b"IHDR", struct.pack(">IIBBBBB", right - left, bottom - top, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def scale_writer(work):
    """A serial scale that prints its reading on its own, several times a
    second: a pseudo-terminal whose other end the client opens as it would
    /dev/ttyUSB0. Returns the terminal's path."""
    master, slave = os.openpty()
    os.set_blocking(master, False)

    def write():
        while True:
            try:
                os.write(master, b"ST,GS,   1.250 kg\r\n")
            except BlockingIOError:
                pass  # nobody reads while the scales are off
            time.sleep(0.2)

    threading.Thread(target=write, daemon=True).start()
    return os.ttyname(slave)


def run(build_dir, work, procs):
    env = dict(os.environ)
    runtime_dir = os.path.join(work, "runtime")
    os.mkdir(runtime_dir, 0o700)
    env.update(XDG_RUNTIME_DIR=runtime_dir, XDG_CONFIG_HOME=os.path.join(work, "config"))
    env.pop("WAYLAND_DISPLAY", None)

    # The private X server picks a free display and says which.
    read_fd, write_fd = os.pipe()
    fb_dir = os.path.join(work, "fb")
    os.mkdir(fb_dir)
    procs.start(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24",
                 "-nolisten", "tcp", "-nocursor", "-fbdir", fb_dir], pass_fds=[write_fd],
                stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as display:
        env["DISPLAY"] = ":" + display.readline().strip()

    bus = procs.start(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
    env["DBUS_SESSION_BUS_ADDRESS"] = first_line(bus, "dbus-daemon")
    procs.start([AT_SPI_LAUNCHER, "--launch-immediately"], env=env,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    tray = procs.start([sys.executable, __file__, "--tray-host"], stdout=subprocess.PIPE,
                       text=True, env=env)
    if first_line(tray, "the tray host") != "ready":
        raise Failure("the tray host did not start")

    def start_service(http_port="0", socket_port="0"):
        """quillpost-service, its clock 3 hours ahead, and its HTTP, socket and
        control ports."""
        child = procs.start([os.path.join(build_dir, "bin/quillpost-service"), "--http-port",
                             http_port, "--socket-port", socket_port, "--control-port", "0",
                             "--clock-offset", "10800"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = first_line(child, "quillpost-service")
        drain(child)
        ports = re.search(r"http=([0-9.]+):(\d+) .*socket=[0-9.]+:(\d+) control=[0-9.]+:(\d+)",
                          line)
        if not ports:
            raise Failure(f"quillpost-service says {line!r}")
        return child, ports

    service, ports = start_service()
    env["QUILLPOST_SERVICE_URL"] = f"http://{ports.group(1)}:{ports.group(2)}"
    # A private print scheduler with the queues Desk and Lab.
    cups_dir = os.path.join(work, "cups")
    cups = subprocess.run([os.path.join(SOURCE_DIR, "scripts/cups-scheduler"), cups_dir, "start"],
                          capture_output=True, text=True)
    if cups.returncode != 0:
        raise Failure(f"the print scheduler did not start: {cups.stderr}")
    procs.on_end(lambda: end_scheduler(cups_dir))
    env["CUPS_SERVER"] = os.path.join(cups_dir, "run/cups.sock")
    env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"

    settings = os.path.join(work, "settings")
    config = os.path.join(work, "client.conf")
    with open(config, "w", encoding="utf-8") as f:
        f.write(f'serial_scales = "{scale_writer(work)} 9600 8N1 continuous"\n')
    client_args = [os.path.join(build_dir, "bin/launch"), "--computer-name=" + COMPUTER,
                   "--settings-dir=" + settings, "--settings-dir-create", "--config-file=" + config]
    client = procs.start(client_args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, env=env)
    output = drain(client)

    # Checkpoint 1: the tray item registers, and its tooltip follows the client.
    registered = first_line(tray, "the tray host (no item registered)", timeout=20).split()
    if registered[:1] != ["registered"]:
        raise Failure(f"the tray host saw {registered}")
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = env["DBUS_SESSION_BUS_ADDRESS"]
    os.environ["DISPLAY"] = env["DISPLAY"]
    import dbus

    session = dbus.bus.BusConnection(env["DBUS_SESSION_BUS_ADDRESS"])
    item = session.get_object(registered[1], registered[2])
    properties = dbus.Interface(item, PROPS_IFACE)

    def tooltip():
        # (icon name, icon pixmaps, title, text)
        tip = properties.Get(ITEM_IFACE, "ToolTip")
        return str(tip[2]) + " " + str(tip[3])

    import pyatspi

    def window():
        """The shown window of the running client."""
        for app in pyatspi.Registry.getDesktop(0):
            if app is None or app.get_process_id() != client.pid:
                continue
            for frame in app:
                if frame is not None and frame.name == "QuillPost" and \
                        frame.getState().contains(pyatspi.STATE_SHOWING):
                    return frame
        return None

    # Checkpoint 2: with no account the window opens by itself on the
    # sign-in form. A wrong password gets the service's message there; the
    # demo account signs in and is kept, readable by its owner alone.
    frame = wait_for("the window QuillPost to show the sign-in form", window)
    form = {a.name or a.description: a for a in widgets(frame)
            if a.getState().contains(pyatspi.STATE_SHOWING)}
    if not {"E-mail", "Password", "Client key", "Sign in"} <= form.keys():
        raise Failure(f"the sign-in form shows {sorted(form)}")
    message = next(a for a in widgets(frame) if a.description == "Sign-in message")
    expect_reachable(form.values())
    screenshot(fb_dir, frame, "sign-in")

    def sign_in(email, password):
        form["E-mail"].queryEditableText().setTextContents(email)
        form["Password"].queryEditableText().setTextContents(password)
        form["Sign in"].queryAction().doAction(0)

    sign_in("demo@quillpost.test", "not-the-password")
    wait_for("the form to show the service's refusal",
             lambda: message.name == "Invalid email or password.")
    sign_in("demo@quillpost.test", "demo")
    account_file = os.path.join(settings, "account.json")
    wait_for("the account file", lambda: os.path.exists(account_file))
    if os.stat(account_file).st_mode & 0o777 != 0o600:
        raise Failure(f"the account file's mode is {os.stat(account_file).st_mode & 0o777:o}")

    wait_for("the tooltip to say Handshaked", lambda: "QuillPost: Handshaked" in tooltip())
    title = str(properties.Get(ITEM_IFACE, "Title"))
    if "QuillPost" not in title:
        raise Failure(f"the tray item's title is {title!r}")
    menu_path = properties.Get(ITEM_IFACE, "Menu")
    menu = dbus.Interface(session.get_object(registered[1], menu_path), "com.canonical.dbusmenu")
    _, layout = menu.GetLayout(0, -1, [])
    entries = {str(child[1].get("label", "")): int(child[0]) for child in layout[2]}
    if not {"Open QuillPost", "Reconnect now", "Quit"} <= entries.keys():
        raise Failure(f"the tray menu holds {sorted(entries)}")

    def click(label):
        menu.Event(entries[label], "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))

    # The Status tab shows the state, the account and the computer;
    # activating the tray item keeps the window open.
    dbus.Interface(item, ITEM_IFACE).Activate(0, 0)
    frame = wait_for("the window QuillPost to show", window)
    found = widgets(frame)
    labels = {a.description: a for a in found if a.getRoleName() == "label" and a.description}
    trees = {a.name: a.queryTable() for a in found if a.getRoleName() == "tree"}

    def value(description):
        return labels[description].name

    wait_for("the Status tab to say Handshaked", lambda: value("State") == "Handshaked")
    account, computer = value("Account"), value("Computer")
    if not re.fullmatch(r"demo@quillpost\.test \(account \d+\)", account or ""):
        raise Failure(f"the Status tab's account is {account!r}")
    if not re.fullmatch(COMPUTER + r" \(computer \d+\)", computer or ""):
        raise Failure(f"the Status tab's computer is {computer!r}")

    wait_for("the Status tab to say the clock is 3 hours behind",
             lambda: value("Clock") == "The computer's clock is 3 h 0 min behind the service's.")
    if value("Last crash") != "None recorded":
        raise Failure(f"the Status tab's last crash is {value('Last crash')!r}")
    expect_reachable(found)

    screenshot(fb_dir, frame, "status")

    # The GUI log, newest first, from the first line of the start.
    events = column(trees["Log"], 1)
    if events[:1] != ["CLIENT_HANDSHAKED"] or events[-1:] != ["APP_STARTING"] or \
            "CLIENT_FINDING_SERVER" not in events:
        raise Failure(f"the GUI log's events, newest first, are {events}")

    # The Printers tab lists the scheduler's queues with their state.
    tabs = [a for a in found if a.getRoleName() == "page tab"]
    if [tab.name for tab in tabs] != ["Status", "Printers", "Jobs", "Scales"]:
        raise Failure(f"the window's tabs are {[tab.name for tab in tabs]}")
    tabs[1].queryAction().doAction(0)

    def printers():
        table = trees["Printers"]
        return dict(zip(column(table, 0), column(table, 1)))

    listed = wait_for("the Printers tab to list Desk and Lab",
                      lambda: {"Desk", "Lab"} <= printers().keys() and printers())
    if listed["Desk"] != "idle":
        raise Failure(f"the Printers tab lists {listed}")
    screenshot(fb_dir, frame, "printers")
    if os.environ.get("QP_SCREENSHOTS"):
        tabs[2].queryAction().doAction(0)
        screenshot(fb_dir, frame, "jobs")

    # The Scales tab: the serial scale is listed while the scales are off;
    # "Enable scales" reaches the agent (it keeps the choice) and the live
    # reading shows, in the scale's unit and in grams.
    tabs[3].queryAction().doAction(0)
    scales_box = next(a for a in found if a.getRoleName() == "check box" and
                      a.name == "Enable scales")
    if scales_box.getState().contains(pyatspi.STATE_CHECKED):
        raise Failure("the scales are enabled before anyone enabled them")
    scale_path = os.path.join(settings, "scales", "enabled")

    def scales():
        table = trees["Scales"]
        return [[table.getAccessibleAt(row, col).name for col in range(6)]
                for row in range(table.nRows)]

    wait_for("the Scales tab to list the serial scale", lambda: len(scales()) == 1)
    scales_box.queryAction().doAction(0)
    wait_for("the scales agent to keep the choice",
             lambda: open(scale_path, encoding="ascii").read() == "true\n")
    row = wait_for("the scale's reading",
                   lambda: scales()[0][2:4] == ["1.25 kg", "1250"] and scales()[0])
    if row[1] != "serial" or row[4] != "stable" or row[5] != "yes":
        raise Failure(f"the Scales tab shows {row}")
    expect_reachable(widgets(frame))
    screenshot(fb_dir, frame, "scales")
    tabs[0].queryAction().doAction(0)

    # Checkpoint 3: Reconnect now is the client's connect request.
    click("Reconnect now")

    wait_for("the GUI log to show the reconnect",
             lambda: any("reconnect requested from the desktop" in m
                         for m in column(trees["Log"], 2, rows=8)))
    wait_for("the Status tab to say Handshaked again", lambda: value("State") == "Handshaked")

    # Checkpoint 4: the service goes away and comes back on the same ports;
    # the tooltip and the tab follow, the item's Status stays Active (the
    # client retries on its own: nothing for the person to do).
    def status():
        return str(properties.Get(ITEM_IFACE, "Status"))

    def icon():
        return bytes(bytearray(properties.Get(ITEM_IFACE, "IconPixmap")[0][2]))

    handshaked_icon = icon()
    service.terminate()
    service.wait(5)
    wait_for("the tooltip to say Disconnected", lambda: "QuillPost: Disconnected" in tooltip())
    wait_for("the Status tab to say Disconnected",
             lambda: (value("State") or "").startswith("Disconnected"))
    if status() != "Active" or icon() == handshaked_icon:
        raise Failure(f"disconnected, the item's Status is {status()} (icon changed: "
                      f"{icon() != handshaked_icon})")
    service, restarted = start_service(ports.group(2), ports.group(3))
    click("Reconnect now")
    wait_for("the tooltip to say Handshaked after the service came back",
             lambda: "QuillPost: Handshaked" in tooltip())
    if status() != "Active" or icon() != handshaked_icon:
        raise Failure(f"handshaked again, the item's Status is {status()}")

    # Checkpoint 5: the autostart entry follows its check box.
    autostart = os.path.join(env["XDG_CONFIG_HOME"], "autostart", "quillpost.desktop")
    box = next(a for a in found if a.name == "Start QuillPost when I log in")
    box.queryAction().doAction(0)
    wait_for("the autostart entry", lambda: os.path.exists(autostart))
    with open(autostart, encoding="utf-8") as f:
        if f'Exec="{os.path.join(build_dir, "bin/launch")}"' not in f.read():
            raise Failure("the autostart entry does not start this program")
    box.queryAction().doAction(0)
    wait_for("the autostart entry to go", lambda: not os.path.exists(autostart))

    # Checkpoint 5b: a job the client refuses (a raw format it is not allowed
    # to print) fails; the item needs the person: its look, and the
    # notification (its text as the tooltip, the attention icon).
    document = os.path.join(work, "raw.prn")
    with open(document, "wb") as f:
        f.write(b"raw bytes\n")
    control(restarted.group(4), "/control/print", {
        "computer": COMPUTER, "printer": "Desk", "file": document,
        "contentType": "application/vnd.cups-raw"})
    wait_for("the failed job's notification",
             lambda: "A print job failed the offer cannot be used" in tooltip() and
             str(properties.Get(ITEM_IFACE, "AttentionIconName")) == "dialog-warning")
    if icon() == handshaked_icon:
        raise Failure("a job failed, and the tray icon looks as when handshaked")
    if column(trees["Jobs"], 3, rows=1) != ["failed"]:
        raise Failure(f"the Jobs tab's newest job is {column(trees['Jobs'], 3, rows=1)}")

    # Checkpoint 6: Sign out forgets the key; the item needs the person (its
    # own look, and the notification as its attention icon) and the form
    # opens.
    next(a for a in found if a.getRoleName() == "push button" and a.name == "Sign out") \
        .queryAction().doAction(0)
    # While the notification lasts (10 s) the tooltip is its text, "QuillPost
    # is signed out" (it replaces the failed job's); Qt's item keeps Status
    # Active (its tray sets no other); the notification shows as the item's
    # attention icon while it lasts.
    wait_for("the signed-out notification",
             lambda: "QuillPost is signed out" in tooltip() and
             str(properties.Get(ITEM_IFACE, "AttentionIconName")) == "dialog-warning")
    if icon() == handshaked_icon:
        raise Failure("signed out, the tray icon looks as when handshaked")
    wait_for("Sign out to show the sign-in form",
             lambda: form["E-mail"].getState().contains(pyatspi.STATE_SHOWING))
    with open(account_file, encoding="utf-8") as f:
        if "demo-client-key" in f.read():
            raise Failure("the client key is still in the account file after Sign out")

    # Checkpoint 7: Quit from the tray menu is the normal close.
    click("Quit")
    expect_normal_close(client, output, settings, "Quit from the tray menu", 1)

    # Checkpoint 8: without a tray icon the window shows at once, on the
    # form (signed out); a client key signs in; Quit from the window's menu
    # is the normal close.
    client = procs.start(client_args + ["--disable-systray"], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, env=env)
    output = drain(client)
    frame = wait_for("the window to show without a tray icon", window)
    found = widgets(frame)
    key = next(a for a in found if a.name == "Client key")
    if not key.getState().contains(pyatspi.STATE_SHOWING):
        raise Failure("signed out, the window did not open on the sign-in form")
    key.queryEditableText().setTextContents("demo-client-key")
    next(a for a in found if a.getRoleName() == "push button" and a.name == "Sign in") \
        .queryAction().doAction(0)
    state = next(a for a in found if a.getRoleName() == "label" and a.description == "State")
    wait_for("the client key to handshake", lambda: state.name == "Handshaked")
    quit_items = [a for a in found if a.getRoleName() == "menu item" and a.name == "Quit"]
    if not quit_items:
        raise Failure("the window's menu has no Quit")
    quit_items[0].queryAction().doAction(0)
    expect_normal_close(client, output, settings, "Quit from the window's menu", 2)
    if tray.stdout in select.select([tray.stdout], [], [], 0)[0]:
        raise Failure("a tray item registered with --disable-systray")


def control(port, path, body):
    """A request to the service's control port; its answer, decoded."""
    import json
    import urllib.request

    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}",
                                     data=json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json"})
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(request, timeout=10) as answer:
        return json.loads(answer.read())


def expect_reachable(found):
    """Every control shown has a name and can take the focus (whether Tab
    reaches it is not told apart from a click here)."""
    import pyatspi

    controls = ("text", "password text", "push button", "tree", "page tab", "check box",
                "combo box")
    unreachable = [
        (a.getRoleName(), a.name) for a in found
        if (a.getRoleName() in controls or a.getRoleName() == "label" and a.description) and
        a.getState().contains(pyatspi.STATE_SHOWING) and
        (not a.name or not a.getState().contains(pyatspi.STATE_FOCUSABLE))]
    if unreachable:
        raise Failure(f"controls without a name or the keyboard's focus: {unreachable}")


def widgets(frame):
    """Every accessible of the window but the cells of its tables: each one
    read is a call over the bus."""
    found, pending = [], [frame]
    while pending:
        node = pending.pop()
        found.append(node)
        if node.getRoleName() not in ("tree", "table"):
            pending.extend(reversed([child for child in node if child is not None]))
    return found


def column(table, index, rows=None):
    """The texts of one column of a table (a Qt tree), from the top row."""
    count = table.nRows if rows is None else min(rows, table.nRows)
    return [table.getAccessibleAt(row, index).name for row in range(count)]


def expect_normal_close(client, output, settings, what, closes):
    """The program ends with 0 and the log has its `closes`-th close line."""
    try:
        code = client.wait(10)
    except subprocess.TimeoutExpired:
        raise Failure(f"{what} did not end the program")
    if code != 0:
        raise Failure(f"after {what} the program ended with {code}:\n{''.join(output)}")
    with open(os.path.join(settings, "logs", "quillpost.log"), encoding="utf-8") as f:
        closing = re.findall(r"APP_CLOSE: Closing after .+\. Exit code 0\.", f.read())
    if len(closing) != closes:
        raise Failure(f"after {what} the log has {len(closing)} close lines, not {closes}")


def main():
    if sys.argv[1:] == ["--tray-host"]:
        tray_host()
        return 0
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    reason = missing_tools()
    if reason:
        print(f"SKIP: {reason}")
        return SKIP
    procs = Processes()
    work = tempfile.mkdtemp(prefix="qp-desktop-")
    started = time.monotonic()
    try:
        run(os.path.abspath(sys.argv[1]), work, procs)
    except Failure as failure:
        print(f"FAIL: {failure}")
        return 1
    finally:
        procs.end_all()
        shutil.rmtree(work, ignore_errors=True)
    print(f"PASS in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
