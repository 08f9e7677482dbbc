"""korvel-flash.exe as built (the builder) under Wine: its window built from the form
resource, the events of its controls reaching the program, Tab order, closing."""

import shutil
from pathlib import Path

import flash_window as fw
from harness import HarnessError, Session, fresh_work_dir, parse_args, run_test

FILES = {
    "korvel-flash.INI": fw.catalogue(fw.KRW_52088S, fw.KRW_40000D),
    "QF2Z.BIN": bytes(range(256)) * 64,  # one 16384-byte chunk
    "qf01.bin": b"\0" * 64,
    "QFNOTES.TXT": "not firmware",
    "QFOLD.BIN/": None,  # a directory: never listed
    "K40.HEX": b"\0" * 16,
}


def focus_id(auto):
    focus = auto.call("focus", fw.MAIN)["focus"]
    assert focus, "no control has the focus"
    # The combo box's edit field holds the focus for the combo box.
    return 103 if focus["class"].lower() == "edit" and focus["id"] == 1001 else focus["id"]


def check_builder_window(window):
    fw.check_layout(window, 96)
    assert window["text"] == fw.VERSION_CAPTION + "QF01-QF2Z [Buiding]", window["text"]
    assert fw.control(window, "SelectDriveLabel")["text"] == "Select Model: "
    combo = fw.control(window, "ComboBox")
    assert combo["items"] == ["QF01-QF2Z KOR-VEL KRW-52088S", "-------- KOR-VEL KRW-40000D"], combo
    assert combo["index"] == 0 and combo["text"] == combo["items"][0]
    files = fw.control(window, "FileListBox1")
    assert files["visible"] and files["items"] == ["QF2Z.BIN", "qf01.bin"], files
    button = fw.control(window, "FlashButton")
    assert button["text"] == "Build" and not button["enabled"], button
    bar = fw.control(window, "ProgressBar")
    assert (bar["min"], bar["max"], bar["pos"]) == (0, 100, 0), bar
    assert fw.control(window, "GroupBox2")["text"] == ""


def check_events(auto):
    # A click on a file enables Build: the list's notification reached the handler.
    auto.call("select", fw.MAIN, "id:104", 0)
    auto.poll(fw.MAIN, lambda w: fw.control(w, "FlashButton")["enabled"], what="Build enabled")

    # Tab walks combo box, file list, Build button, and round again.
    order = [focus_id(auto)]
    for _ in range(3):
        auto.call("key", fw.MAIN, "tab")
        before = order[-1]
        auto.poll(fw.MAIN, lambda w: focus_id(auto) != before, timeout=10, what="focus to move")
        order.append(focus_id(auto))
    assert order == [103, 104, 107, 103], f"tab order {order}"

    # Another model: its mask, its caption, Build disabled again.
    auto.call("select", fw.MAIN, "id:103", 1)
    window = auto.poll(fw.MAIN, lambda w: w["text"].endswith("-------- [Buiding]"),
                       what="caption of the second model")
    assert fw.control(window, "FileListBox1")["items"] == ["K40.HEX"]
    assert not fw.control(window, "FlashButton")["enabled"]

    # Typing leaves no item selected, and the handler then changes nothing.
    auto.call("type", fw.MAIN, "id:103", "KRW")
    window = auto.poll(fw.MAIN, lambda w: fw.control(w, "ComboBox")["text"] == "KRW",
                       what="typed text")
    assert fw.control(window, "ComboBox")["index"] == -1
    assert window["text"] == fw.VERSION_CAPTION + "-------- [Buiding]"
    assert fw.control(window, "FileListBox1")["items"] == ["K40.HEX"]


def main():
    args = parse_args()
    program = fresh_work_dir(args.work, args.program, FILES)
    with Session(args.wine_run, args.winauto, args.work) as session:
        session.use_virtual_desktop()
        session.set_dpi(96)
        process = session.start(program, cwd=args.work)
        auto = session.auto
        window = auto.wait(fw.MAIN, 60000)
        check_builder_window(window)
        shot = session.screenshot(Path(args.work) / "screenshot-win32.png", window)
        shutil.copy(shot, Path(args.work).parent / "screenshot-win32.png")
        check_events(auto)
        auto.call("close", fw.MAIN)
        auto.gone(fw.MAIN)
        code = process.wait(30)
        if code != 0:
            raise HarnessError(f"exit code {code}")


if __name__ == "__main__":
    run_test(main)
