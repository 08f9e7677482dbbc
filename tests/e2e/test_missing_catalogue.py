"""A start-up stop: without its catalogue the builder says so in a box that the task bar
finds under the program's name, never shows the window, and ends with exit code 0 after
OK."""

import flash_window as fw
from harness import HarnessError, Session, dialog_text, fresh_work_dir, parse_args, run_test


def main_windows(auto):
    return [w for w in auto.call("list")["windows"] if w["class"] == "TFlashForm"]


def main():
    args = parse_args()
    program = fresh_work_dir(args.work, args.program)
    with Session(args.wine_run, args.winauto, args.work) as session:
        session.use_virtual_desktop()
        session.set_dpi(96)
        process = session.start(program, cwd=args.work)
        auto = session.auto
        box = auto.wait("dialog", 60000)
        assert box["text"] == fw.APPLICATION_TITLE, box["text"]
        text = dialog_text(box)
        assert text.startswith("Can't load ") and text.lower().endswith("\\korvel-flash.ini"), text
        assert [c["text"] for c in box["children"] if c["class"] == "Button"] == ["OK"]
        forms = main_windows(auto)
        assert len(forms) == 1 and not forms[0]["visible"], forms
        fw.check_application_window(auto, box)

        auto.call("click", "dialog", "text:OK")
        code = process.wait(30)
        if code != 0:
            raise HarnessError(f"exit code {code}")


if __name__ == "__main__":
    run_test(main)
