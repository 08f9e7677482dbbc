"""A flash program under Wine against emulated drives, through its real window: the
start-up with one matching drive among others, a whole flash committing exactly the
program's image, and a flash stopped by a failed chunk write without a commit."""

import shutil
from pathlib import Path

import flash_window as fw
from emulated_drives import Drive, is_commit, read_trace
from flashprog import FlashRuns
from harness import Session, dialog_text, parse_args, run_test


def drives(*faults):
    """One matching drive at 1-0-0 behind two that do not match."""
    return [Drive(address=(0, 0, 0), revision="QF30"),
            Drive(address=(0, 1, 0), product="OTHER"),
            Drive(address=(1, 0, 0), faults=faults, delay_ms=25)]  # slow enough to watch


def flash_completes(session, runs, work):
    process = runs.start("complete", drives())
    auto = session.auto
    fw.through_warning_to_window(auto)
    fw.press_flash(auto)
    window = fw.wait_flash_completed(auto)
    session.screenshot(Path(work) / "flash-completed.png", window)  # docs/ has its own script
    fw.decline_restart(auto)
    fw.wait_revision(auto, "QF05")
    fw.close(auto, process)
    folder = runs.directory("complete")
    assert (folder / "image2.bin").read_bytes() == runs.image, "committed image differs"
    assert not (folder / "image0.bin").exists() and not (folder / "image1.bin").exists()
    commits = [e for e in read_trace(folder / "trace.txt") if is_commit(e)]
    assert [(e.drive, e.outcome) for e in commits] == [(2, "GOOD")], commits


def chunk_write_fails(session, runs):
    process = runs.start("write-fault", drives("sense opcode=3B at=3 sense=03/0C/00"))
    auto = session.auto
    fw.through_warning_to_window(auto)
    fw.press_flash(auto)
    failure = fw.box(auto, fw.APPLICATION_TITLE)
    text = dialog_text(failure)
    assert text.startswith("Write Buffer> 03 0C 00."), repr(text)
    assert fw.SENSE_TEXT.fullmatch(text[len("Write Buffer> "):]), repr(text)
    fw.answer(auto, failure, "OK")
    auto.poll(fw.MAIN, lambda w: fw.control(w, "GroupBox2")["text"]
              == "Write BIN to drive's DRAM... , Fail! ", what="the failure status")
    fw.close(auto, process)
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
