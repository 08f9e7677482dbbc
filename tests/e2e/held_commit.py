"""A commit the emulated drive holds for 70 s, under Wine through the real window. While
it is held the window answers the system (a message sent with a 1 s limit, twice a
second), paints again what another window covered, and refuses to close; the flash
then ends "Flash Completed." with exactly one commit and the same commands, byte for
byte, as a flash whose commit is not held.

Run by CTest in a Wine prefix and on a display of its own, so it may run beside others.
"""

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import flash_window as fw
from emulated_drives import Drive, is_commit, read_trace
from flashprog import FlashRuns
from harness import HarnessError, Session, parse_args, run_test
from xserver import stop_displays_on_sigterm

HOLD_MS = 70000
COMMIT = "Don't turn off the system, Flash is in progress..."
PROBE_EVERY = 0.5


def status(window):
    return fw.control(window, "GroupBox2")["text"]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def status_line(session, window, path):
    """The status line's pixels on the screen (RGB bytes), saved as a PNG too."""
    panel = fw.control(window, "Panel1")
    group = fw.control(window, "GroupBox2")
    x = window["client_x"] + panel["x"] + group["x"]
    y = window["client_y"] + panel["y"] + group["y"]
    height = fw.control(window, "ProgressBar")["y"]
    crop = ["-crop", f"{group['w']}x{height}+{x}+{y}", "+repage"]
    display = getattr(session, "display", None) or session.xvfb.display
    subprocess.run(["import", "-display", display, "-window", "root", *crop, str(path)],
                   check=True, timeout=30)
    return subprocess.run(["convert", str(path), "rgb:-"], check=True, capture_output=True,
                          timeout=30).stdout


def ink(pixels):
    """How many pixels are dark enough to be text."""
    return sum(1 for i in range(0, len(pixels), 3) if max(pixels[i:i + 3]) < 96)


class HeldCommit:
    """What the window does while the commit is held."""

    def __init__(self, session, process, work):
        self.session, self.process, self.work = session, process, Path(work)
        self.probes = []  # (seconds into the commit, answered, ms)
        self.close_refused = False

    def watch(self):
        auto = self.session.auto
        auto.poll(fw.MAIN, lambda w: status(w) == COMMIT, timeout=120, what="the commit")
        start = time.monotonic()
        cpu_start = cpu_seconds(self.process.process.pid)
        window = auto.dump(fw.MAIN)
        before = status_line(self.session, window, self.work / "status-before-cover.png")
        covered = closed = False
        while True:
            now = time.monotonic() - start
            probe = auto.call("probe", fw.MAIN, 1000)["probe"]
            self.probes.append((now, probe["answered"], probe["ms"]))
            if not covered and now > 5:
                auto.call("cover", fw.MAIN, 300)
                time.sleep(0.2)
                after = status_line(self.session, window, self.work / "status-after-cover.png")
                assert ink(before) > 50, "no status line to compare"
                assert after == before, "the status line was not painted again once uncovered"
                covered = True
            if not closed and now > 10:
                auto.call("close", fw.MAIN)
                auto.call("sysclose", fw.MAIN)
                closed = True
            window = auto.dump(fw.MAIN)
            if closed and status(window) == COMMIT:
                assert self.process.running() and window["visible"], "closed mid-commit"
                self.close_refused = True
            if status(window) != COMMIT:
                break
            time.sleep(max(0.0, PROBE_EVERY - (time.monotonic() - start - now)))
        self.seconds = time.monotonic() - start
        self.cpu = cpu_seconds(self.process.process.pid) - cpu_start

    def check(self):
        assert self.seconds >= HOLD_MS / 1000 - 2, f"the commit took only {self.seconds:.1f} s"
        silent = [p for p in self.probes if not p[1]]
        assert not silent, f"{len(silent)} probes got no answer: {silent[:5]}"
        times = [p[0] for p in self.probes]
        gaps = [b - a for a, b in zip(times, times[1:])]
        assert max(gaps) <= 1.0, f"the longest time without an answer was {max(gaps):.2f} s"
        per_second = [sum(1 for t in times if s <= t < s + 1) for s in range(int(self.seconds))]
        assert min(per_second) >= 1, per_second
        assert self.close_refused, "no close request was made during the commit"
        print(f"held commit: {self.seconds:.1f} s, {len(self.probes)} probes all answered "
              f"(at least {min(per_second)} a second, slowest {max(p[2] for p in self.probes)} "
              f"ms, longest gap {max(gaps):.2f} s), WM_CLOSE and SC_CLOSE refused, status line "
              f"painted again after covering, program CPU {self.cpu:.1f} s")


def flash(session, runs, name, hold_ms, watcher=None):
    process = runs.start(name, [Drive(address=(1, 0, 0), commit_delay_ms=hold_ms)])
    auto = session.auto
    fw.through_warning_to_window(auto)
    fw.press_flash(auto)
    held = None
    if watcher:
        held = watcher(session, process)
        held.watch()
    window = fw.wait_flash_completed(auto, timeout=hold_ms / 1000 + 120)
    assert status(window) == "Flash Completed."
    fw.decline_restart(auto)
    fw.wait_revision(auto, "QF05")
    fw.close(auto, process)
    if held:
        held.check()
    trace = runs.directory(name) / "trace.txt"
    commits = [e for e in read_trace(trace) if is_commit(e)]
    assert [(e.drive, e.outcome) for e in commits] == [(0, "GOOD")], commits
    return trace.read_bytes()


def main():
    stop_displays_on_sigterm()
    args = parse_args()
    os.environ.pop("KF_E2E_SESSION", None)  # a display and a Wine server of its own
    work = Path(args.work)
    if work.exists():
        shutil.rmtree(work)
    with Session(args.wine_run, args.winauto, work) as session:
        session.use_virtual_desktop()
        session.set_dpi(96)
        runs = FlashRuns(session, args.program, args.aspi, work)
        quick = flash(session, runs, "quick", 0)
        held = flash(session, runs, "held", HOLD_MS, lambda s, p: HeldCommit(s, p, work))
        if held != quick:
            raise HarnessError("the held flash sent other commands than the quick one")
        print(f"trace: {len(held.splitlines())} commands, the same bytes as the quick flash")


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    run_test(main)
