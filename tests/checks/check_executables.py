#!/usr/bin/env python3
"""Checks the built executable files as files: the payload record sits in them byte for
byte, the build key occurs exactly once, a patched copy runs as patched, and a Windows
program is a GUI program that needs no DLL beyond the system's."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

KEY = b"Q731-4-" + b"2260958\0"  # spelled in two pieces: this file is no executable, but grep is
HEADER = 137
AREA = 0x80000
CHIP_TABLE = bytes.fromhex(
    "DAC8013A0000" "BFB401C40000" "BFD605000001" "BFB605000001"
    "378C05000001" "BFD703E80001" "370D05000001")
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "advapi32.dll",
               "msvcrt.dll", "shell32.dll", "ole32.dll", "comdlg32.dll", "uxtheme.dll",
               "shlwapi.dll", "version.dll", "ntdll.dll"}

failures = []


def check(condition, message):
    print(("ok   " if condition else "FAIL ") + message)
    if not condition:
        failures.append(message)


def firmware_offset(data):
    return data.index(KEY) + len(KEY) + HEADER


def check_payload(path):
    data = open(path, "rb").read()
    name = os.path.basename(path)
    check(data.count(KEY) == 1, f"{name}: build key occurs exactly once ({data.count(KEY)})")
    if data.count(KEY) != 1:
        return
    key = data.index(KEY)
    check(data[key - 42:key] == CHIP_TABLE, f"{name}: chip table as shipped precedes the key")
    start = key - 5606 - 42
    check(data[start:start + 8] == bytes.fromhex("7A0700FFFF000100"),
          f"{name}: profile 0 begins 7A 07 00 FF FF 00 01 00")
    check(data[start + 314:start + 322] == bytes.fromhex("7A0700FFFF000100"),
          f"{name}: profile 1 begins 7A 07 00 FF FF 00 01 00")
    area = firmware_offset(data)
    check(data[area:area + 4] == b"QIRM", f"{name}: firmware area begins with the tail mark")
    check(data[area + AREA - 8:area + AREA + 4] == b"KORVELXQQIRM",
          f"{name}: the bytes across the end of the area read KORVELXQQIRM")


def check_pe(path, objdump, machine):
    data = open(path, "rb").read()
    name = os.path.basename(path)
    pe = int.from_bytes(data[0x3C:0x40], "little")
    check(data[pe:pe + 4] == b"PE\0\0", f"{name}: is a PE file")
    got = int.from_bytes(data[pe + 4:pe + 6], "little")
    check(got == machine, f"{name}: machine {got:#x} is {machine:#x}")
    subsystem = int.from_bytes(data[pe + 24 + 68:pe + 24 + 70], "little")
    check(subsystem == 2, f"{name}: GUI subsystem ({subsystem})")
    dump = subprocess.run([objdump, "-p", path], capture_output=True, text=True).stdout
    dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)}
    check(bool(dlls) and dlls <= SYSTEM_DLLS, f"{name}: imports only system DLLs {sorted(dlls)}")


def run(emulator, path):
    command = ([emulator] if emulator else []) + [path]
    return subprocess.run(command, capture_output=True, text=True, timeout=120).stdout


def check_patched_copy(probe, emulator):
    out = run(emulator, probe)
    check("mode: builder" in out, "probe as built runs as a builder")
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, os.path.basename(probe))
        shutil.copyfile(probe, copy)
        shutil.copymode(probe, copy)
        data = bytearray(open(copy, "rb").read())
        area = firmware_offset(data)
        data[area:area + 8] = bytes.fromhex("0102A0B0C0D0E0F0")
        open(copy, "wb").write(data)
        out = run(emulator, copy)
        check("image: 01 02 A0 B0 C0 D0 E0 F0" in out, "patched copy reports the patched bytes")
        check("mode: flash" in out, "patched copy runs in flash mode")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--run", default="ON")
    parser.add_argument("--emulator", default="")
    args = parser.parse_args()
    for path in (args.program, args.probe):
        check_payload(path)
    with open(args.program, "rb") as f:
        is_pe = f.read(2) == b"MZ"
    if is_pe:
        machine = 0x14C if "i686" in args.objdump else 0x8664
        check_pe(args.program, args.objdump, machine)
    if args.run.upper() in ("ON", "TRUE", "1"):
        check_patched_copy(args.probe, args.emulator)
    else:
        print("note: this machine cannot run these files; checked as files only")
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
