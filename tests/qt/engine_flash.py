#!/usr/bin/env python3
"""A whole flash through the flash engine, as a user without rights meets it: the real
Linux flash program (run as nobody when the test runs as root) under an Xvfb of the
test's own starts the engine, hands it its payload, and shows the engine's window. The
engine here is the tests' one: the engine's own run with the emulated drive behind the
fake platform, started as the user (KF_TEST_ENGINE), never through pkexec. The drive must
commit the firmware once, byte for byte; every window the user sees is the user's.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
sys.path.insert(0, os.path.dirname(HERE))
from build_and_flash import (BUTTON, FLASH_CAPTION, answer,  # noqa: E402
                             check_committed, place_fake_systemctl, screenshot)
from emulated_drives import is_commit, read_trace  # noqa: E402
from flashprog import make_flash_program, plain_image  # noqa: E402
from run_program import base_env, check  # noqa: E402
from xharness import HarnessError, Program, X, wait_until  # noqa: E402
from xserver import Xvfb  # noqa: E402

NOBODY = 65534


def owner_of(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("Uid:"):
                return int(line.split()[2])  # effective
    return None


def children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return [int(p) for p in f.read().split()]


def as_nobody(argv, runtime):
    """The command line that runs argv as nobody when this test runs as root: a user
    without rights, whose own runtime folder it gets."""
    if os.geteuid() != 0:
        return argv
    os.chown(runtime, NOBODY, NOBODY)
    return ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
            "--inh-caps=-all", "--bounding-set=-all"] + argv


def writable_by_all(path):
    os.makedirs(path, exist_ok=True)
    os.chmod(path, 0o777)
    return path


def flash(x, folder, program, engine, out, image):
    run = writable_by_all(os.path.join(folder, "flash"))
    os.makedirs(os.path.join(run, "bin"))
    place_fake_systemctl(run)
    committed, trace = os.path.join(run, "image.bin"), os.path.join(run, "trace.txt")
    config = os.path.join(run, "drives.txt")
    with open(config, "w") as f:
        f.write(f"trace {trace}\ndrive\nvendor KOR-VEL\nproduct KRW-52088S\nrevision QF01\n"
                f"revision-after-commit QF2Z\nimage {committed}\n")
    runtime = os.path.join(folder, "runtime")
    env = base_env(folder, "xcb") | {"DISPLAY": x.display, "KORVEL_EMULATOR_CONFIG": config,
                                     "KF_TEST_ENGINE": engine, "XDG_RUNTIME_DIR": runtime}
    env["PATH"] = os.path.join(run, "bin") + os.pathsep + env.get("PATH", "")
    proc = Program(as_nobody([program], runtime), env, cwd=run, log_prefix=os.path.join(out, "engine_flash"))
    try:
        (window,) = x.find_windows(" Flash Utility V1.048A ", timeout=20, visible=False)
        warning = x.find_dialog("Warning", window, timeout=20)
        users = {owner_of(proc.pid)} | {owner_of(c) for c in children(proc.pid)}
        check(0 not in users, f"a process of the flash runs as root: uids {users}")
        print(f"  the window's program and the engine run as uid {sorted(users)}")
        answer(x, warning, "y", "Warning")
        wait_until(lambda: x.visible_windows() == {window: FLASH_CAPTION}, 10,
                   what=f"only the main window {FLASH_CAPTION!r} on the screen")
        screenshot(x, window, out, "engine-flash-ready")
        check(x.click(window, *BUTTON), "click on FLASH failed")
        update = x.find_dialog("Confirm", window)
        check(not any(is_commit(e) for e in read_trace(trace)), "committed before the Yes")
        answer(x, update, "y", "update Confirm")
        restart = x.find_dialog("Confirm", window, timeout=120, exclude={update})
        answer(x, restart, "n", "restart Confirm")
        screenshot(x, window, out, "engine-flash-complete")
        check(x.request_close(window), "the close request was not sent")
        code = proc.wait(10)
        check(code == 0, f"the flash program ended with exit code {code}: {proc.stderr_text()}")
    finally:
        proc.kill()
    check(not os.path.exists(os.path.join(run, "bin", "systemctl.called")),
          "the flash tried to restart the machine")
    check_committed(committed, trace, image)

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--engine", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    os.makedirs(args.out, exist_ok=True)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="kf-engine-") as folder:
        os.chmod(folder, 0o755)
        image = plain_image()
        program = make_flash_program(args.program, os.path.join(folder, "QF2Z.EXE"), image,
                                     file_name="QF2Z.BIN")
        os.chmod(program, 0o755)
        engine = os.path.join(folder, "engine")
        shutil.copy2(args.engine, engine)
        os.makedirs(os.path.join(folder, "runtime"), mode=0o700)
        try:
            with Xvfb() as server:
                x = X(server.display)
                flash(x, folder, str(program), engine, args.out, image)
        except HarnessError as e:
            print(f"FAIL: {e}", file=sys.stderr)
            return 1
    print(f"PASS in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
