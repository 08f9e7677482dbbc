"""Runs Windows programs under Wine on a display of their own and drives them through
the automation client (winauto.exe).

    with Session(wine_run, winauto, work_dir) as s:
        program = s.start(program_exe, cwd=...)
        main = s.auto.wait("class:TFlashForm")
        s.auto.call("click", "dialog", "text:Yes")
        s.screenshot("main.png", main)
        code = program.wait(20)

Every wait has a time-out; when a session ends (normally or by an exception) it stops
the Wine server of its prefix, every process it started and its Xvfb, so no test hangs
and nothing is left behind.

Under CTest the end-to-end tests share one display and one persistent Wine server
(python3 harness.py start|stop, a test fixture; KF_E2E_SESSION names its state file):
a session then stops only the processes it started itself.
"""

import json
import os
import sys
import select
import shutil
import signal
import subprocess
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from xserver import HarnessError, Xvfb  # noqa: E402


def _wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.update(extra or {})
    return env


def wineserver():
    for candidate in ("/usr/lib/wine/wineserver64", shutil.which("wineserver")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise HarnessError("no wineserver")


class WineProcess:
    """A program started under scripts/wine-run in its own process group."""

    def __init__(self, argv, env, cwd, stdin=None, stdout=None, stderr=None):
        self.argv = argv
        self.process = subprocess.Popen(argv, env=env, cwd=cwd, stdin=stdin, stdout=stdout,
                                        stderr=stderr, start_new_session=True)

    def wait(self, timeout):
        """The exit code; HarnessError when the program has not ended in time."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise HarnessError(f"{self.argv[1]} still running after {timeout} s") from None

    def running(self):
        return self.process.poll() is None

    def kill(self):
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                pass


class AutomationClient:
    """winauto.exe kept running: one command line in, one JSON line out."""

    def __init__(self, process, timeout=30):
        self.process = process
        self.timeout = timeout
        self._pending = b""

    @staticmethod
    def _arg(value):
        text = str(value)
        if text and not any(c in text for c in ' \t"\\') and text.isprintable():
            return text
        return json.dumps(text)

    def call(self, *args, timeout=None):
        """Runs one command; returns its answer, raises HarnessError when it failed."""
        answer = self.try_call(*args, timeout=timeout)
        if not answer.get("ok"):
            raise HarnessError(f"winauto {' '.join(map(str, args))}: {answer.get('error')}")
        return answer

    def try_call(self, *args, timeout=None):
        line = " ".join(self._arg(a) for a in args) + "\n"
        pipe = self.process.process
        try:
            pipe.stdin.write(line.encode("latin-1"))
            pipe.stdin.flush()
        except (BrokenPipeError, OSError) as e:
            raise HarnessError(f"winauto is gone: {e}") from None
        # A wait command may take its own time-out; allow for it.
        limit = (timeout or self.timeout) + (self._wait_ms(args) / 1000.0)
        return json.loads(self._read_line(limit).decode("latin-1"))

    @staticmethod
    def _wait_ms(args):
        if args and args[0] in ("wait", "gone"):
            return int(args[2]) if len(args) > 2 else 10000
        if args and args[0] == "sleep":
            return int(args[1])
        return 0

    def _read_line(self, timeout):
        out = self.process.process.stdout
        deadline = time.monotonic() + timeout
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            if left <= 0:
                raise HarnessError("winauto did not answer in time")
            ready, _, _ = select.select([out], [], [], left)
            if ready:
                chunk = os.read(out.fileno(), 65536)
                if not chunk:
                    raise HarnessError("winauto ended")
                self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        return line

    # Shorthands.
    def wait(self, selector, timeout_ms=20000):
        return self.call("wait", selector, timeout_ms)["window"]

    def describe_dialogs(self):
        """The visible dialog boxes and their texts, for failure messages."""
        try:
            windows = self.call("list")["windows"]
            found = [self.dump(f"hwnd:{w['hwnd']}") for w in windows
                     if w["visible"] and w["class"] == "#32770"]
        except (HarnessError, ValueError) as e:
            return f"(windows unreadable: {e})"
        if not found:
            return "no dialog box open"
        return "; ".join(f"dialog {d['text']!r}: {dialog_text(d)!r}" for d in found)

    def gone(self, selector, timeout_ms=20000):
        self.call("gone", selector, timeout_ms)

    def dump(self, selector):
        return self.call("dump", selector)["window"]

    def poll(self, selector, predicate, timeout=20.0, what="condition"):
        """Dumps the window until predicate(window) holds; returns that dump."""
        deadline = time.monotonic() + timeout
        while True:
            window = self.dump(selector)
            if predicate(window):
                return window
            if time.monotonic() > deadline:
                raise HarnessError(f"timed out waiting for {what}; {self.describe_dialogs()}")
            time.sleep(0.1)


def find_control(window, control_id):
    """The control with this dialog ID anywhere below the window, or None."""
    for child in window.get("children", []):
        if child["id"] == control_id:
            return child
        found = find_control(child, control_id)
        if found:
            return found
    return None


def dialog_text(window):
    """The text a message box shows (its static texts, icons left out)."""
    return "\n".join(c["text"] for c in window.get("children", [])
                     if c["class"].lower() == "static" and c["text"])


def _shared_state():
    """The fixture's session (display, DPI), or None outside it."""
    path = os.environ.get("KF_E2E_SESSION")
    if path and Path(path).is_file():
        return json.loads(Path(path).read_text())
    return None


class Session:
    """One display, one Wine prefix, the programs under test and the automation client."""

    def __init__(self, wine_run, winauto, work_dir, prefix=None, screen=(1024, 768)):
        self.wine_run = str(wine_run)
        self.winauto = str(Path(winauto).resolve())
        self.work_dir = Path(work_dir)
        self.prefix = prefix or os.environ.get("KF_WINEPREFIX")
        if not self.prefix:
            raise HarnessError("no Wine prefix (KF_WINEPREFIX)")
        self.xvfb = Xvfb(*screen)
        self.screen = screen
        self.processes = []
        self.auto = None
        self.shared = _shared_state()
        self.display = self.shared["display"] if self.shared else None

    def env(self, extra=None):
        env = _wine_env(extra)
        env["KF_WINEPREFIX"] = self.prefix
        env["WINEPREFIX"] = self.prefix
        if self.display:
            env["DISPLAY"] = self.display
        return env

    def __enter__(self):
        self.work_dir.mkdir(parents=True, exist_ok=True)
        if not self.shared:
            self._stop_wine()  # a server left from a run with another display must not serve us
            self.display = self.xvfb.start()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        if self.auto:
            try:
                self.auto.try_call("quit", timeout=5)
            except (HarnessError, ValueError):
                pass
        if not self.shared:
            self._stop_wine()
        for process in self.processes:
            process.kill()
        self.processes = []
        self.auto = None
        self.xvfb.stop()

    def _stop_wine(self):
        env = self.env()
        env.pop("DISPLAY", None)
        try:
            subprocess.run([wineserver(), "-k"], env=env, timeout=20,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass

    def wine(self, *args, timeout=400, extra_env=None):
        """Runs a Windows command to its end (reg, cmd ...); returns its exit code. The
        first one in a new prefix waits for Wine to set the prefix up (minutes)."""
        result = subprocess.run([self.wine_run, *map(str, args)], env=self.env(extra_env),
                                timeout=timeout, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        return result.returncode

    def set_registry(self, key, name, value, kind="REG_SZ"):
        code = self.wine("reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f")
        if code != 0:
            raise HarnessError(f"reg add {key} {name} failed ({code})")

    def delete_registry(self, key, name):
        self.wine("reg", "delete", key, "/v", name, "/f")

    def use_virtual_desktop(self):
        """All windows in one Wine desktop covering the screen, frames drawn by Wine."""
        if self.shared:
            return  # the fixture's session has one
        width, height = self.screen
        self.set_registry(r"HKCU\Software\Wine\Explorer", "Desktop", "Default")
        self.set_registry(r"HKCU\Software\Wine\Explorer\Desktops", "Default",
                          f"{width}x{height}")

    def set_dpi(self, dpi):
        """The screen's DPI, for the programs started after this."""
        if self.shared and self.shared["dpi"] == dpi:
            return
        for key in (r"HKCU\Control Panel\Desktop", r"HKCC\Software\Fonts"):
            self.set_registry(key, "LogPixels", str(dpi), "REG_DWORD")
        self._stop_wine()  # read when the server starts
        if self.shared:
            _start_server(self.wine_run, self.env(), self.winauto, self.work_dir)
            self.shared["dpi"] = dpi
            Path(os.environ["KF_E2E_SESSION"]).write_text(json.dumps(self.shared))

    def start(self, program, *args, cwd=None, extra_env=None):
        # Its output to a file: a Wine process it starts may outlive it, and must not hold
        # the test's output pipe open.
        log = open(self.work_dir / "wine-output.txt", "ab")
        process = WineProcess([self.wine_run, str(program), *map(str, args)],
                              self.env(extra_env), cwd or self.work_dir, stdout=log, stderr=log)
        log.close()
        self.processes.append(process)
        if self.auto is None:
            self.start_automation()
        return process

    def start_automation(self):
        process = WineProcess([self.wine_run, self.winauto], self.env(), self.work_dir,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
        self.processes.append(process)
        self.auto = AutomationClient(process)
        self.auto.call("list", timeout=120)  # the first Wine process may set up the prefix
        return self.auto

    def screenshot(self, path, window=None):
        """The screen, or only the window (a top-level dump), as a PNG file."""
        command = ["import", "-display", self.display, "-window", "root"]
        if window:
            command += ["-crop", f"{window['w']}x{window['h']}+{window['x']}+{window['y']}",
                        "+repage"]
        subprocess.run(command + [str(path)], check=True, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return Path(path)


# ---- The fixture's shared session ----------------------------------------------------------

def _start_server(wine_run, env, winauto, work_dir):
    """A persistent Wine server, with the desktop and the services started by a process
    whose output goes nowhere: later ones then hold no test's output pipe open."""
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL}
    subprocess.run([wineserver(), "-p"], env=env, timeout=20, check=True, **quiet)
    warm = subprocess.run([wine_run, winauto], env=env, cwd=work_dir, timeout=120,
                          input=b"list\nquit\n", stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL)
    answers = [json.loads(line) for line in warm.stdout.decode("latin-1").splitlines() if line]
    if not answers or not answers[0].get("ok"):
        raise HarnessError(f"the automation client did not answer ({warm.returncode}): "
                           f"{warm.stdout[:200]!r}")


def session_main(argv):
    """python3 harness.py start|stop --state FILE --wine-run W --winauto A --work DIR"""
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["start", "stop"])
    parser.add_argument("--state", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--winauto", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args(argv)
    state = Path(args.state)
    session = Session(args.wine_run, args.winauto, args.work)
    if args.action == "stop":
        session.shared = json.loads(state.read_text()) if state.is_file() else None
        session._stop_wine()
        if session.shared:
            Xvfb.stop_started_elsewhere(session.shared["xvfb"])
        state.unlink(missing_ok=True)
        return 0
    state.unlink(missing_ok=True)
    session.__enter__()  # a display of its own, and no server left from before
    try:
        session.use_virtual_desktop()
        session.set_dpi(96)
        _start_server(args.wine_run, session.env(), session.winauto, session.work_dir)
    except BaseException:
        session.close()
        raise
    state.write_text(json.dumps({"display": session.display, "dpi": 96,
                                 "xvfb": session.xvfb.process.pid}))
    print(f"Wine session on display {session.display}, prefix {session.prefix}")
    return 0


# ---- What the test scripts share ---------------------------------------------------------

def parse_args(argv=None):
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True, help="the Windows program under test")
    parser.add_argument("--winauto", required=True, help="the automation client")
    parser.add_argument("--wine-run", required=True, help="scripts/wine-run")
    parser.add_argument("--work", required=True, help="a directory of the test's own")
    parser.add_argument("--aspi", help="the emulated drive's WNASPI32.DLL")
    return parser.parse_args(argv)


def fresh_work_dir(work, program, files=None):
    """Empties the test's directory and puts a copy of the program and the given files
    (name -> bytes or str; a name ending in '/' makes a directory) in it. Returns the
    copy's path."""
    work = Path(work)
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)
    copy = work / Path(program).name
    shutil.copy2(program, copy)
    for name, content in (files or {}).items():
        target = work / name
        if name.endswith("/"):
            target.mkdir(parents=True, exist_ok=True)
            continue
        target.write_bytes(content.encode("latin-1") if isinstance(content, str) else content)
    return copy


def run_test(body):
    """Runs body() and turns its outcome into the process's exit code for CTest."""
    import sys
    import traceback
    try:
        body()
    except Exception:  # noqa: BLE001 - every failure must reach the test log
        traceback.print_exc()
        sys.exit(1)
    print("passed")


if __name__ == "__main__":
    sys.exit(session_main(sys.argv[1:]))
