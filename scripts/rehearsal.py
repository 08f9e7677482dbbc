#!/usr/bin/env python3
"""A rehearsal of the whole job on the emulated drive: a sample firmware file (synthetic
bytes, not real firmware) and a model catalogue beside the builder; the builder makes a
flash program from them through its window; that flash program flashes an emulated
KRW-52088S through its own window.

With a display, the Linux programs open in real windows: click through them yourself.
Without one (or with --headless), the Windows programs run under Wine on a virtual
display, the same steps are clicked by the automation client, what you would have seen
is printed, and screenshots are left in the output folder. Without a Windows build (where
32-bit Windows programs cannot run) the Linux programs are clicked through the same way,
on a virtual display of their own."""
import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tests" / "qt"))
sys.path.insert(0, str(ROOT / "tests"))

import flash_window as fw  # noqa: E402
from emulated_drives import Drive, is_commit, read_trace, write_config  # noqa: E402
from flashprog import DLL_OVERRIDES, plain_image  # noqa: E402
from harness import Session  # noqa: E402

FIRMWARE = "QF2Z.BIN"
BUILT = "QF2Z.EXE"


def say(text):
    print(text.replace("\n", "\n    "), flush=True)


def step(text):
    print(flush=True)
    say(text)


def show_box(title, text):
    """What a message box showed, or the answer given to it."""
    if title is None:
        say(f"  -> {text}")
        return
    say(f"  [{title}]")
    for line in text.strip("\n").split("\n"):
        say(f"  | {line}")


def prepare(folder, program, catalogue_name):
    """The builder, its catalogue and the sample firmware file in a folder of their own."""
    folder.mkdir(parents=True)
    builder = folder / program.name
    shutil.copy2(program, builder)
    (folder / catalogue_name).write_text(fw.catalogue(fw.KRW_52088S))
    image = plain_image()
    (folder / FIRMWARE).write_bytes(image)
    say(f"In {folder}:\n{builder.name} (the builder), {catalogue_name} (one model, KRW-52088S),"
        f"\n{FIRMWARE}, {len(image)} bytes of synthetic firmware (not real firmware).")
    return builder, image


def sizes(built, builder):
    made, own = built.stat().st_size, builder.stat().st_size
    return f"{made} bytes, " + ("as long as the builder" if made == own else
                                f"NOT as long as the builder ({own} bytes)")


def drive_config(folder, windows=True):
    """One emulated drive at 1-0-0; what it commits goes to committed.bin."""
    drive = Drive(address=(1, 0, 0), revision_after_commit="QF2Z", image=folder / "committed.bin")
    return write_config(folder / "drives.txt", [drive], folder / "trace.txt", windows)


def report(code, folder, image, committed_name="committed.bin"):
    say(f"The flash program ended with exit code {code}.")
    committed = folder / committed_name
    commits = [e for e in read_trace(folder / "trace.txt") if is_commit(e)]
    if code == 0 and committed.exists() and committed.read_bytes() == image:
        say(f"The emulated drive committed {FIRMWARE} byte for byte ({len(commits)} commit).")
        return 0
    say("The emulated drive committed nothing (or something else): no complete flash.")
    return 1


def stand_in_systemctl(folder):
    """A rehearsal never restarts the machine, even when the restart question is answered
    Yes: the flash program finds this systemctl first on its PATH."""
    bin_dir = folder / "bin"
    bin_dir.mkdir()
    script = bin_dir / "systemctl"
    script.write_text("#!/bin/sh\necho \"rehearsal: a real flash would now run 'systemctl $*';"
                      " this machine is not restarted.\"\n")
    script.chmod(0o755)
    return bin_dir


def interactive(linux_build, out):
    """The Linux builder and flash program in real windows, the emulated drive beside."""
    folder = out / "linux"
    builder, image = prepare(folder, linux_build / "toolkit/qt/korvel-flash", "korvel-flash.INI")
    step("1. The builder opens. Click QF2Z.BIN in the file list, then Build. When the frame "
        'says "Build QF2Z.EXE complete!", close the window.')
    subprocess.run([str(builder)], cwd=folder)
    built = folder / BUILT
    if not built.exists():
        say(f"No {BUILT} was built; the rehearsal stops here.")
        return 1
    say(f"{BUILT} built: {sizes(built, builder)}.")
    shutil.copy2(linux_build / "emulator/libwnaspi32.so", folder / "libwnaspi32.so")
    config = drive_config(folder, windows=False)
    step(f"2. {BUILT} starts against an emulated drive at ASPI address 1-0-0. Answer the "
        "warning Yes, press FLASH, confirm, wait for \"Flash Completed.\", answer the restart "
        "question No, and close the window.")
    env = dict(os.environ, KORVEL_EMULATOR_CONFIG=config)
    env["PATH"] = str(stand_in_systemctl(folder)) + os.pathsep + env.get("PATH", "")
    code = subprocess.run([str(built)], cwd=folder, env=env).returncode
    return report(code, folder, image)


