"""The virtual X server of every test and script that opens windows: an Xvfb of its own,
started, waited for and stopped here alone.

    with Xvfb() as server:
        run(program, env=server.env())

Xvfb picks a free display number itself (-displayfd), so parallel tests never collide,
and every wait has a time-out."""

import os
import select
import signal
import subprocess
import sys
import time


class HarnessError(Exception):
    """A test's harness could not do what it was asked, in time."""


class Xvfb:
    def __init__(self, width=1024, height=768, depth=24, timeout=10):
        self.screen = f"{width}x{height}x{depth}"
        self.timeout = timeout
        self.process = None
        self.display = None

    def start(self):
        """The display's name (":N") once the server accepts clients."""
        reader, writer = os.pipe()
        try:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(writer), "-screen", "0", self.screen,
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=(writer,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)
            os.close(writer)
            writer = None
            self.display = ":" + self._read_display(reader)
        finally:
            if writer is not None:
                os.close(writer)
            os.close(reader)
        return self.display

    def _read_display(self, reader):
        text = b""
        deadline = time.monotonic() + self.timeout
        while not text.endswith(b"\n"):
            left = deadline - time.monotonic()
            ready, _, _ = select.select([reader], [], [], max(0.0, left))
            if not ready:
                self.stop()
                raise HarnessError("Xvfb did not report its display in time")
            chunk = os.read(reader, 64)
            if not chunk:
                self.stop()
                raise HarnessError("Xvfb ended before reporting its display")
            text += chunk
        return text.decode().strip()

    def env(self, base=None):
        """The environment with this display and no other (no Wayland, no other cookie)."""
        env = dict(os.environ if base is None else base)
        env["DISPLAY"] = self.display
        env.pop("XAUTHORITY", None)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        self.process = None

    @staticmethod
    def stop_started_elsewhere(pid):
        """Stops a server another process started and left running (a test fixture's)."""
        try:
            os.killpg(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()


def stop_displays_on_sigterm():
    """A script killed by a time-out still leaves through its finally clauses and with
    blocks, so it stops its display and what it started."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
