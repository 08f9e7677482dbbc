"""What the main window of korvel-flash.exe must look like, as its form resource designs
it at 96 dpi, and the checks that compare a winauto dump of the window with it."""

from harness import find_control

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