def headless(win32_build, out):
    """The 32-bit Windows builder and flash program under 32-bit Wine on a virtual display,
    clicked through."""
    folder = out / "windows"
    builder, image = prepare(folder, win32_build / "toolkit/win32/korvel-flash.exe",
                             "korvel-flash.INI")
    fw.observer = show_box
    os.environ.setdefault("KF_WINEPREFIX", str(win32_build / "wineprefix"))
    with Session(ROOT / "scripts/wine-run", win32_build / "tests/e2e/winauto.exe", folder) as s:
        s.use_virtual_desktop()
        step("1. The builder, under Wine.")
        process = s.start(builder, cwd=folder)
        auto = s.auto
        window = auto.wait(fw.MAIN, 60000)
        say(f'  window "{window["text"]}", models {fw.control(window, "ComboBox")["items"]}, '
            f'files {fw.control(window, "FileListBox1")["items"]}')
        s.screenshot(out / "1-builder.png", window)
        say(f"  -> {FIRMWARE}, Build")
        window = fw.build_flash_program(auto, 0, FIRMWARE)
        say(f'  frame: {fw.control(window, "GroupBox2")["text"]}')
        s.screenshot(out / "2-build-complete.png", window)
        fw.close(auto, process)
        built = folder / BUILT
        say(f"  {BUILT}: {sizes(built, builder)}")

        step(f"2. {BUILT} under Wine (reporting Windows 98), an emulated drive at 1-0-0.")
        shutil.copy2(win32_build / "emulator/WNASPI32.DLL", folder / "WNASPI32.DLL")
        s.set_registry(rf"HKCU\Software\Wine\AppDefaults\{BUILT}", "Version", "win98")
        process = s.start(built, cwd=folder, extra_env={
            "WINEDLLOVERRIDES": DLL_OVERRIDES, "KORVEL_EMULATOR_CONFIG": drive_config(folder)})
        window = fw.through_warning_to_window(auto)
        say(f'  window "{window["text"]}", drives {fw.control(window, "ComboBox")["items"]}')
        s.screenshot(out / "3-flash-program.png", window)
        say("  -> FLASH")
        fw.press_flash(auto, "QF01", "QF2Z")
        window = fw.wait_flash_completed(auto, 180, lambda status: say(f"  frame: {status}"))
        s.screenshot(out / "4-flash-completed.png", window)
        fw.decline_restart(auto)
        window = fw.wait_revision(auto, "QF2Z")
        say(f'  drives now {fw.control(window, "ComboBox")["items"]}')
        fw.close(auto, process)
    step(f"Screenshots: {out}")
    return report(0, folder, image)  # fw.close has seen exit code 0


def headless_linux(linux_build, out):
    """The Linux builder and flash program on a virtual display, clicked through as the
    Qt round-trip test clicks them (its steps and checks are this rehearsal's)."""
    import build_and_flash as qt
    from xharness import HarnessError, X
    from xserver import Xvfb

    folder = out / "linux"
    builder, image = prepare(folder, linux_build / "toolkit/qt/korvel-flash", "korvel-flash.INI")
    (folder / "runtime").mkdir(mode=0o700)
    try:
        with Xvfb() as server:
            x = X(server.display)
            step(f"1. The builder, on the virtual display {server.display}.")
            built = qt.build(x, str(builder), str(folder), str(out), image)
            step(f"2. {BUILT}, an emulated drive at 1-0-0.")
            qt.flash(x, built, str(folder), str(linux_build / "emulator/libwnaspi32.so"),
                     str(out), image)
    except HarnessError as e:
        say(f"The rehearsal stopped: {e}")
        return 1
    # The restart question is asked only after the frame says so, and was answered No.
    say('  frame: Flash Completed. (the restart question came, which only that status '
        'precedes)')
    step(f"Screenshots: {out}")
    return report(0, folder / "flash", image, "image.bin")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--linux", type=Path, help="the Linux build (with a display)")
    parser.add_argument("--win32", type=Path,
                        help="the Windows build; without it the Linux programs are clicked")
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--headless", action="store_true",
                        help="click through under Wine even where there is a display")
    parser.add_argument("--fresh-prefix", type=Path,
                        help="set up a new Wine prefix here first, as on a new machine")
    args = parser.parse_args()
    if args.out.exists():
        shutil.rmtree(args.out)
    args.out.mkdir(parents=True)
    if args.fresh_prefix:
        shutil.rmtree(args.fresh_prefix, ignore_errors=True)
        os.environ["KF_WINEPREFIX"] = str(args.fresh_prefix.resolve())
    if os.environ.get("DISPLAY") and not args.headless and args.linux:
        return interactive(args.linux.resolve(), args.out.resolve())
    if args.win32:
        return headless(args.win32.resolve(), args.out.resolve())
    if args.linux:
        return headless_linux(args.linux.resolve(), args.out.resolve())
    parser.error("a --win32 or a --linux build is needed")


if __name__ == "__main__":
    sys.exit(main())
