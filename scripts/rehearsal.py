#!/usr/bin/env python3
"""A rehearsal of a whole flash on the emulated drive: a flash program made for a sample
firmware image (synthetic bytes, not real firmware) flashes an emulated KRW-52088S.

With a display, the Linux program opens in a real window: click through it yourself.
Without one, the Windows program runs under Wine on a virtual display, the same steps are
clicked by the automation client, what you would have seen is printed, and screenshots
are left in the output folder."""
import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import flash_window as fw  # noqa: E402
from emulated_drives import Drive, wine_path, write_config  # noqa: E402
from flashprog import DLL_OVERRIDES, FLASH_PROGRAM, make_flash_program, plain_image  # noqa: E402
from harness import Session, dialog_text  # noqa: E402


def say(text):
    print(text.replace("\n", "\n    "), flush=True)


def interactive(linux_build, out):
    """The Linux flash program in a real window, with the emulated drive beside it."""
    folder = out / "linux"
    folder.mkdir(parents=True)
    image = plain_image()
    program = make_flash_program(linux_build / "toolkit/qt/korvel-flash", folder / FLASH_PROGRAM,
                                 image)
    program.chmod(0o755)
    shutil.copy2(linux_build / "emulator/libwnaspi32.so", folder / "libwnaspi32.so")
    drive = Drive(address=(1, 0, 0), image=folder / "committed.bin")
    config = folder / "drives.txt"
    lines = ["trace " + str(folder / "trace.txt")] + [
        line if not line.startswith("image ") else "image " + str(drive.image)
        for line in drive.lines()]
    config.write_text("\n".join(lines) + "\n")
    say(f"Starting {program} against an emulated drive at ASPI address 1-0-0.\n"
        "Answer the warning Yes, press FLASH, confirm, and answer the restart question No.")
    env = dict(os.environ, KORVEL_EMULATOR_CONFIG=str(config))
    code = subprocess.run([str(program)], cwd=folder, env=env).returncode
    return report(code, folder / "committed.bin", image)


def report(code, committed, image):
    say(f"The program ended with exit code {code}.")
    if committed.exists() and committed.read_bytes() == image:
        say("The emulated drive committed the flash program's image, byte for byte.")
        return 0
    say("The emulated drive committed nothing (or something else): no complete flash.")
    return 1


def box(auto, title):
    window = auto.wait("dialog", 60000)
    say(f'[{window["text"]}] {dialog_text(window)!r}')
    assert window["text"] == title, window["text"]
    return window


def answer(auto, window, button):
    say(f"  -> {button}")
    auto.call("click", f"hwnd:{window['hwnd']}", f"text:{button}")
    auto.gone(f"hwnd:{window['hwnd']}")


def headless(win64_build, out):
    """The Windows flash program under Wine on a virtual display, clicked through."""
    folder = out / "windows"
    folder.mkdir(parents=True)
    image = plain_image()
    program = make_flash_program(win64_build / "toolkit/win32/korvel-flash.exe",
                                 folder / FLASH_PROGRAM, image)
    shutil.copy2(win64_build / "emulator/WNASPI32.DLL", folder / "WNASPI32.DLL")
    config = write_config(folder / "drives.txt",
                          [Drive(address=(1, 0, 0), image=folder / "committed.bin")],
                          folder / "trace.txt")
    os.environ.setdefault("KF_WINEPREFIX", str(win64_build / "wineprefix"))
    with Session(ROOT / "scripts/wine-run", win64_build / "tests/e2e/winauto.exe", folder) as s:
        s.use_virtual_desktop()
        s.set_registry(rf"HKCU\Software\Wine\AppDefaults\{FLASH_PROGRAM}", "Version", "win98")
        say(f"Starting {FLASH_PROGRAM} under Wine against an emulated drive at 1-0-0.")
        process = s.start(program, cwd=folder, extra_env={"WINEDLLOVERRIDES": DLL_OVERRIDES,
                                                          "KORVEL_EMULATOR_CONFIG": config})
        auto = s.auto
        answer(auto, box(auto, "Warning"), "Yes")
        window = auto.wait(fw.MAIN, 60000)
        say(f'Window "{window["text"]}", drive: {fw.control(window, "ComboBox")["items"]}')
        s.screenshot(out / "1-window.png", window)
        auto.call("click", fw.MAIN, "id:107")
        say("  -> FLASH")
        answer(auto, box(auto, "Confirm"), "Yes")
        seen = []

        def done(w):
            status = fw.control(w, "GroupBox2")["text"]
            if not seen or seen[-1] != status:
                seen.append(status)
                say(f"status: {status}")
            return status in ("Flash Completed.", "Flash Fail.") or status.endswith("! ")

        window = auto.poll(fw.MAIN, done, timeout=180, what="the end of the flash")
        s.screenshot(out / "2-flash-completed.png", window)
        answer(auto, box(auto, "Confirm"), "No")
        window = auto.dump(fw.MAIN)
        say(f'Drive now: {fw.control(window, "ComboBox")["items"]}')
        auto.call("close", fw.MAIN)
        auto.gone(fw.MAIN)
        code = process.wait(30)
    say(f"Screenshots: {out}")
    return report(code, folder / "committed.bin", image)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--linux", type=Path, required=True)
    parser.add_argument("--win64", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    args = parser.parse_args()
    if args.out.exists():
        shutil.rmtree(args.out)
    args.out.mkdir(parents=True)
    if os.environ.get("DISPLAY"):
        return interactive(args.linux.resolve(), args.out.resolve())
    return headless(args.win64.resolve(), args.out.resolve())


if __name__ == "__main__":
    sys.exit(main())
