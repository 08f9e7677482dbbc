#!/usr/bin/env python3
"""The whole round trip through the real Linux binary under an Xvfb of the test's own:
the builder makes QF2Z.EXE from QF2Z.BIN through its window, then that flash program
flashes the emulated drive through its window. The image the drive commits must be the
firmware file, byte for byte, and it must be committed exactly once.

The restart question at the end is only ever answered No, and a stand-in `systemctl`
comes first on the flash program's PATH, so a wrong answer can never restart the machine.
"""

import argparse
import glob
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
sys.path.insert(0, os.path.dirname(HERE))
from emulated_drives import is_commit, read_trace  # noqa: E402
from flashprog import built_difference, plain_image  # noqa: E402
from run_program import CAPTION, CATALOGUE, base_env, check  # noqa: E402
from xharness import HarnessError, Program, X, wait_until  # noqa: E402
from xserver import Xvfb  # noqa: E402

FLASH_CAPTION = "Korvel-XQ Flash Utility V1.048A KRW-52088S"
FIRMWARE = "QF2Z.BIN"
BUILT = "QF2Z.EXE"
# Window-relative points, 96 dpi: the first item of the file list, and the Build / FLASH
# button (group box at 16,128, button at 320,16 57x25 inside it).
FIRST_FILE = (16 + 40, 72 + 8)
BUTTON = (16 + 320 + 28, 128 + 16 + 12)
FAKE_SYSTEMCTL = "#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/systemctl.called\"\nexit 1\n"


def place_fake_systemctl(run):
    """A stand-in systemctl in run/bin, first on the program's PATH: it records a restart
    request and fails it, so no answer can restart the machine."""
    os.makedirs(os.path.join(run, "bin"), exist_ok=True)
    fake = os.path.join(run, "bin", "systemctl")
    with open(fake, "w") as f:
        f.write(FAKE_SYSTEMCTL)
    os.chmod(fake, 0o755)


def screenshot(x, window, out, name):
    time.sleep(0.5)  # let the last paint reach the server
    path = x.screenshot(os.path.join(out, f"{name}.png"), window)
    print(f"  screenshot {path}")
    return path


def build(x, program, folder, out, image):
    print("step 1: the builder")
    proc = Program([program], base_env(folder, "xcb") | {"DISPLAY": x.display}, cwd=folder,
                   log_prefix=os.path.join(out, "build_and_flash_builder"))
    try:
        (window,) = x.find_windows(CAPTION, timeout=20)
        print(f"  window {window} {x.window_name(window)!r} at {x.window_geometry(window)}")
        built = os.path.join(folder, BUILT)
        # Nothing is chosen yet, so Build must do nothing.
        check(x.click(window, *BUTTON), "click on Build failed")
        time.sleep(1)
        check(not glob.glob(built + "*"), "Build made a file before a file was chosen")
        check(x.click(window, *FIRST_FILE), f"click on {FIRMWARE} failed")
        time.sleep(0.3)
        check(x.click(window, *BUTTON), "click on Build failed")
        size = os.path.getsize(program)
        wait_until(lambda: os.path.exists(built) and os.path.getsize(built) == size, 60,
                   what=f"{BUILT} of {size} bytes")
        leftovers = glob.glob(os.path.join(folder, "*.building"))
        check(not leftovers, f"left behind: {leftovers}")
        print(f"  {BUILT}: {os.path.getsize(built)} bytes (program {size})")
        screenshot(x, window, out, "build-complete")
        check(x.request_close(window), "the close request was not sent")
        code = proc.wait(10)
        check(code == 0, f"the builder ended with exit code {code}")
        print(f"  builder closed, exit code {code}")
    finally:
        proc.kill()
    check_built(program, built, image)
    return built


def check_built(program, built, image):
    print("step 2: the built flash program")
    want, got = open(program, "rb").read(), open(built, "rb").read()
    difference = built_difference(want, got, image, FIRMWARE)
    check(difference is None, f"{BUILT}: {difference}")
    mode, program_mode = os.stat(built).st_mode & 0o7777, os.stat(program).st_mode & 0o7777
    check(mode == program_mode and mode & 0o111, f"mode {mode:o}, program {program_mode:o}")
    print(f"  {len(got)} bytes as expected (header and firmware at the payload), mode {mode:o}")


def answer(x, box, key, what):
    check(x.key(box, key), f"the key {key!r} did not reach the {what} box")
    x.wait_hidden(box)


