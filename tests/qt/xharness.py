"""What tests that drive a real X11 program do on their private display (tests/xserver.py
starts it): window search and input with xdotool, screenshots with ImageMagick, the window
manager's close request. Every wait has a time-out; nothing here blocks for ever."""

import ctypes
import os
import re
import select
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from xserver import HarnessError  # noqa: E402


def wait_until(probe, timeout, interval=0.1, what="condition"):
    """Calls probe until it returns something true; that value, or HarnessError."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


class Program:
    """A program under test in its own process group, its output in files."""

    def __init__(self, argv, env, cwd=None, log_prefix=None):
        self.log_prefix = log_prefix
        out = open(f"{log_prefix}.stdout", "wb") if log_prefix else subprocess.DEVNULL
        err = open(f"{log_prefix}.stderr", "wb") if log_prefix else subprocess.DEVNULL
        try:
            self.process = subprocess.Popen(argv, env=env, cwd=cwd, stdout=out, stderr=err,
                                            stdin=subprocess.DEVNULL, start_new_session=True)
        finally:
            for f in (out, err):
                if f is not subprocess.DEVNULL:
                    f.close()

    @property
    def pid(self):
        return self.process.pid

    def running(self):
        return self.process.poll() is None

    def wait(self, timeout):
        """The exit code; HarnessError if the program is still running after timeout."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise HarnessError(f"the program did not end within {timeout} s") from None

    def cpu_seconds(self):
        """User and system time the running process has used so far."""
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stderr_text(self):
        if not self.log_prefix:
            return ""
        with open(f"{self.log_prefix}.stderr", errors="replace") as f:
            return f.read()

    def kill(self):
        if self.running():
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait(5)


