#!/usr/bin/env python3
"""Runs drive_probe with the emulated ASPI layer beside it and checks what it printed
and what the emulated drives received.

Linux: the probe and libwnaspi32.so go into one folder (the platform layer looks for the
layer beside its own executable and then reports the non-NT family). Windows, under
Wine: the probe and WNASPI32.DLL go into one folder and the probe runs with the Windows
version set to Windows 98 for it alone.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

CONFIG = """completion async
trace {host}/trace.txt
drive
address 0 0 0
delay-ms 30
drive
address 1 1 0
product KRW-52088X
revision QF02
flash-id BF D6 00 02
fault never opcode=4E at=0
fault status opcode=DF at=0 status=08
fault short opcode=3C at=0 moved=100
"""

DONE = "completed 1 status 00 00 00. 01, 0000"
# No OS call of an ASPI command fails, so no OS error is shown.
OS_ERROR = "0000"
# Drive 1 answers the flash ID with BUSY and moves only 100 bytes of the read-back,
# which its layer reports as an underrun (SS_ERR): neither is done.
UNDONE = "completed 0 status 00 00 00. 04, 0000"


def expected_lines():
    lines = [re.escape("family: aspi 4.10"), re.escape("drives: 2")]
    drives = [("0-0-0  : KOR-VEL KRW-52088S      QF01", "KRW-52088S      ", "QF01",
               "BF B6 00 01"),
              ("1-1-0  : KOR-VEL KRW-52088X      QF02", "KRW-52088X      ", "QF02",
               "BF D6 00 02")]
    for i, (description, product, revision, flash_id) in enumerate(drives):
        lines += [re.escape(s) for s in [
            f'drive {i}: description "{description}"',
            f'drive {i}: vendor-product "KOR-VEL {product}" revision "{revision}"',
            f"drive {i}: test unit ready: {DONE}",
            f"drive {i}: flash id: {UNDONE if i else DONE}"]]
        lines.append(re.escape(f"drive {i}: flash id bytes ") +
                     (r"[0-9A-F ]{11}" if i else re.escape(flash_id)))
        lines += [re.escape(s) for s in [
            f"drive {i}: write buffer: {DONE}",
            f"drive {i}: read buffer: {UNDONE if i else DONE}",
            f"drive {i}: read back {'different' if i else 'same'}"]]
        lines.append(re.escape(f"drive {i}: unknown opcode: completed 0 status 05 20 00. 04, ") +
                     OS_ERROR)
        lines.append(re.escape(f"drive {i}: oversized read: completed 0 status 00 00 00. E6, 0000"))
    lines.append(re.escape("drive 1: stop play: completed 0 status 00 00 00. 02, ") + OS_ERROR)
    lines.append(re.escape(f"drive 1: test unit ready after: {DONE}"))
    lines += [re.escape(s) for s in ["open count: 2", "released: open count 0", "dialogs: 0"]]
    return lines


def check_output(output):
    got = [line.rstrip("\r") for line in output.splitlines() if line.strip()]
    want = expected_lines()
    problems = []
    for n in range(max(len(got), len(want))):
        g = got[n] if n < len(got) else "<missing>"
        w = want[n] if n < len(want) else "<nothing more>"
        if not re.fullmatch(w, g):
            problems.append(f"line {n + 1}: got {g!r}, want /{w}/")
    return problems


def check_trace(path):
    """One line per command: drive, block, direction, length and bytes moved (hex), digest,
    outcome, sense."""
    with open(path) as f:
        entries = [line.split() for line in f if line.strip()]
    problems = []
    for drive in ("0", "1"):
        mine = [e for e in entries if e[0] == drive]
        opcodes = [e[1][:2].upper() for e in mine]
        # Probe INQUIRY, then the description's INQUIRY, then the commands in order.
        want = ["12", "12", "00", "DF", "3B", "3C", "EE"] + (["4E", "00"] if drive == "1" else [])
        if opcodes != want:
            problems.append(f"drive {drive}: opcodes {opcodes}, want {want}")
            continue
        write, read = mine[4], mine[5]
        lengths = [int(x, 16) for x in (write[3], write[4], read[3], read[4])]
        moved = 16384 if drive == "0" else 100
        if write[2] != "O" or read[2] != "I" or lengths != [16384] * 3 + [moved]:
            problems.append(f"drive {drive}: data phases {write[2:5]} {read[2:5]}")
        if drive == "0" and write[5] != read[5]:
            problems.append(f"drive {drive}: digest written {write[5]} != read {read[5]}")
        if drive == "1" and mine[3][6] != "STATUS":
            problems.append(f"drive 1: flash id outcome {mine[3][6]}")
        if mine[6][6] != "CHECK" or mine[6][7].upper() != "05/20/00":
            problems.append(f"drive {drive}: unknown opcode answered {mine[6][6:]}")
        if drive == "1" and mine[7][6] != "NEVER":
            problems.append(f"drive 1: stop play outcome {mine[7][6]}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--windows", action="store_true")
    args = parser.parse_args()

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    probe = os.path.join(args.work, os.path.basename(args.probe))
    shutil.copy2(args.probe, probe)
    library = "WNASPI32.DLL" if args.windows else "libwnaspi32.so"
    shutil.copy2(args.library, os.path.join(args.work, library))

    work = os.path.abspath(args.work)
    host = ("Z:" + work) if args.windows else work
    with open(os.path.join(work, "emulator.cfg"), "w") as f:
        f.write(CONFIG.format(host=host))

    env = dict(os.environ, KORVEL_EMULATOR_CONFIG=host + "/emulator.cfg")
    command = [probe]
    if args.windows:
        app = "HKCU\\Software\\Wine\\AppDefaults\\" + os.path.basename(probe)
        subprocess.run([args.emulator, "reg", "add", app, "/v", "Version", "/d", "win98", "/f"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120)
        command = [args.emulator, probe]
        # Wine's own wnaspi32 would reach for real devices: only the file beside the probe.
        env["WINEDLLOVERRIDES"] = "wnaspi32=n;mscoree,mshtml="

    run = subprocess.run(command, env=env, capture_output=True, text=True, timeout=180)
    sys.stdout.write(run.stdout)
    sys.stderr.write(run.stderr)
    problems = [] if run.returncode == 0 else [f"exit code {run.returncode}"]
    problems += check_output(run.stdout)
    trace = os.path.join(work, "trace.txt")
    problems += check_trace(trace) if os.path.exists(trace) else ["no trace written"]
    for problem in problems:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