def flash(x, built, folder, aspi, out, image):
    print("step 3: the flash program against the emulated drive")
    run = os.path.join(folder, "flash")
    os.makedirs(os.path.join(run, "bin"))
    program = os.path.join(run, BUILT)
    os.rename(built, program)
    shutil.copy2(aspi, os.path.join(run, "libwnaspi32.so"))
    place_fake_systemctl(run)
    committed, trace = os.path.join(run, "image.bin"), os.path.join(run, "trace.txt")
    config = os.path.join(run, "drives.txt")
    with open(config, "w") as f:
        f.write(f"trace {trace}\ndrive\naddress 1 0 0\nvendor KOR-VEL\nproduct KRW-52088S\n"
                f"revision QF01\nrevision-after-commit QF2Z\ndelay-ms 20\nimage {committed}\n")
    env = base_env(folder, "xcb") | {"DISPLAY": x.display, "KORVEL_EMULATOR_CONFIG": config}
    env["PATH"] = os.path.join(run, "bin") + os.pathsep + env.get("PATH", "")
    proc = Program([program], env, cwd=run, log_prefix=os.path.join(out, "build_and_flash_flash"))
    try:
        (window,) = x.find_windows(" Flash Utility V1.048A ", timeout=20, visible=False)
        warning = x.find_dialog("Warning", window, timeout=20)
        print(f"  dialog 'Warning' ({warning}) over window {window}")
        screenshot(x, warning, out, "flash-warning")
        answer(x, warning, "y", "Warning")
        wait_until(lambda: x.visible_windows() == {window: FLASH_CAPTION}, 10,
                   what=f"only the main window {FLASH_CAPTION!r} on the screen")
        print(f"  main window {FLASH_CAPTION!r} at {x.window_geometry(window)}")
        screenshot(x, window, out, "flash-ready")
        check(x.click(window, *BUTTON), "click on FLASH failed")
        update = x.find_dialog("Confirm", window)
        print(f"  dialog 'Confirm' ({update}): the update question")
        screenshot(x, update, out, "flash-confirm")
        check(not any(is_commit(e) for e in read_trace(trace)), "committed before the Yes")
        answer(x, update, "y", "update Confirm")
        # The only box ever answered after this one is the restart question, and only No.
        restart = x.find_dialog("Confirm", window, timeout=120, exclude={update})
        print(f"  dialog 'Confirm' ({restart}): the restart question")
        check(any(is_commit(e) for e in read_trace(trace)), "restart asked with no commit")
        screenshot(x, restart, out, "flash-restart-question")
        answer(x, restart, "n", "restart Confirm")
        shown = x.visible_windows()
        check(shown == {window: FLASH_CAPTION}, f"windows on the screen: {shown}")
        screenshot(x, window, out, "flash-complete")
        check(x.request_close(window), "the close request was not sent")
        code = proc.wait(10)
        check(code == 0, f"the flash program ended with exit code {code}")
        print(f"  flash program closed, exit code {code}")
    finally:
        proc.kill()
    check(not os.path.exists(os.path.join(run, "bin", "systemctl.called")),
          "the flash program tried to restart the machine")
    print("step 4: what the drive committed")
    check_committed(committed, trace, image)


def check_committed(committed, trace, image):
    """The drive committed the firmware file, byte for byte, exactly once."""
    check(os.path.exists(committed), "the drive committed no image")
    data = open(committed, "rb").read()
    check(len(data) == len(image), f"committed image of {len(data)} bytes")
    differ = next((i for i in range(len(image)) if data[i] != image[i]), None)
    check(differ is None, f"committed image differs from {FIRMWARE} at {differ}")
    entries = read_trace(trace)
    commits = [e for e in entries if is_commit(e)]
    check(len(commits) == 1, f"{len(commits)} commits in the trace")
    check(commits[0].outcome == "GOOD", f"the commit ended {commits[0].outcome}")
    print(f"  committed {len(data)} bytes equal to {FIRMWARE}; {len(entries)} commands, "
          f"one commit {commits[0].cdb.hex()}")

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--aspi", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)  # steps and failure in their order
    os.makedirs(args.out, exist_ok=True)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="kf-roundtrip-") as folder:
        program = os.path.join(folder, "korvel-flash")
        shutil.copy2(args.program, program)
        with open(os.path.join(folder, "korvel-flash.INI"), "w") as f:
            f.write(CATALOGUE)
        image = plain_image()
        with open(os.path.join(folder, FIRMWARE), "wb") as f:
            f.write(image)
        print(f"{FIRMWARE}: {len(image)} bytes; program {os.path.getsize(program)} bytes")
        os.makedirs(os.path.join(folder, "runtime"), mode=0o700)
        try:
            with Xvfb() as server:
                x = X(server.display)
                print(f"Xvfb on {server.display}")
                built = build(x, program, folder, args.out, image)
                flash(x, built, folder, args.aspi, args.out, image)
        except HarnessError as e:
            print(f"FAIL: {e}", file=sys.stderr)
            return 1
    print(f"PASS in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
