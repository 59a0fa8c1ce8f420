#!/usr/bin/python3
"""Desktop mode's figures, for bench/run: `launch` not headless on a private
X server (Xvfb) and session bus, against quillpost-service on loopback.

    desktop_probe.py BUILD_DIR RUNS IDLE_SECONDS

Prints one "key=value" line per figure, or "desktop_skip=REASON" when the
tools are missing:
  window_ms_*      process start to the window mapped on the X server (no tray
                   host on the bus: the window shows at start), median / p90
  headless_ms_*    process start of a headless run to its first log line
                   (APP_STARTING), median / p90
  desktop_idle_*   CPU over IDLE_SECONDS of a connected client whose window is
                   hidden (a tray host on the bus), and its RSS then
  tray_minimal_rss_kib  RSS of bench's minimal Qt tray program, same bus
"""
import ctypes
import os
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MAP_NOTIFY = 19
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19


class XWatch:
    """Top-level windows mapped on the X server, through Xlib."""

    def __init__(self, display):
        self.x = ctypes.CDLL("libX11.so.6")
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        self.x.XPending.argtypes = [ctypes.c_void_p]
        self.x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        self.x.XConnectionNumber.argtypes = [ctypes.c_void_p]
        self.x.XFlush.argtypes = [ctypes.c_void_p]
        self.x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                      ctypes.POINTER(ctypes.c_char_p)]
        self.display = self.x.XOpenDisplay(display.encode())
        if not self.display:
            raise RuntimeError(f"cannot open the display {display}")
        self.x.XSelectInput(self.display, self.x.XDefaultRootWindow(self.display),
                            SUBSTRUCTURE_NOTIFY_MASK)
        self.x.XFlush(self.display)
        self.fd = self.x.XConnectionNumber(self.display)

    def wait_mapped(self, title, deadline):
        """The time a window titled `title` was mapped (its MapNotify read)."""
        event = ctypes.create_string_buffer(192)
        while time.monotonic() < deadline:
            while self.x.XPending(self.display):
                self.x.XNextEvent(self.display, event)
                if ctypes.c_int.from_buffer(event).value != MAP_NOTIFY:
                    continue
                at = time.monotonic()
                window = ctypes.c_ulong.from_buffer(event, 40).value
                name = ctypes.c_char_p()
                if self.x.XFetchName(self.display, window, ctypes.byref(name)) and \
                        name.value == title.encode():
                    return at
            select.select([self.fd], [], [], 0.05)
        raise RuntimeError(f"no window {title} was mapped")


def rss_kib(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def cpu_ns(pid):
    """CPU time of every thread, from the scheduler's nanosecond counters
    (utime and stime tick in 10 ms, too coarse for an idle process)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat", encoding="ascii") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that ended meanwhile
    return total


def wait_log(settings, text, deadline):
    path = os.path.join(settings, "logs", "quillpost.log")
    while time.monotonic() < deadline:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                if text in f.read():
                    return time.monotonic()
        except OSError:
            pass
        time.sleep(0.002)
    raise RuntimeError(f"the log never said {text}")


def percentiles(values):
    values = sorted(values)
    return statistics.median(values), values[min(len(values) - 1, int(len(values) * 0.9))]


def main():
    build, runs, idle_seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    for tool in ("Xvfb", "dbus-daemon"):
        if not shutil.which(tool):
            print(f"desktop_skip={tool} is not installed")
            return 0
    for program in ("launch", "quillpost-service", "tray_minimal"):
        if not os.access(os.path.join(build, "bin", program), os.X_OK):
            print(f"desktop_skip={program} is not built (Qt 6 Widgets missing?)")
            return 0
    work = tempfile.mkdtemp(prefix="qp-desktop-bench-")
    children = []

    def start(args, **kwargs):
        child = subprocess.Popen(args, **kwargs)
        children.append(child)
        return child

    try:
        env = dict(os.environ)
        os.mkdir(os.path.join(work, "runtime"), 0o700)
        env.update(XDG_RUNTIME_DIR=os.path.join(work, "runtime"),
                   XDG_CONFIG_HOME=os.path.join(work, "config"))
        env.pop("WAYLAND_DISPLAY", None)
        read_fd, write_fd = os.pipe()
        start(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24", "-nolisten",
               "tcp", "-nocursor"], pass_fds=[write_fd], stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as display:
            env["DISPLAY"] = ":" + display.readline().strip()
        bus = start(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        service = start([os.path.join(build, "bin/quillpost-service"), "--http-port", "0",
                         "--socket-port", "0", "--control-port", "0"],
                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = service.stdout.readline()
        http = re.search(r"http=([0-9.]+:\d+)", line)
        if not http:
            raise RuntimeError(f"quillpost-service says {line!r}")
        env["QUILLPOST_SERVICE_URL"] = "http://" + http.group(1)
        watch = XWatch(env["DISPLAY"])

        def client(headless, name):
            settings = os.path.join(work, name)
            os.mkdir(settings)
            config = os.path.join(settings, "client.conf")
            with open(config, "w", encoding="utf-8") as f:
                f.write(f'headless = {"true" if headless else "false"}\n'
                        f'base_dir = "{settings}"\nclient_key = "demo-client-key"\n')
            started = time.monotonic()
            child = start([os.path.join(build, "bin/launch"), "--config-file=" + config],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
            return child, settings, started

        def end(child):
            child.send_signal(signal.SIGTERM)
            try:
                child.wait(10)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()

        window, headless = [], []
        for run in range(runs):
            child, _, started = client(False, f"desktop-{run}")
            window.append(1000 * (watch.wait_mapped("QuillPost", started + 20) - started))
            end(child)
            child, settings, started = client(True, f"headless-{run}")
            headless.append(1000 * (wait_log(settings, "APP_STARTING", started + 20) - started))
            end(child)

        # With a tray host on the bus the window stays hidden at start.
        tray = start([sys.executable, os.path.join(SOURCE_DIR, "tests/e2e/desktop_test.py"),
                      "--tray-host"], stdout=subprocess.PIPE, text=True, env=env)
        if tray.stdout.readline().strip() != "ready":
            raise RuntimeError("the tray host did not start")
        child, settings, started = client(False, "idle")
        wait_log(settings, "CLIENT_HANDSHAKED", started + 30)
        time.sleep(1)
        used, since = cpu_ns(child.pid), time.monotonic()
        time.sleep(idle_seconds)
        used, span = (cpu_ns(child.pid) - used) / 1e9, time.monotonic() - since
        idle_rss = rss_kib(child.pid)
        end(child)
        minimal = start([os.path.join(build, "bin/tray_minimal")], env=env,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        tray.stdout.readline()  # the client's item
        select.select([tray.stdout], [], [], 10)  # the minimal program's item
        time.sleep(1)
        minimal_rss = rss_kib(minimal.pid)

        print("window_ms_median=%.1f\nwindow_ms_p90=%.1f" % percentiles(window))
        print("headless_ms_median=%.1f\nheadless_ms_p90=%.1f" % percentiles(headless))
        print(f"desktop_runs={runs}")
        print(f"desktop_idle_seconds={idle_seconds:.0f}")
        print(f"desktop_idle_cpu_ms={1000 * used:.1f}")
        print(f"desktop_idle_cpu_percent={100 * used / span:.3f}")
        print(f"desktop_idle_rss_kib={idle_rss}")
        print(f"tray_minimal_rss_kib={minimal_rss}")
    finally:
        for child in reversed(children):
            if child.poll() is None:
                child.terminate()
                try:
                    child.wait(5)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
