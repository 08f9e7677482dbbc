#!/usr/bin/env python3
"""A commit the emulated drive holds for 70 s, on the Linux program under an Xvfb of the
test's own, the program alone or (--engine) through the flash engine, whose window the
program shows while the engine waits for the drive. While it is held the window answers the X server's ping (_NET_WM_PING, as a
desktop sends it to tell a hung program) within 1 s, twice a second; paints again what
another window covered; and refuses the close request. The flash then reaches the
restart question with exactly one commit and the same commands, byte for byte, as a
flash whose commit is not held.

The restart question is only ever answered No, and a stand-in `systemctl` comes first on
the program's PATH.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
sys.path.insert(0, os.path.dirname(HERE))
from build_and_flash import BUTTON, FLASH_CAPTION, answer, place_fake_systemctl  # noqa: E402
from engine_flash import as_nobody  # noqa: E402
from emulated_drives import is_commit, read_trace  # noqa: E402
from flashprog import make_flash_program, plain_image  # noqa: E402
from run_program import base_env, check  # noqa: E402
from xharness import HarnessError, Program, X, wait_until  # noqa: E402
from xserver import Xvfb, stop_displays_on_sigterm  # noqa: E402

HOLD_MS = 70000
READ_BUFFER = 0x3C
CHUNKS = 32
PROBE_EVERY = 0.5
# The status line, window-relative at 96 dpi: the group box's caption band above the bar.
STATUS = (16, 128, 385, 16)


def place(folder, program, aspi, name, hold_ms):
    """A flash program of the plain image with the emulated drive beside it, or, without
    the layer, for the engine's emulated drive."""
    run = os.path.join(folder, name)
    os.makedirs(os.path.join(run, "bin"))
    os.chmod(run, 0o777)
    flash = make_flash_program(program, os.path.join(run, "QF05"), plain_image())
    os.chmod(flash, 0o755)
    if aspi:
        shutil.copy2(aspi, os.path.join(run, "libwnaspi32.so"))
    place_fake_systemctl(run)
    with open(os.path.join(run, "drives.txt"), "w") as f:
        f.write(f"trace {run}/trace.txt\ndrive\naddress 1 0 0\nvendor KOR-VEL\n"
                f"product KRW-52088S\nrevision QF01\nrevision-after-commit QF05\ndelay-ms 20\n"
                f"commit-delay-ms {hold_ms}\nimage {run}/image.bin\n")
    os.makedirs(os.path.join(run, "runtime"), mode=0o700)
    return run, str(flash)


def pixels(x, window, path):
    x.screenshot(path, window)
    geometry = f"{STATUS[2]}x{STATUS[3]}+{STATUS[0]}+{STATUS[1]}"
    return subprocess.run(["convert", path, "-crop", geometry, "+repage", "rgb:-"],
                          check=True, capture_output=True, timeout=30).stdout


def ink(data):
    return sum(1 for i in range(0, len(data), 3) if max(data[i:i + 3]) < 96)


def watch_commit(x, proc, window, run, out):
    """Probes the window until the commit ends; returns what was measured."""
    trace = os.path.join(run, "trace.txt")
    wait_until(lambda: sum(e.cdb[0] == READ_BUFFER for e in read_trace(trace)) == CHUNKS, 60,
               what="the image read back before the commit")
    start = time.monotonic()
    cpu = proc.cpu_seconds()
    time.sleep(0.5)
    before = pixels(x, window, os.path.join(out, "held-status-before-cover.png"))
    check(ink(before) > 50, "no status line to compare")
    probes, covered, closed = [], False, False
    while not any(is_commit(e) for e in read_trace(trace)):
        now = time.monotonic() - start
        probes.append((now, x.ping(window, 1.0)))
        if not covered and now > 5:
            gx, gy, _, _ = x.window_geometry(window)
            x.cover((gx, gy, 425, 201))
            time.sleep(0.3)
            after = pixels(x, window, os.path.join(out, "held-status-after-cover.png"))
            check(after == before, "the status line was not painted again once uncovered")
            covered = True
        if not closed and now > 10:
            check(x.request_close(window), "the close request was not sent")
            closed = True
        if closed and now > 12:
            check(proc.running() and window in x.visible_windows(), "closed mid-commit")
        time.sleep(max(0.0, PROBE_EVERY - (time.monotonic() - start - now)))
    seconds = time.monotonic() - start
    return probes, seconds, proc.cpu_seconds() - cpu, covered and closed


