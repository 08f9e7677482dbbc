"""A flash program under Wine against emulated drives, through its real window: the
start-up with one matching drive among others, a whole flash committing exactly the
program's image, and a flash stopped by a failed chunk write without a commit."""

import re
import shutil
from pathlib import Path

import flash_window as fw
from emulated_drives import Drive, is_commit, read_trace
from flashprog import FlashRuns
from harness import HarnessError, Session, dialog_text, parse_args, run_test

WARNING = ("\nWARNING:\n\nThis flash utility only supports Korvel-XQ KRW-52088S drive with "
           "firmware:QF01-QF2Z\nWe recommend you close all applications in order to run this "
           "update! \nDon't turn off the system while the flash is in progress!\n\nDo you wish "
           "to continue?\n")
CAPTION = "Korvel-XQ Flash Utility V1.048A KRW-52088S"
LABEL = "Select the Korvel-XQ drive you want to update:"
MATCHING = "1-0-0  : KOR-VEL KRW-52088S      "
SENSE_TEXT = re.compile(r"[0-9A-F]{2} [0-9A-F]{2} [0-9A-F]{2}\. [0-9A-F]{2}, [0-9A-F]{4}")


def drives(*faults):
    """One matching drive at 1-0-0 behind two that do not match."""
    return [Drive(address=(0, 0, 0), revision="QF30"),
            Drive(address=(0, 1, 0), product="OTHER"),
            Drive(address=(1, 0, 0), faults=faults, delay_ms=25)]  # slow enough to watch


def box(auto, title, icon=None):
    window = auto.wait("dialog", 60000)
    assert window["text"] == title, (window["text"], dialog_text(window))
    if icon:
        # Icon handles belong to the program's process, so the client can only tell
        # that the box shows one; its title names the kind.
        icons = [c.get("icon") for c in window["children"] if c.get("icon")]
        assert len(icons) == 1, icons
    return window


def answer(auto, window, button):
    auto.call("click", f"hwnd:{window['hwnd']}", f"text:{button}")
    auto.gone(f"hwnd:{window['hwnd']}")


def through_warning_to_window(auto):
    warning = box(auto, "Warning", "warning")
    assert dialog_text(warning) == WARNING, repr(dialog_text(warning))
    buttons = [c["text"].replace("&", "")
               for c in warning["children"] if c["class"] == "Button"]
    assert buttons == ["Yes", "No"], buttons
    answer(auto, warning, "Yes")
    window = auto.wait(fw.MAIN, 60000)
    assert window["text"] == CAPTION, window["text"]
    assert fw.control(window, "SelectDriveLabel")["text"] == LABEL
    combo = fw.control(window, "ComboBox")
    assert combo["items"] == [MATCHING + "QF01"] and combo["index"] == 0, combo
    assert fw.control(window, "FlashButton")["text"] == "FLASH"
    return window


def press_flash(auto):
    auto.call("click", fw.MAIN, "id:107")
    question = box(auto, "Confirm", "question")
    assert dialog_text(question) == "\nUpdate Firmware QF01 to QF05 ?\n", dialog_text(question)
    answer(auto, question, "Yes")


def close(auto, process):
    auto.call("close", fw.MAIN)
    auto.gone(fw.MAIN)
    code = process.wait(30)
    if code != 0:
        raise HarnessError(f"exit code {code}")


def flash_completes(session, runs, work):
    process = runs.start("complete", drives())
    auto = session.auto
    through_warning_to_window(auto)
    press_flash(auto)
    def done(window):
        return fw.control(window, "GroupBox2")["text"] == "Flash Completed."

    window = auto.poll(fw.MAIN, done, timeout=120, what="Flash Completed.")
    # The flash runs on the window's thread, so a dump answers only between its steps:
    # the bar is seen full at the end, not each step on the way.
    bar = fw.control(window, "ProgressBar")
    assert bar["pos"] == bar["max"] > 0, bar
    shot = session.screenshot(Path(work) / "flash-completed.png", window)
    docs = Path(__file__).resolve().parents[2] / "docs"
    if docs.is_dir():
        shutil.copy(shot, docs / "screenshot-win32-flash.png")
    restart = box(auto, "Confirm", "question")
    assert dialog_text(restart) == ("The system needs to be restarted for the changes to "
                                    "take effect ?"), dialog_text(restart)
    answer(auto, restart, "No")
    window = auto.poll(fw.MAIN, lambda w: fw.control(w, "ComboBox")["items"]
                       == [MATCHING + "QF05"], what="the new revision in the combo box")
    close(auto, process)
    folder = runs.directory("complete")
    assert (folder / "image2.bin").read_bytes() == runs.image, "committed image differs"
    assert not (folder / "image0.bin").exists() and not (folder / "image1.bin").exists()
    commits = [e for e in read_trace(folder / "trace.txt") if is_commit(e)]
    assert [(e.drive, e.outcome) for e in commits] == [(2, "GOOD")], commits


def chunk_write_fails(session, runs):
    process = runs.start("write-fault", drives("sense opcode=3B at=3 sense=03/0C/00"))
    auto = session.auto
    through_warning_to_window(auto)
    press_flash(auto)
    failure = box(auto, fw.APPLICATION_TITLE)
    text = dialog_text(failure)
    assert text.startswith("Write Buffer> 03 0C 00."), repr(text)
    assert SENSE_TEXT.fullmatch(text[len("Write Buffer> "):]), repr(text)
    answer(auto, failure, "OK")
    auto.poll(fw.MAIN, lambda w: fw.control(w, "GroupBox2")["text"]
              == "Write BIN to drive's DRAM... , Fail! ", what="the failure status")
    close(auto, process)
    trace = read_trace(runs.directory("write-fault") / "trace.txt")
    assert trace and trace[-1].cdb[0] == 0x3B and trace[-1].outcome == "CHECK", trace[-1:]
    assert not any(is_commit(e) for e in trace), "a commit was sent"
    assert not (runs.directory("write-fault") / "image2.bin").exists()


def main():
    args = parse_args()
    work = Path(args.work)
    if work.exists():
        shutil.rmtree(work)
    with Session(args.wine_run, args.winauto, work) as session:
        session.use_virtual_desktop()
        session.set_dpi(96)
        runs = FlashRuns(session, args.program, args.aspi, work)
        flash_completes(session, runs, work)
        chunk_write_fails(session, runs)


if __name__ == "__main__":
    run_test(main)
