"""The whole job under Wine: the program as built (the builder) makes a flash program
from a catalogue and a firmware file through its window, and that flash program then
flashes an emulated drive through its own window. The drive must commit the firmware
file byte for byte."""

import shutil
from pathlib import Path

import flash_window as fw
from emulated_drives import Drive, is_commit, read_trace, write_config
from flashprog import DLL_OVERRIDES, FIRMWARE_AREA, built_difference, plain_image
from harness import Session, fresh_work_dir, parse_args, run_test

FIRMWARE = "QF2Z.BIN"
BUILT = "QF2Z.EXE"


def build(session, program, folder):
    """Runs the builder in folder; returns the built program's path."""
    process = session.start(program, cwd=folder)
    auto = session.auto
    window = auto.wait(fw.MAIN, 60000)
    assert fw.control(window, "FileListBox1")["items"] == [FIRMWARE]
    window = fw.build_flash_program(auto, 0, FIRMWARE)
    session.screenshot(folder / "build-complete.png", window)
    fw.close(auto, process)
    assert not list(folder.glob("*.building")), "a partial file is left"
    return folder / BUILT


def check_built(program, built, image):
    """The program's bytes, with the catalogue entry and the image over its payload."""
    difference = built_difference(program.read_bytes(), built.read_bytes(), image, FIRMWARE)
    assert difference is None, difference


def flash(session, built, aspi, image):
    folder = built.parent
    shutil.copy2(aspi, folder / "WNASPI32.DLL")
    drive = Drive(address=(1, 0, 0), revision_after_commit="QF2Z", image=folder / "committed.bin")
    config = write_config(folder / "drives.txt", [drive], folder / "trace.txt")
    session.set_registry(rf"HKCU\Software\Wine\AppDefaults\{BUILT}", "Version", "win98")
    process = session.start(built, cwd=folder, extra_env={"WINEDLLOVERRIDES": DLL_OVERRIDES,
                                                          "KORVEL_EMULATOR_CONFIG": config})
    auto = session.auto
    fw.through_warning_to_window(auto)
    fw.press_flash(auto, "QF01", "QF2Z")
    window = fw.wait_flash_completed(auto)
    session.screenshot(folder / "flash-completed.png", window)
    fw.decline_restart(auto)
    fw.wait_revision(auto, "QF2Z")
    fw.close(auto, process)
    assert (folder / "committed.bin").read_bytes() == image, "committed image differs"
    commits = [e for e in read_trace(folder / "trace.txt") if is_commit(e)]
    assert [e.outcome for e in commits] == ["GOOD"], commits


def main():
    args = parse_args()
    work = Path(args.work)
    image = plain_image()
    assert len(image) == FIRMWARE_AREA
    program = fresh_work_dir(work, args.program,
                             {"korvel-flash.INI": fw.catalogue(fw.KRW_52088S), FIRMWARE: image})
    with Session(args.wine_run, args.winauto, work) as session:
        session.use_virtual_desktop()
        session.set_dpi(96)
        built = build(session, program, work)
        check_built(program, built, image)
        flash(session, built, args.aspi, image)


if __name__ == "__main__":
    run_test(main)
