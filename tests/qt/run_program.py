#!/usr/bin/env python3
"""The Linux program as a process. It runs from a folder of its own with a model
catalogue beside it and a firmware file in its current directory, so the builder it is
as built opens its window.

  offscreen  QT_QPA_PLATFORM=offscreen: it starts, stays up and waits idle in its loop.
  xvfb       under an Xvfb of the test's own: its window has the caption and geometry it
             must have, a screenshot is taken, the close request ends it with exit code 0.
"""

import argparse
import os
import shutil
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from xharness import HarnessError, Program, X, wait_until  # noqa: E402
from xserver import Xvfb  # noqa: E402

CAPTION = " Flash Utility V1.048A QF01-QF2Z [Buiding]"
VERSION_CAPTION = " Flash Utility V1.048A "
CATALOGUE = ("[MODEL00]\nModel=KRW-52088S\nInquiry=KOR-VEL KRW-52088S\nFW-Range=QF01-QF2Z\n"
             "BINMask=QF*.BIN\nVendor=Korvel-XQ\nNote=Korvel\n")


def place_program(program, folder):
    target = os.path.join(folder, "korvel-flash")
    shutil.copy2(program, target)
    with open(os.path.join(folder, "korvel-flash.INI"), "w") as f:
        f.write(CATALOGUE)
    with open(os.path.join(folder, "QF2A.BIN"), "wb") as f:
        f.write(b"\0" * 16384)
    os.makedirs(os.path.join(folder, "runtime"), mode=0o700)
    return target


def base_env(folder, platform):
    env = dict(os.environ, QT_QPA_PLATFORM=platform,
               XDG_RUNTIME_DIR=os.path.join(folder, "runtime"))
    env.pop("QT_DEBUG_PLUGINS", None)
    return env


def check(condition, message):
    if not condition:
        raise HarnessError(message)


def run_offscreen(program, folder, out):
    proc = Program([program], base_env(folder, "offscreen"), cwd=folder,
                   log_prefix=os.path.join(out, "qt_offscreen"))
    try:
        time.sleep(3)
        check(proc.running(), f"the program ended by itself (exit code {proc.process.poll()}): "
                              f"{proc.stderr_text()!r}")
        before = proc.cpu_seconds()
        time.sleep(2)
        check(proc.running(), "the program ended while idle")
        busy = proc.cpu_seconds() - before
        check(busy < 0.5, f"the program used {busy:.2f} s of CPU in 2 s: not idle in its loop")
        warnings = proc.stderr_text().strip()
        check(not warnings, f"the program complained: {warnings!r}")
        os.killpg(proc.pid, signal.SIGTERM)
        code = proc.wait(10)
        check(code == -signal.SIGTERM, f"ended with {code} instead of by the signal")
        print(f"offscreen: up for 5 s, {busy:.3f} s CPU while idle, no warnings")
    finally:
        proc.kill()


def run_xvfb(program, folder, out):
    with Xvfb() as server:
        proc = Program([program], base_env(folder, "xcb") | {"DISPLAY": server.display},
                       cwd=folder, log_prefix=os.path.join(out, "qt_xvfb"))
        try:
            x = X(server.display)
            windows = x.find_windows(CAPTION, timeout=20)
            check(len(windows) == 1, f"{len(windows)} windows named {CAPTION!r}")
            window = windows[0]
            name = x.window_name(window)
            check(name == CAPTION and VERSION_CAPTION in name, f"caption {name!r}")
            geometry = x.window_geometry(window)
            check(geometry == (192, 128, 425, 201), f"geometry {geometry}")
            code, listed = x.xdotool("search", "--onlyvisible", "--name", ".")
            names = {x.window_name(int(w)) for w in listed.split()} if code == 0 else set()
            check(names == {CAPTION}, f"other windows on the screen: {names - {CAPTION}}")
            time.sleep(0.5)  # let the first paint reach the server
            shot = x.screenshot(os.path.join(out, "screenshot-qt.png"), window)
            size = x.image_size(shot)
            check(size == (425, 201), f"screenshot of {size}")
            check(x.request_close(window), "the close request was not sent")
            code = proc.wait(10)
            check(code == 0, f"exit code {code}")
            wait_until(lambda: not x.window_exists(window), 5, what="the window to go")
            print(f"xvfb on {server.display}: window {window} {name!r} at {geometry}, "
                  f"screenshot {shot}, exit code {code}")
        finally:
            proc.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["offscreen", "xvfb"])
    parser.add_argument("--program", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="kf-qt-") as folder:
        program = place_program(args.program, folder)
        try:
            (run_offscreen if args.mode == "offscreen" else run_xvfb)(program, folder, args.out)
        except HarnessError as e:
            print(f"FAIL ({args.mode}): {e}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
