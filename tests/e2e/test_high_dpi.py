"""At 144 dpi every control of the window keeps its designed place, scaled by 1.5, and
the window still closes with exit code 0."""

import flash_window as fw
from harness import HarnessError, Session, fresh_work_dir, parse_args, run_test

DPI = 144


def main():
    args = parse_args()
    program = fresh_work_dir(args.work, args.program,
                             {"korvel-flash.INI": fw.catalogue(fw.KRW_52088S)})
    with Session(args.wine_run, args.winauto, args.work) as session:
        session.use_virtual_desktop()
        session.set_dpi(DPI)
        try:
            process = session.start(program, cwd=args.work)
            window = session.auto.wait(fw.MAIN, 60000)
            fw.check_layout(window, DPI)
            session.auto.call("close", fw.MAIN)
            code = process.wait(30)
        finally:
            session.set_dpi(96)
        if code != 0:
            raise HarnessError(f"exit code {code}")


if __name__ == "__main__":
    run_test(main)