class X:
    """xdotool, ImageMagick and Xlib against one display."""

    def __init__(self, display, timeout=10):
        self.display = display
        self.timeout = timeout

    def _run(self, argv, timeout=None):
        env = dict(os.environ, DISPLAY=self.display)
        env.pop("XAUTHORITY", None)
        try:
            return subprocess.run(argv, env=env, capture_output=True, text=True,
                                  timeout=timeout or self.timeout)
        except subprocess.TimeoutExpired:
            raise HarnessError(f"{argv[0]} did not answer within {timeout or self.timeout} s")

    def xdotool(self, *args):
        result = self._run(["xdotool", *args])
        return result.returncode, result.stdout

    def find_windows(self, exact_name, timeout=15, visible=True):
        """Ids of the windows whose name is exactly exact_name, once there is one."""
        pattern = "^" + re.escape(exact_name) + "$"

        def probe():
            args = ["search"] + (["--onlyvisible"] if visible else []) + ["--name", pattern]
            code, out = self.xdotool(*args)
            return [int(w) for w in out.split()] if code == 0 else []

        return wait_until(probe, timeout, what=f"a window named {exact_name!r}")

    def window_name(self, window):
        code, out = self.xdotool("getwindowname", str(window))
        return out.rstrip("\n") if code == 0 else None

    def window_geometry(self, window):
        """(x, y, width, height) of the window on the screen."""
        code, out = self.xdotool("getwindowgeometry", "--shell", str(window))
        if code != 0:
            return None
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def window_exists(self, window):
        return self.window_name(window) is not None

    def screenshot(self, path, window="root"):
        result = self._run(["import", "-window", str(window), str(path)], timeout=30)
        if result.returncode != 0:
            raise HarnessError(f"import failed: {result.stderr.strip()}")
        return path

    def image_size(self, path):
        result = self._run(["identify", "-format", "%w %h", str(path)])
        if result.returncode != 0:
            raise HarnessError(f"identify failed: {result.stderr.strip()}")
        width, height = result.stdout.split()
        return int(width), int(height)

    def destroy_window(self, window):
        """xdotool windowclose: destroys the window under its client's feet."""
        return self.xdotool("windowclose", str(window))[0] == 0

    def key(self, window, keys):
        return self.xdotool("key", "--window", str(window), keys)[0] == 0

    def click(self, window, x, y, button=1):
        """A real pointer click (XTEST) at (x, y) in the window's own coordinates."""
        return self.xdotool("mousemove", "--window", str(window), str(x), str(y),
                            "click", str(button))[0] == 0

    def visible_windows(self):
        """{id: name} of the windows mapped on the screen now."""
        code, out = self.xdotool("search", "--onlyvisible", "--name", ".")
        found = {int(w): self.window_name(int(w)) for w in out.split()} if code == 0 else {}
        return {w: name for w, name in found.items() if name is not None}

    def transient_for(self, window):
        """The window WM_TRANSIENT_FOR names: the owner of a dialog, None for a top level."""
        result = self._run(["xprop", "-id", str(window), "WM_TRANSIENT_FOR"])
        found = re.search(r"window id # (0x[0-9a-fA-F]+)", result.stdout)
        return int(found.group(1), 16) if result.returncode == 0 and found else None

    def find_dialog(self, title, owner, timeout=15, exclude=()):
        """The one visible window named exactly title that is transient for owner, as a
        message box is for its window; windows in exclude (boxes seen before) never count."""
        def probe():
            return [w for w, name in self.visible_windows().items()
                    if name == title and w not in exclude and self.transient_for(w) == owner]

        found = wait_until(probe, timeout, what=f"a dialog {title!r} over window {owner}")
        if len(found) != 1:
            raise HarnessError(f"{len(found)} dialogs named {title!r} at once")
        return found[0]

    def wait_hidden(self, window, timeout=10):
        """Until the window is no longer on the screen (unmapped or destroyed)."""
        wait_until(lambda: window not in self.visible_windows(), timeout,
                   what=f"window {window} to go from the screen")

    def request_close(self, window):
        """What a window manager sends for the close button: a WM_DELETE_WINDOW client
        message. Without a window manager only this closes a window politely."""
        xlib = _Xlib()
        display = xlib.XOpenDisplay(self.display.encode())
        if not display:
            raise HarnessError(f"cannot open display {self.display}")
        try:
            protocols = xlib.XInternAtom(display, b"WM_PROTOCOLS", False)
            delete = xlib.XInternAtom(display, b"WM_DELETE_WINDOW", False)
            event = _XEvent()
            event.xclient.type = 33  # ClientMessage
            event.xclient.window = window
            event.xclient.message_type = protocols
            event.xclient.format = 32
            event.xclient.data[0] = delete
            event.xclient.data[1] = 0  # CurrentTime
            sent = xlib.XSendEvent(display, window, False, 0, ctypes.byref(event))
            xlib.XFlush(display)
            return bool(sent)
        finally:
            xlib.XCloseDisplay(display)


    def ping(self, window, timeout=1.0):
        """Seconds until the window's client answers a _NET_WM_PING, as a window manager
        sends it to tell a live program from a hung one; None without an answer in time."""
        xlib = _Xlib()
        display = xlib.XOpenDisplay(self.display.encode())
        if not display:
            raise HarnessError(f"cannot open display {self.display}")
        try:
            root = xlib.XDefaultRootWindow(display)
            # Answers go to the root window, for a window manager's eyes (Qt's with
            # StructureNotify, EWMH's with SubstructureNotify).
            xlib.XSelectInput(display, root, _STRUCTURE_NOTIFY | _SUBSTRUCTURE_NOTIFY)
            protocols = xlib.XInternAtom(display, b"WM_PROTOCOLS", False)
            ping = xlib.XInternAtom(display, b"_NET_WM_PING", False)
            stamp = int(time.monotonic() * 1000) & 0x7FFFFFFF
            event = _XEvent()
            event.xclient.type = _CLIENT_MESSAGE
            event.xclient.window = window
            event.xclient.message_type = protocols
            event.xclient.format = 32
            event.xclient.data[0] = ping
            event.xclient.data[1] = stamp
            event.xclient.data[2] = window
            start = time.monotonic()
            xlib.XSendEvent(display, window, False, 0, ctypes.byref(event))
            xlib.XFlush(display)
            fd = xlib.XConnectionNumber(display)
            while True:
                while xlib.XPending(display):
                    reply = _XEvent()
                    xlib.XNextEvent(display, ctypes.byref(reply))
                    c = reply.xclient
                    if (c.type == _CLIENT_MESSAGE and c.message_type == protocols
                            and c.data[0] == ping and c.data[1] == stamp):
                        return time.monotonic() - start
                left = start + timeout - time.monotonic()
                if left <= 0:
                    return None
                select.select([fd], [], [], left)
        finally:
            xlib.XCloseDisplay(display)

    def cover(self, geometry, seconds=0.3):
        """A window of this client's over the given place for a while, then gone: what
        lay under it must be painted again by its owner."""
        xlib = _Xlib()
        display = xlib.XOpenDisplay(self.display.encode())
        if not display:
            raise HarnessError(f"cannot open display {self.display}")
        try:
            x, y, width, height = geometry
            root = xlib.XDefaultRootWindow(display)
            white = xlib.XWhitePixel(display, 0)
            cover = xlib.XCreateSimpleWindow(display, root, x, y, width, height, 0, white, white)
            xlib.XMapRaised(display, cover)
            xlib.XSync(display, False)
            time.sleep(seconds)
            xlib.XDestroyWindow(display, cover)
            xlib.XSync(display, False)
        finally:
            xlib.XCloseDisplay(display)


_CLIENT_MESSAGE = 33
_STRUCTURE_NOTIFY = 1 << 17
_SUBSTRUCTURE_NOTIFY = 1 << 19


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def _Xlib():
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XSendEvent.restype = ctypes.c_int
    xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                ctypes.POINTER(_XEvent)]
    xlib.XFlush.argtypes = [ctypes.c_void_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    xlib.XDefaultRootWindow.restype = ctypes.c_ulong
    xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    xlib.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
    xlib.XConnectionNumber.argtypes = [ctypes.c_void_p]
    xlib.XPending.argtypes = [ctypes.c_void_p]
    xlib.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(_XEvent)]
    xlib.XWhitePixel.restype = ctypes.c_ulong
    xlib.XWhitePixel.argtypes = [ctypes.c_void_p, ctypes.c_int]
    xlib.XCreateSimpleWindow.restype = ctypes.c_ulong
    xlib.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                         ctypes.c_int, ctypes.c_uint, ctypes.c_uint,
                                         ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]
    xlib.XMapRaised.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    xlib.XDestroyWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    xlib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    return xlib
