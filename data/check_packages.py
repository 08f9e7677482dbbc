#!/usr/bin/env python3
"""Installs into a staging root and builds the packages from a build tree, prints what
they hold, and checks them with the desktop's own validators and with lintian."""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
import zipfile
from pathlib import Path

APP_ID = "org.korvelflash.KorvelFlash"
POLKIT_DTD = "/usr/share/polkit-1/policyconfig-1.dtd"
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)

failures = []


def check(condition, message):
    print(("ok   " if condition else "FAIL ") + message, flush=True)
    if not condition:
        failures.append(message)


def run(command, **kwargs):
    """Runs a command, printing it and what it said; returns the finished process."""
    print("$ " + " ".join(str(c) for c in command), flush=True)
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True, **kwargs)
    for stream in (done.stdout, done.stderr):
        if stream.strip():
            print(stream.rstrip())
    return done


def expected_files(libdir):
    """Every file and link an install puts below the prefix."""
    files = {
        "bin/korvel-flash", "bin/korvel-flash-rehearsal",
        "libexec/korvel-flash/korvel-flash", "libexec/korvel-flash/korvel-flash-engine",
        "libexec/korvel-flash/korvel-flash.INI", "share/korvel-flash/korvel-flash.INI",
        f"{libdir}/korvel-flash/libwnaspi32.so",
        f"share/polkit-1/actions/{APP_ID}.policy",
        f"share/applications/{APP_ID}.desktop",
        f"share/metainfo/{APP_ID}.metainfo.xml",
        "share/icons/hicolor/scalable/apps/korvel-flash.svg",
        "share/man/man1/korvel-flash.1.gz", "share/man/man1/korvel-flash-rehearsal.1.gz",
        "share/doc/korvel-flash/README.md", "share/doc/korvel-flash/copyright",
        "share/doc/korvel-flash/changelog.gz",
    }
    files |= {f"share/icons/hicolor/{s}x{s}/apps/korvel-flash.png" for s in ICON_SIZES}
    return files


def listing(root):
    """Files and links below root, relative, with link targets."""
    entries = {}
    for path in sorted(root.rglob("*")):
        if path.is_symlink():
            entries[str(path.relative_to(root))] = "-> " + os.readlink(path)
        elif path.is_file():
            entries[str(path.relative_to(root))] = f"{path.stat().st_mode & 0o777:o} {path.stat().st_size}"
    return entries


def check_policy(policy, engine):
    """The action starts the engine alone, never with the user's display, and only for an
    active local session with an administrator's password."""
    tree = ET.parse(policy)
    actions = tree.findall("action")
    check(len(actions) == 1, f"one polkit action ({len(actions)})")
    annotations = {a.get("key"): a.text for a in tree.iter("annotate")}
    check(annotations == {"org.freedesktop.policykit.exec.path": engine},
          f"the polkit action starts {engine} and keeps no display: {annotations}")
    defaults = {d.tag: d.text for d in tree.find("action/defaults")}
    check(defaults == {"allow_any": "no", "allow_inactive": "no", "allow_active": "auth_admin"},
          f"only an active session, with an administrator's password: {defaults}")


def check_engine_binary(engine):
    """What the root engine loads: the C library and its kin from the system, nothing by a
    search path of its own, no toolkit."""
    dynamic = run(["readelf", "-d", engine]).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))
    system = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"}
    check(needed and needed <= system, f"the engine needs only the C library: {sorted(needed)}")
    check("RPATH" not in dynamic and "RUNPATH" not in dynamic, "the engine has no library search path")
    check("BIND_NOW" in dynamic or "NOW" in dynamic, "the engine binds every symbol at start")
    strings = open(engine, "rb").read()
    check(b"libQt6" not in strings, "the engine names no Qt library")