def flash(x, folder, program, aspi, engine, out, name, hold_ms):
    run, flash_program = place(folder, program, None if engine else aspi, name, hold_ms)
    env = base_env(run, "xcb") | {"DISPLAY": x.display,
                                  "KORVEL_EMULATOR_CONFIG": os.path.join(run, "drives.txt")}
    env["PATH"] = os.path.join(run, "bin") + os.pathsep + env.get("PATH", "")
    argv = [flash_program]
    if engine:
        env["KF_TEST_ENGINE"] = engine
        argv = as_nobody(argv, os.path.join(run, "runtime"))
    proc = Program(argv, env, cwd=run, log_prefix=os.path.join(out, f"held_{name}"))
    measured = None
    try:
        (window,) = x.find_windows(" Flash Utility V1.048A ", timeout=20, visible=False)
        answer(x, x.find_dialog("Warning", window, timeout=20), "y", "Warning")
        wait_until(lambda: x.visible_windows() == {window: FLASH_CAPTION}, 10,
                   what=f"the main window {FLASH_CAPTION!r}")
        check(x.click(window, *BUTTON), "click on FLASH failed")
        update = x.find_dialog("Confirm", window)
        answer(x, update, "y", "update Confirm")
        if hold_ms:
            measured = watch_commit(x, proc, window, run, out)
        restart = x.find_dialog("Confirm", window, timeout=60, exclude={update})
        answer(x, restart, "n", "restart Confirm")
        check(x.request_close(window), "the close request was not sent")
        check(proc.wait(10) == 0, "the flash program did not end with exit code 0")
    finally:
        proc.kill()
    check(not os.path.exists(os.path.join(run, "bin", "systemctl.called")),
          "the flash program tried to restart the machine")
    entries = read_trace(os.path.join(run, "trace.txt"))
    commits = [e for e in entries if is_commit(e)]
    check([e.outcome for e in commits] == ["GOOD"], f"commits: {commits}")
    with open(os.path.join(run, "trace.txt"), "rb") as f:
        return f.read(), measured


def main():
    stop_displays_on_sigterm()
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--aspi", required=True)
    parser.add_argument("--engine")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="kf-held-") as folder:
        os.chmod(folder, 0o755)
        if args.engine:  # where nobody may run it: a build tree may be private
            args.engine = shutil.copy2(args.engine, os.path.join(folder, "engine"))
        try:
            with Xvfb() as server:
                x = X(server.display)
                quick, _ = flash(x, folder, args.program, args.aspi, args.engine, args.out,
                                 "quick", 0)
                held, measured = flash(x, folder, args.program, args.aspi, args.engine, args.out,
                                       "held", HOLD_MS)
        except HarnessError as e:
            print(f"FAIL: {e}", file=sys.stderr)
            return 1
    probes, seconds, cpu, acted = measured
    answered = [t for t, latency in probes if latency is not None]
    gaps = [b - a for a, b in zip(answered, answered[1:])]
    per_second = [sum(1 for t in answered if s <= t < s + 1) for s in range(int(seconds))]
    slowest = max(latency for _, latency in probes if latency is not None)
    print(f"held commit: {seconds:.1f} s, {len(answered)} of {len(probes)} pings answered "
          f"(at least {min(per_second)} a second, slowest {slowest * 1000:.0f} ms, longest gap "
          f"{max(gaps):.2f} s), close request refused, status line painted again after "
          f"covering, program CPU {cpu:.1f} s")
    failures = []
    if seconds < HOLD_MS / 1000 - 2:
        failures.append(f"the commit took only {seconds:.1f} s")
    # Each ping is answered within a second or counts as unanswered: that is the window's
    # part. A longer gap between two pings is the prober's own (a loaded machine, the
    # covering and its screenshots), so it only has to keep probing the whole commit.
    if len(answered) != len(probes):
        failures.append("the window did not answer every ping within a second")
    if max(gaps) > 2.5:
        failures.append(f"the pings left a gap of {max(gaps):.2f} s in the commit")
    if not acted:
        failures.append("the window was not covered and asked to close during the commit")
    if held != quick:
        failures.append("the held flash sent other commands than the quick one")
    for failure in failures:
        print(f"FAIL: {failure}", file=sys.stderr)
    if not failures:
        print(f"trace: {len(held.splitlines())} commands, the same bytes as the quick flash")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
