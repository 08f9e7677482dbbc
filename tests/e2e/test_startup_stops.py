"""The start-up stops of a flash program under Wine: the warning declined, no drive at
all, and only drives that do not match; each ends the program with exit code 0 and
never shows the window."""

import shutil
from pathlib import Path

import flash_window as fw
from emulated_drives import Drive, read_trace
from flash_window import answer, box
from harness import HarnessError, Session, dialog_text, parse_args, run_test

REPORT_START = ("\nERROR:\n\nCan't found KRW-52088S firmware: QF01-QF2Z drive !\n\nThis flash "
                "utility only supports KRW-52088S firmware: QF01-QF2Z\n")


def ends_without_window(auto, process):
    code = process.wait(30)
    if code != 0:
        raise HarnessError(f"exit code {code}")
    shown = [w for w in auto.call("list")["windows"]
             if w["class"] == "TFlashForm" and w["visible"]]
    assert not shown, shown


def declined(session, runs):
    process = runs.start("declined", [Drive(address=(0, 0, 0))])
    warning = box(session.auto, "Warning", "warning")
    answer(session.auto, warning, "No")
    ends_without_window(session.auto, process)
    assert read_trace(runs.directory("declined") / "trace.txt") == [], "a drive was touched"


def report(session, runs, name, drives, tail):
    process = runs.start(name, drives)
    answer(session.auto, box(session.auto, "Warning"), "Yes")
    error = box(session.auto, "Error")
    assert dialog_text(error) == REPORT_START + tail, repr(dialog_text(error))
    answer(session.auto, error, "OK")
    ends_without_window(session.auto, process)


def main():
    from flashprog import FlashRuns

    args = parse_args()
    work = Path(args.work)
    if work.exists():
        shutil.rmtree(work)
    with Session(args.wine_run, args.winauto, work) as session:
        session.use_virtual_desktop()
        session.set_dpi(96)
        runs = FlashRuns(session, args.program, args.aspi, work)
        declined(session, runs)
        report(session, runs, "no-drive", [],
               "\nCan't find ATAPI Drive !\n")
        listed = ("\nDetected drives:\n" + "-" * 59 + "\n"
                  "0-0-0  : KOR-VEL KRW-52088S      QF00\n"
                  "0-1-0  : KOR-VEL krw-52088s      QF01\n"
                  "1-0-0  : KOR-VEL KRW-52088S      QF30\n")
        report(session, runs, "none-matching",
               [Drive(address=(0, 0, 0), revision="QF00"),
                Drive(address=(0, 1, 0), product="krw-52088s"),
                Drive(address=(1, 0, 0), revision="QF30")], listed)


if __name__ == "__main__":
    run_test(main)
