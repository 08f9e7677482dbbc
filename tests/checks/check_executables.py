#!/usr/bin/env python3
"""Checks the built executable files as files: the payload record sits in them byte for
byte, the build key occurs exactly once, a patched copy runs as patched, and a Windows
program is a GUI program with its icon and version whose every import the oldest Windows
it is for exports (windows-floor.txt) and whose header names that Windows."""
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
FLOOR_NT = (5, 0)        # Windows 2000
FLOOR_HEADER = (4, 10)   # Windows 98; NT 4.0 refuses it, 2000 and later load it
FLOOR_9X = {"95", "98", "stub"}

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


class PeFile:
    """The parts of a PE image these checks read, from the published PE format."""

    def __init__(self, data):
        self.data = data
        self.pe = self.u32(0x3C)
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        self.machine = self.u16(self.pe + 4)
        sections, optional_size = self.u16(self.pe + 6), self.u16(self.pe + 20)
        self.opt = self.pe + 24
        self.pe32 = self.u16(self.opt) == 0x10B
        self.directories = self.opt + (96 if self.pe32 else 112)
        table = self.opt + optional_size
        self.sections = [(self.u32(at + 12), max(self.u32(at + 8), self.u32(at + 16)),
                          self.u32(at + 20)) for at in range(table, table + 40 * sections, 40)]

    def u16(self, at):
        return int.from_bytes(self.data[at:at + 2], "little")

    def u32(self, at):
        return int.from_bytes(self.data[at:at + 4], "little")

    def version(self, at):
        return self.u16(self.opt + at), self.u16(self.opt + at + 2)

    def subsystem(self):
        return self.u16(self.opt + 68)

    def directory(self, index):
        return self.u32(self.directories + 8 * index), self.u32(self.directories + 8 * index + 4)

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return rva - start + raw
        raise ValueError(f"RVA {rva:#x} outside every section")

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        """(dll, function) for every import; an import by ordinal is named '#n'."""
        found = []
        rva, _ = self.directory(1)
        at = self.offset(rva) if rva else None
        while at is not None and any(self.data[at:at + 20]):
            dll = self.text(self.u32(at + 12))
            thunk = self.offset(self.u32(at) or self.u32(at + 16))
            width, flag = (4, 1 << 31) if self.pe32 else (8, 1 << 63)
            while entry := int.from_bytes(self.data[thunk:thunk + width], "little"):
                name = f"#{entry & 0xFFFF}" if entry & flag else self.text((entry & 0x7FFFFFFF) + 2)
                found.append((dll, name))
                thunk += width
            at += 20
        return found

    def resource(self, kind, ident):
        """Whether the resource directory holds an entry of this type and numeric ID."""
        rva, _ = self.directory(2)
        if not rva:
            return False
        root = self.offset(rva)

        def entries(table):
            count = self.u16(table + 12) + self.u16(table + 14)
            return [(self.u32(e), self.u32(e + 4)) for e in range(table + 16, table + 16 + 8 * count, 8)]

        for name, target in entries(root):
            if name == kind and target & 1 << 31:
                return any(n == ident for n, _ in entries(root + (target & 0x7FFFFFFF)))
        return False


def read_floor(path):
    """windows-floor.txt: (dll, function) -> (first NT version, 9x column)."""
    floor = {}
    for line in open(path):
        fields = line.split("#")[0].split()
        if fields:
            nt = tuple(int(n) for n in fields[2].split("."))
            floor[(fields[0].lower(), fields[1])] = (nt, fields[3])
    return floor


def check_floor(name, image, floor):
    late = []
    for dll, function in image.imports():
        known = floor.get((dll.lower(), function))
        if known is None:
            late.append(f"{dll}!{function} (not in the list)")
        elif known[0] > FLOOR_NT or known[1] not in FLOOR_9X:
            late.append(f"{dll}!{function} (NT {known[0]}, 9x {known[1]})")
    check(not late, f"{name}: every import is exported by Windows 98 and 2000 {late}")
    check(image.directory(13) == (0, 0), f"{name}: no delay-loaded imports")
    for what, at in (("subsystem", 48), ("operating system", 40)):
        got = image.version(at)
        check(got == FLOOR_HEADER, f"{name}: {what} version {got} is {FLOOR_HEADER}")


def check_resources(name, image, data):
    check(image.resource(14, 1), f"{name}: icon group 1 in the resources")  # RT_GROUP_ICON
    caption = re.search(rb" Flash Utility V([0-9.]+[A-Z]?) ", data)
    version = re.search(rb"F\0i\0l\0e\0V\0e\0r\0s\0i\0o\0n\0(?:\0\0)+((?:[^\0]\0)+)\0\0", data)
    got = (caption and caption.group(1).decode(), version and version.group(1).decode("utf-16-le"))
    check(None not in got and got[0] == got[1], f"{name}: caption and version resource agree {got}")


def check_pe(path, machine, floor):
    data = open(path, "rb").read()
    name = os.path.basename(path)
    try:
        image = PeFile(data)
    except ValueError as e:
        check(False, f"{name}: {e}")
        return
    check(image.machine == machine, f"{name}: machine {image.machine:#x} is {machine:#x}")
    check(image.subsystem() == 2, f"{name}: GUI subsystem ({image.subsystem()})")
    dlls = {dll.lower() for dll, _ in image.imports()}
    check(bool(dlls) and dlls <= SYSTEM_DLLS, f"{name}: imports only system DLLs {sorted(dlls)}")
    check_resources(name, image, data)
    if machine == 0x14C:
        check_floor(name, image, read_floor(floor))


SKIP = 77  # scripts/wine-run: this machine cannot run 32-bit x86 code


def run(emulator, path):
    command = ([emulator] if emulator else []) + [path]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    if done.returncode == SKIP:
        print(done.stderr.strip())
        sys.exit(SKIP)
    return done.stdout


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
    parser.add_argument("--floor", default=os.path.join(os.path.dirname(__file__),
                                                        "windows-floor.txt"))
    parser.add_argument("--i386", action="store_true", help="a 32-bit Windows program")
    parser.add_argument("--run", metavar="EMULATOR", nargs="?", const="",
                        help="instead: run a patched copy of the probe (under EMULATOR)")
    args = parser.parse_args()
    if args.run is not None:
        check_patched_copy(args.probe, args.run)
    else:
        for path in (args.program, args.probe):
            check_payload(path)
        with open(args.program, "rb") as f:
            if f.read(2) == b"MZ":
                check_pe(args.program, 0x14C if args.i386 else 0x8664, args.floor)
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