def staged(args):
    stage = args.build / "stage"
    shutil.rmtree(stage, ignore_errors=True)
    done = run([args.cmake, "--install", args.build], env=dict(os.environ, DESTDIR=str(stage)))
    check(done.returncode == 0, "cmake --install into a staging root")
    root = stage / args.prefix.lstrip("/")
    entries = listing(root)
    print(f"\nInstalled below {args.prefix}:")
    for name, what in entries.items():
        print(f"  {name}  {what}")
    check(set(entries) == expected_files(args.libdir),
          f"exactly the expected files ({len(entries)})")
    program = root / "libexec/korvel-flash/korvel-flash"
    check((root / "bin/korvel-flash").resolve() == program, "the command is the program")
    check(not (program.parent / "libwnaspi32.so").exists(), "no emulated layer beside the program")
    catalogue = program.parent / "korvel-flash.INI"
    check(catalogue.resolve() == (root / "share/korvel-flash/korvel-flash.INI").resolve(),
          "the builder's catalogue link points at the installed catalogue")

    # The engine pkexec starts: one path in the polkit action, the program and the stage.
    policy = root / f"share/polkit-1/actions/{APP_ID}.policy"
    check_policy(policy, args.engine)
    engine = stage / args.engine.lstrip("/")
    check(engine.is_file() and os.access(engine, os.X_OK), "the engine is installed, executable")
    check_engine_binary(engine)

    check(run(["desktop-file-validate", root / f"share/applications/{APP_ID}.desktop"]).returncode == 0,
          "desktop-file-validate")
    check(run(["appstreamcli", "validate", "--no-net", "--pedantic",
               root / f"share/metainfo/{APP_ID}.metainfo.xml"]).returncode == 0,
          "appstreamcli validate")
    check(run(["appstreamcli", "validate-tree", "--no-net", stage]).returncode == 0,
          "appstreamcli validate-tree (desktop entry, icons, metainfo together)")
    check(run(["xmllint", "--noout", "--dtdvalid", POLKIT_DTD, policy]).returncode == 0,
          "the polkit action is valid against polkit's DTD")
    action = f"{APP_ID}.flash"
    known = run(["pkaction", "--action-id", action, "--verbose"]) if shutil.which("pkaction") else None
    if known and known.returncode == 0:
        check(args.helper in known.stdout, "pkaction shows the installed action")
    else:
        print(f"note pkaction knows only actions polkitd has loaded from /usr/share/polkit-1/actions:"
              f" {action} from a staging root is checked against the DTD instead")

    man = root / "share/man/man1/korvel-flash.1.gz"
    env = dict(os.environ, MANPAGER="cat", MANWIDTH="80", LC_ALL="C.UTF-8")
    page = subprocess.run(["man", "--warnings", "-l", str(man)], capture_output=True, text=True, env=env)
    text = re.sub(".\b", "", page.stdout)
    print(f"$ man -l {man}: {len(text.splitlines())} lines")
    print("\n".join(text.splitlines()[:12]) + "\n  ...")
    if page.stderr.strip():
        print(page.stderr.rstrip())
    sections = ("BUILDER MODE", "FLASH MODE", "THE MODEL CATALOGUE", "RIGHTS", "REHEARSAL")
    check(page.returncode == 0 and not page.stderr.strip() and all(s in text for s in sections),
          "man -l renders every section without a warning")


def build_package(args, generator, pattern):
    packages = args.build / "packages"
    for old in packages.glob(pattern):
        old.unlink()
    done = run([args.cpack, "-G", generator, "--config", args.build / "CPackConfig.cmake"],
               cwd=args.build)
    found = sorted(packages.glob(pattern))
    check(done.returncode == 0 and len(found) == 1, f"cpack -G {generator} makes one package")
    if not found:
        sys.exit(1)
    print(f"{found[0].name}: {found[0].stat().st_size} bytes")
    return found[0]


def deb(args):
    package = build_package(args, "DEB", "*.deb")
    run(["dpkg-deb", "--info", package])
    contents = run(["dpkg-deb", "--contents", package]).stdout
    depends = run(["dpkg-deb", "--field", package, "Depends"]).stdout
    check(all(re.search(rf"\b{lib}\b", depends) for lib in ("libc6", "libqt6widgets6", "libstdc\\+\\+6")),
          "Depends computed from the binaries: libc6, libstdc++6, libqt6widgets6")
    recommends = run(["dpkg-deb", "--field", package, "Recommends"]).stdout
    check("pkexec" in recommends, "Recommends pkexec")
    names = {line.split()[-1] for line in contents.splitlines()}
    names |= {line.split()[-3] for line in contents.splitlines() if " -> " in line}
    prefix = "./usr/"
    installed = {n[len(prefix):] for n in names if n.startswith(prefix) and not n.endswith("/")}
    libdir = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], capture_output=True,
                            text=True).stdout.strip()
    check(installed == expected_files(f"lib/{libdir}"), "the package holds what an install puts in /usr")
    lint = run(["lintian", "--no-tag-display-limit", "--display-info", package])
    tags = [line for line in lint.stdout.splitlines() if re.match(r"[EWIP]: ", line)]
    print(f"lintian: {len(tags)} findings")
    check(not any(line.startswith("E: ") for line in tags), "lintian finds no error")


def pe_facts(data):
    """Machine, symbol count and section names of a PE file."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    machine, sections, _, symbols_at, symbols, optional = struct.unpack_from("<HHIIIH", data, pe + 4)
    table = pe + 24 + optional
    names = [data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0").decode() for i in range(sections)]
    return machine, symbols_at, symbols, names


def zip_package(args):
    package = build_package(args, "ZIP", "*.zip")
    with zipfile.ZipFile(package) as archive:
        for info in archive.infolist():
            print(f"  {info.file_size:>9}  {info.filename}")
        top = package.stem + "/"
        names = {i.filename for i in archive.infolist() if not i.is_dir()}
        check(names == {top + "korvel-flash.exe", top + "README.txt", top + "LICENSE.txt"},
              "the ZIP holds the program, README and licence, and no emulated drive")
        facts = pe_facts(archive.read(top + "korvel-flash.exe")) if top + "korvel-flash.exe" in names else None
    check(facts is not None and facts[0] == 0x14C, "korvel-flash.exe is an i386 PE file")
    if facts:
        _, symbols_at, symbols, sections = facts
        check(symbols_at == 0 and symbols == 0 and not any(s.startswith(("/", ".debug")) for s in sections),
              f"korvel-flash.exe is stripped (sections {' '.join(sections)})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=("staged", "deb", "zip"))
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--cpack", default="cpack")
    parser.add_argument("--engine")
    parser.add_argument("--prefix")
    parser.add_argument("--libdir")
    args = parser.parse_args()
    {"staged": staged, "deb": deb, "zip": zip_package}[args.what](args)
    print(f"\n{len(failures)} failed" if failures else "\nall passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
