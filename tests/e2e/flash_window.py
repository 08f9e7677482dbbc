"""What the main window of korvel-flash.exe must look like, as its form resource designs
it at 96 dpi, and the checks that compare a winauto dump of the window with it."""

import re

from harness import HarnessError, dialog_text, find_control

MAIN = "class:TFlashForm"
ID_BASE = 100
VERSION_CAPTION = " Flash Utility V1.048A "
APPLICATION_TITLE = "KORVEL Windows Flash utility"

# name: (dialog ID, parent's ID (0: the window), left, top, width, height, window class)
CONTROLS = {
    "Panel1": (101, 0, 0, 0, 425, 201, "TPanel"),
    "SelectDriveLabel": (102, 101, 16, 16, 369, 25, "Static"),
    "ComboBox": (103, 101, 16, 40, 385, 24, "ComboBox"),
    "FileListBox1": (104, 101, 16, 72, 385, 41, "ListBox"),
    "GroupBox2": (105, 101, 16, 128, 385, 49, "Button"),
    "ProgressBar": (106, 105, 8, 16, 305, 25, "msctls_progress32"),
    "FlashButton": (107, 105, 320, 16, 57, 25, "Button"),
}
WINDOW_LEFT, WINDOW_TOP = 192, 128
ITEM_HEIGHT = 16


def scaled(value, dpi):
    return (value * dpi + 48) // 96  # as MulDiv rounds


def control(window, name):
    found = find_control(window, CONTROLS[name][0])
    assert found, f"{name} missing"
    return found


def parent_of(window, control_id):
    """The dump of the window that holds the control directly."""
    stack = [window]
    while stack:
        node = stack.pop()
        for child in node.get("children", []):
            if child["id"] == control_id:
                return node
            stack.append(child)
    return None


def check_layout(window, dpi):
    """Every control where the resource puts it, scaled to dpi; the window sized to them."""
    assert window["dpi"] == dpi, f"window at {window['dpi']} dpi, expected {dpi}"
    problems = []
    for name, (cid, parent, left, top, width, height, cls) in CONTROLS.items():
        got = control(window, name)
        holder = parent_of(window, cid)
        if (holder.get("id", 0) if holder is not window else 0) != parent:
            problems.append(f"{name}: parent {holder.get('id')} instead of {parent}")
        want = tuple(scaled(v, dpi) for v in (left, top, width, height))
        have = (got["x"], got["y"], got["w"], got["h"])
        if have != want:
            problems.append(f"{name}: at {have}, expected {want}")
        if got["class"].lower() != cls.lower():
            problems.append(f"{name}: class {got['class']}, expected {cls}")
    # The window sizes itself to its content, Panel1.
    client = (window["client_w"], window["client_h"])
    if client != (scaled(425, dpi), scaled(201, dpi)):
        problems.append(f"client area {client}")
    if (window["x"], window["y"]) != (scaled(WINDOW_LEFT, dpi), scaled(WINDOW_TOP, dpi)):
        problems.append(f"window at {(window['x'], window['y'])}")
    files = control(window, "FileListBox1")
    if files["item_height"] < scaled(ITEM_HEIGHT, dpi):
        problems.append(f"file list items {files['item_height']} high")
    assert not problems, "layout: " + "; ".join(problems)


def catalogue(*entries):
    """A model catalogue file: each entry a dict of its keys, sections MODEL00 up."""
    lines = []
    for n, entry in enumerate(entries):
        lines.append(f"[MODEL{n:02d}]")
        lines += [f"{key}={value}" for key, value in entry.items()]
    return "\r\n".join(lines) + "\r\n"


KRW_52088S = {"Model": "KRW-52088S", "Inquiry": "KOR-VEL KRW-52088S", "FW-Range": "QF01-QF2Z",
              "BINMask": "QF*.BIN", "Vendor": "Korvel-XQ", "Note": "Korvel"}
KRW_40000D = {"Model": "KRW-40000D", "Inquiry": "KOR-VEL KRW-40000D", "FW-Range": "--------",
              "BINMask": "*.HEX", "Vendor": "Korvel-XQ", "Note": "FLASH-ALL"}


# ---- A flash program's dialogs and window, as the user goes through them ----------------

WARNING = ("\nWARNING:\n\nThis flash utility only supports Korvel-XQ KRW-52088S drive with "
           "firmware:QF01-QF2Z\nWe recommend you close all applications in order to run this "
           "update! \nDon't turn off the system while the flash is in progress!\n\nDo you wish "
           "to continue?\n")
FLASH_CAPTION = "Korvel-XQ Flash Utility V1.048A KRW-52088S"
FLASH_LABEL = "Select the Korvel-XQ drive you want to update:"
MATCHING = "1-0-0  : KOR-VEL KRW-52088S      "
RESTART = "The system needs to be restarted for the changes to take effect ?"
SENSE_TEXT = re.compile(r"[0-9A-F]{2} [0-9A-F]{2} [0-9A-F]{2}\. [0-9A-F]{2}, [0-9A-F]{4}")


