#!/usr/bin/env python3
"""Takes the screenshots in docs/screenshots/: every state of a flash and of the builder,
at 96 and 144 dpi, from the 32-bit Windows program under 32-bit Wine (in a prefix of its
own, with Wine's own fonts) and from the Linux program, each on an Xvfb of its own,
against the emulated drive.

    python3 docs/screenshots.py --win32 <i686 build tree> --linux <Linux build tree>

Either tree may be left out. Files: <win32|linux>-<dpi>-<flash|builder>-<n>-<state>.png.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tests" / "qt"))
sys.path.insert(0, str(ROOT / "tests"))

import flash_window as fw  # noqa: E402
import flashprog  # noqa: E402
from emulated_drives import Drive, read_trace  # noqa: E402
from harness import Session  # noqa: E402

OUT = DOCS / "screenshots"
DPIS = (96, 144)
WRITE_FAULT = "sense opcode=3B at=3 sense=03/0C/00"
CATALOGUE = fw.catalogue(fw.KRW_52088S, fw.KRW_40000D)


# ---- Windows, under Wine ---------------------------------------------------------------

def union(*windows):
    left = min(w["x"] for w in windows)
    top = min(w["y"] for w in windows)
    right = max(w["x"] + w["w"] for w in windows)
    bottom = max(w["y"] + w["h"] for w in windows)
    return {"x": left, "y": top, "w": right - left, "h": bottom - top}


class WinShots:
    def __init__(self, session, dpi):
        self.session, self.dpi = session, dpi

    def shot(self, name, *windows):
        path = OUT / f"win32-{self.dpi}-{name}.png"
        time.sleep(0.3)
        self.session.screenshot(path, union(*windows))
        print(f"  {path.relative_to(ROOT)}")

    def main(self):
        return self.session.auto.dump(fw.MAIN)

    def until_status(self, starts, timeout=60):
        return self.session.auto.poll(
            fw.MAIN, lambda w: fw.control(w, "GroupBox2")["text"].startswith(starts),
            timeout=timeout, what=repr(starts))

    def flash(self, runs):
        process = runs.start("flash", [Drive(address=(1, 0, 0), delay_ms=150,
                                             commit_delay_ms=4000)])
        auto = self.session.auto
        self.shot("flash-1-warning", auto.wait("dialog", 60000))
        fw.through_warning_to_window(auto)
        self.shot("flash-2-ready", self.main())
        auto.call("click", fw.MAIN, "id:107")
        self.shot("flash-3-confirm", self.main(), auto.wait("dialog"))
        fw.answer(auto, auto.wait("dialog"), "Yes")
        for n, (starts, name) in enumerate([("Write BIN", "writing"),
                                            ("Read back", "verifying"),
                                            ("Don't turn off", "committing")], 4):
            self.until_status(starts)
            time.sleep(1)
            self.shot(f"flash-{n}-{name}", self.main())
        restart = auto.wait("dialog", 60000)
        self.shot("flash-7-completed", self.main(), restart)
        fw.answer(auto, restart, "No")
        fw.wait_revision(auto, "QF05")
        fw.close(auto, process)

    def failed_flash(self, runs):
        process = runs.start("failed", [Drive(address=(1, 0, 0), faults=(WRITE_FAULT,))])
        auto = self.session.auto
        fw.through_warning_to_window(auto)
        fw.press_flash(auto)
        failure = auto.wait("dialog", 60000)
        self.shot("flash-8-write-failed", self.main(), failure)
        fw.answer(auto, failure, "OK")
        self.until_status("Write BIN")
        self.shot("flash-9-failed", self.main())
        fw.close(auto, process)

    def builder(self, program, work):
        folder = work / "builder"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        shutil.copy2(program, folder / program.name)
        (folder / "korvel-flash.INI").write_text(CATALOGUE)
        (folder / "QF2Z.BIN").write_bytes(flashprog.plain_image())
        (folder / "QF2ZSHORT.BIN").write_bytes(b"\0" * 1000)
        process = self.session.start(folder / program.name, cwd=folder)
        auto = self.session.auto
        self.shot("builder-1-ready", auto.wait(fw.MAIN, 60000))
        auto.call("select", fw.MAIN, "id:104", 0)
        window = auto.poll(fw.MAIN, lambda w: fw.control(w, "FlashButton")["enabled"],
                           what="Build enabled")
        self.shot("builder-2-chosen", window)
        self.shot("builder-3-complete", fw.build_flash_program(auto, 0, "QF2Z.BIN"))
        auto.call("select", fw.MAIN, "id:104", 1)
        auto.poll(fw.MAIN, lambda w: fw.control(w, "FlashButton")["enabled"], what="Build")
        auto.call("click", fw.MAIN, "id:107")
        refusal = auto.wait("dialog")
        self.shot("builder-4-refused", self.main(), refusal)
        fw.answer(auto, refusal, "OK")
        fw.close(auto, process)


def windows(build, work):
    program = build / "toolkit" / "win32" / "korvel-flash.exe"
    winauto = build / "tests" / "e2e" / "winauto.exe"
    aspi = build / "emulator" / "WNASPI32.DLL"
    os.environ.pop("KF_E2E_SESSION", None)
    os.environ["KF_WINEPREFIX"] = str(work / "wineprefix")
    for dpi in DPIS:
        print(f"Windows at {dpi} dpi")
        with Session(ROOT / "scripts" / "wine-run", winauto, work) as session:
            session.use_virtual_desktop()
            session.set_dpi(dpi)
            shots = WinShots(session, dpi)
            runs = flashprog.FlashRuns(session, program, aspi, work)
            shots.flash(runs)
            shots.failed_flash(runs)
            shots.builder(program, work)
            session.set_dpi(96)


# ---- Linux ------------------------------------------------------------------------------

def linux(build, work):
    from build_and_flash import FAKE_SYSTEMCTL, FLASH_CAPTION
    from run_program import base_env
    from xharness import Program, X, wait_until
    from xserver import Xvfb

    program = build / "toolkit" / "qt" / "korvel-flash"
    aspi = build / "emulator" / "libwnaspi32.so"
    for dpi in DPIS:
        scale = dpi / 96
        print(f"Linux at {dpi} dpi")

        def at(x, y):
            return round(x * scale), round(y * scale)

        with Xvfb() as server:
            x = X(server.display)

            def shot(name, window):
                path = OUT / f"linux-{dpi}-{name}.png"
                time.sleep(0.5)
                x.screenshot(str(path), window)
                print(f"  {path.relative_to(ROOT)}")

            def start(folder, binary, config=None):
                env = base_env(str(folder), "xcb") | {"DISPLAY": server.display,
                                                      "QT_SCALE_FACTOR": str(scale)}
                if config:
                    env["KORVEL_EMULATOR_CONFIG"] = str(config)
                env["PATH"] = f"{folder / 'bin'}{os.pathsep}{env.get('PATH', '')}"
                (folder / "runtime").mkdir(mode=0o700, exist_ok=True)
                return Program([str(binary)], env, cwd=str(folder))

            def answer(box, key):
                x.key(box, key)
                x.wait_hidden(box)

            def flash_program(name, faults=""):
                folder = work / f"linux-{dpi}-{name}"
                shutil.rmtree(folder, ignore_errors=True)
                (folder / "bin").mkdir(parents=True)
                (folder / "bin" / "systemctl").write_text(FAKE_SYSTEMCTL)
                (folder / "bin" / "systemctl").chmod(0o755)
                binary = flashprog.make_flash_program(program, folder / "QF05",
                                                      flashprog.plain_image())
                binary.chmod(0o755)
                shutil.copy2(aspi, folder / "libwnaspi32.so")
                config = folder / "drives.txt"
                config.write_text(
                    f"trace {folder}/trace.txt\ndrive\naddress 1 0 0\nvendor KOR-VEL\n"
                    "product KRW-52088S\nrevision QF01\nrevision-after-commit QF05\n"
                    f"delay-ms 150\ncommit-delay-ms 4000\n{faults}")
                return folder, start(folder, binary, config)

            def commands(folder, opcode):
                return sum(e.cdb[0] == opcode for e in read_trace(folder / "trace.txt"))

            folder, proc = flash_program("flash")
            try:
                (window,) = x.find_windows(fw.VERSION_CAPTION, timeout=20, visible=False)
                warning = x.find_dialog("Warning", window, timeout=20)
                shot("flash-1-warning", warning)
                answer(warning, "y")
                wait_until(lambda: x.visible_windows() == {window: FLASH_CAPTION}, 10,
                           what="the main window")
                shot("flash-2-ready", window)
                x.click(window, *at(16 + 320 + 28, 128 + 16 + 12))
                update = x.find_dialog("Confirm", window)
                shot("flash-3-confirm", update)
                answer(update, "y")
                for n, (opcode, count, name) in enumerate([(0x3B, 8, "writing"),
                                                           (0x3C, 8, "verifying"),
                                                           (0x3C, 32, "committing")], 4):
                    wait_until(lambda: commands(folder, opcode) >= count, 60, what=name)
                    shot(f"flash-{n}-{name}", window)
                restart = x.find_dialog("Confirm", window, timeout=60, exclude={update})
                shot("flash-7-completed", window)
                shot("flash-7-restart-question", restart)
                answer(restart, "n")
                x.request_close(window)
                proc.wait(10)
            finally:
                proc.kill()

            folder, proc = flash_program("failed", f"fault {WRITE_FAULT}\n")
            try:
                (window,) = x.find_windows(fw.VERSION_CAPTION, timeout=20, visible=False)
                answer(x.find_dialog("Warning", window, timeout=20), "y")
                wait_until(lambda: x.visible_windows() == {window: FLASH_CAPTION}, 10,
                           what="the main window")
                x.click(window, *at(16 + 320 + 28, 128 + 16 + 12))
                update = x.find_dialog("Confirm", window)
                answer(update, "y")
                failure = x.find_dialog(fw.APPLICATION_TITLE, window, timeout=60)
                shot("flash-8-write-failed", failure)
                answer(failure, "space")
                shot("flash-9-failed", window)
                x.request_close(window)
                proc.wait(10)
            finally:
                proc.kill()

            folder = work / f"linux-{dpi}-builder"
            shutil.rmtree(folder, ignore_errors=True)
            (folder / "bin").mkdir(parents=True)
            shutil.copy2(program, folder / "korvel-flash")
            (folder / "korvel-flash.INI").write_text(CATALOGUE)
            (folder / "QF2Z.BIN").write_bytes(flashprog.plain_image())
            (folder / "QF2ZSHORT.BIN").write_bytes(b"\0" * 1000)
            proc = start(folder, folder / "korvel-flash")
            try:
                caption = fw.VERSION_CAPTION + "QF01-QF2Z [Buiding]"
                (window,) = x.find_windows(caption, timeout=20)
                shot("builder-1-ready", window)
                x.click(window, *at(16 + 40, 72 + 8))
                shot("builder-2-chosen", window)
                x.click(window, *at(16 + 320 + 28, 128 + 16 + 12))
                time.sleep(0.3)
                wait_until(lambda: (folder / "QF2Z.EXE").exists(), 60, what="QF2Z.EXE")
                shot("builder-3-complete", window)
                x.request_close(window)
                proc.wait(10)
            finally:
                proc.kill()
            (folder / "QF2Z.BIN").unlink()
            proc = start(folder, folder / "korvel-flash")
            try:
                (window,) = x.find_windows(caption, timeout=20)
                x.click(window, *at(16 + 40, 72 + 8))
                time.sleep(0.3)
                x.click(window, *at(16 + 320 + 28, 128 + 16 + 12))
                refusal = x.find_dialog(fw.APPLICATION_TITLE, window, timeout=20)
                shot("builder-4-refused", refusal)
                answer(refusal, "space")
                shot("builder-5-failed", window)
                x.request_close(window)
                proc.wait(10)
            finally:
                proc.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--win32", type=Path, help="the i686 build tree")
    parser.add_argument("--linux", type=Path, help="the Linux build tree")
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    OUT.mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="kf-shots-") as work:
        if args.linux:
            linux(args.linux.resolve(), Path(work))
        if args.win32:
            windows(args.win32.resolve(), Path(work))
    if shutil.which("optipng"):
        subprocess.run(["optipng", "-quiet", *map(str, OUT.glob("*.png"))], check=False)


if __name__ == "__main__":
    main()