# Told of every box seen and every answer given (title, text); the rehearsal prints them.
observer = None


def _tell(title, text):
    if observer:
        observer(title, text)


def box(auto, title, icon=None):
    window = auto.wait("dialog", 60000)
    _tell(window["text"], dialog_text(window))
    assert window["text"] == title, (window["text"], dialog_text(window))
    if icon:
        # Icon handles belong to the program's process, so the client can only tell
        # that the box shows one; its title names the kind.
        icons = [c.get("icon") for c in window["children"] if c.get("icon")]
        assert len(icons) == 1, icons
    return window


def answer(auto, window, button):
    _tell(None, button)
    auto.call("click", f"hwnd:{window['hwnd']}", f"text:{button}")
    auto.gone(f"hwnd:{window['hwnd']}")


WS_EX_APPWINDOW = 0x40000


def check_application_window(auto, start_box):
    """A start-up box, shown before the main window, belongs to a window whose task-bar
    button names the program, so the user finds the box again."""
    owner = [w for w in auto.call("list")["windows"] if w["hwnd"] == start_box["owner"]]
    assert owner, f"the box {start_box['text']!r} has no owner"
    owner = owner[0]
    assert (owner["text"], owner["visible"], owner["owner"]) == (APPLICATION_TITLE, True, 0), owner
    assert owner["exstyle"] & WS_EX_APPWINDOW, f"no task-bar button: {owner}"


def through_warning_to_window(auto, revision="QF01"):
    """Answers the warning Yes; the window then lists the one drive at 1-0-0."""
    warning = box(auto, "Warning", "warning")
    check_application_window(auto, warning)
    assert dialog_text(warning) == WARNING, repr(dialog_text(warning))
    buttons = [c["text"].replace("&", "")
               for c in warning["children"] if c["class"] == "Button"]
    assert buttons == ["Yes", "No"], buttons
    answer(auto, warning, "Yes")
    window = auto.wait(MAIN, 60000)
    assert window["text"] == FLASH_CAPTION, window["text"]
    assert control(window, "SelectDriveLabel")["text"] == FLASH_LABEL
    combo = control(window, "ComboBox")
    assert combo["items"] == [MATCHING + revision] and combo["index"] == 0, combo
    field = [c for c in combo["children"] if c["class"].lower() == "edit"]
    assert field and field[0]["first_visible"] == 0, f"the entry is scrolled: {field}"
    assert control(window, "FlashButton")["text"] == "FLASH"
    return window


def press_flash(auto, old="QF01", new="QF05"):
    auto.call("click", MAIN, "id:107")
    question = box(auto, "Confirm", "question")
    want = f"\nUpdate Firmware {old} to {new} ?\n"
    assert dialog_text(question) == want, dialog_text(question)
    answer(auto, question, "Yes")


def wait_flash_completed(auto, timeout=120, on_status=None):
    """Until the frame says "Flash Completed."; a failure status ends the wait at once.
    on_status(text) is told of each new status seen."""
    seen = []

    def ended(window):
        status = control(window, "GroupBox2")["text"]
        if seen[-1:] != [status]:
            seen.append(status)
            if on_status:
                on_status(status)
        if status == "Flash Completed.":
            return True
        if "Fail" in status:
            raise HarnessError(f"the flash failed: {status!r}; {auto.describe_dialogs()}")
        return False

    window = auto.poll(MAIN, ended, timeout=timeout, what="Flash Completed.")
    # The flash runs on the window's thread, so a dump answers only between its steps:
    # the bar is seen full at the end, not each step on the way.
    bar = control(window, "ProgressBar")
    assert bar["pos"] == bar["max"] > 0, bar
    return window


def wait_revision(auto, revision):
    """Until the combo box lists the drive with the revision it reports now."""
    return auto.poll(MAIN, lambda w: control(w, "ComboBox")["items"] == [MATCHING + revision],
                     what=f"the drive with revision {revision} in the combo box")


def decline_restart(auto):
    restart = box(auto, "Confirm", "question")
    assert dialog_text(restart) == RESTART, dialog_text(restart)
    answer(auto, restart, "No")


def close(auto, process):
    auto.call("close", MAIN)
    auto.gone(MAIN)
    code = process.wait(30)
    if code != 0:
        raise HarnessError(f"exit code {code}")


# ---- The builder ----------------------------------------------------------------------------

def build_flash_program(auto, file_index, file_name, timeout=120):
    """Clicks a firmware file and Build; returns the window once the frame reports the
    build complete."""
    auto.call("select", MAIN, "id:104", file_index)
    auto.poll(MAIN, lambda w: control(w, "FlashButton")["enabled"], what="Build enabled")
    auto.call("click", MAIN, "id:107")
    complete = "Build %4.4s.EXE complete!" % file_name
    window = auto.poll(MAIN, lambda w: control(w, "GroupBox2")["text"] == complete,
                       timeout=timeout, what=repr(complete))
    bar = control(window, "ProgressBar")
    assert bar["pos"] == 0, bar
    return window
