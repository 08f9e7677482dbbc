#!/usr/bin/env python3
"""scripts/setup.sh's decisions against a stand-in package system: apt-get, dpkg,
dpkg-query, sudo, and as/ld (which decide whether scripts/can-run-i386 finds 32-bit x86
code runnable) come first on PATH, and keep their state in a JSON file. Nothing here calls
the real apt or changes the machine. Each case ends as a new machine would: the packages
installed, or the 32-bit Windows program's tests skipped (scripts/can-run-win32 says why),
or setup failing with the package and apt's reason in one line.

    check_setup.py --root SOURCE_DIR
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

NEEDED = ["cmake", "ninja-build", "g++", "binutils", "python3", "file", "clang-format",
          "libgtest-dev", "googletest", "qt6-base-dev", "qt6-base-dev-tools", "libgl-dev",
          "g++-mingw-w64-i686-win32", "xvfb", "xauth", "x11-utils", "xdotool", "imagemagick",
          "desktop-file-utils", "appstream", "libxml2-utils", "man-db", "dpkg-dev", "lintian",
          "polkitd"]
WINE = ["wine", "wine32:i386", "fonts-wine"]
TWIN = "libpcre2-8-0:amd64"
SECURITY, BASE = "10.42-1+deb12u1", "10.42-1"
BROKEN_INDEX = ("http://deb.debian.org/debian-security/dists/bookworm-security/main/"
                "binary-i386/Packages.xz")
HELD = "Unable to correct problems, you have held broken packages."

# The stand-in itself: one program under every name it stands in for.
STAND_IN = r'''import json, os, re, sys
state_file = os.environ["KF_STAND_IN_STATE"]
s = json.load(open(state_file))
name, args = os.path.basename(sys.argv[0]), sys.argv[1:]
s["calls"].append([name] + args)

def full(p):
    return p if ":" in p else p + ":amd64"

def done(code=0, out=""):
    json.dump(s, open(state_file, "w"))
    sys.stdout.write(out)
    sys.exit(code)

if name == "sudo":
    json.dump(s, open(state_file, "w"))
    os.execvp(args[0], args)
if name in ("as", "ld"):
    out = args[args.index("-o") + 1]
    with open(out, "w") as f:
        f.write("#!/bin/sh\nexit %d\n" % (42 if s["i386_runs"] else 1))
    os.chmod(out, 0o755)
    done()
if name == "dpkg":
    if args == ["--print-foreign-architectures"]:
        done(0, "".join(a + "\n" for a in s["foreign"]))
    if args[0] == "--add-architecture":
        s["foreign"].append(args[1])
        done()
if name == "dpkg-query":
    fmt, patterns = args[1][3:], args[2:]
    lines = ""
    for p, v in s["installed"].items():
        package, arch = p.split(":")
        if patterns and package not in patterns and p not in patterns:
            continue
        lines += (fmt.replace("${db:Status-Abbrev}", "ii ").replace("${Package}", package)
                  .replace("${Architecture}", arch).replace("${Version}", v)
                  .replace("${Status}", "install ok installed")
                  .replace("\\n", "\n"))
    done(0, lines)
if name == "apt-get":
    options = {}
    words = []
    i = 0
    while i < len(args):
        if args[i] == "-o":
            key, _, value = args[i + 1].partition("=")
            options[key] = value
            i += 2
            continue
        if not args[i].startswith("-"):
            words.append(args[i])
        i += 1
    command, packages = words[0], words[1:]
    if command == "update":
        if s["update"] == "one index fails":
            done(100, "Err:5 http://deb.debian.org/debian-security bookworm-security/main i386 "
                      "Packages\n  File has unexpected size (374820 != 376004). Mirror sync in "
                      "progress? [IP: 151.101.2.132 80]\nE: Failed to fetch " + s["index"] +
                      "  File has unexpected size (374820 != 376004). Mirror sync in progress? "
                      "[IP: 151.101.2.132 80]\n   Hashes of expected file:\n    - Filesize:376004"
                      " [weak]\nE: Some index files failed to download. They have been "
                      "ignored, or old ones used instead.\n")
        done()
    if command == "check":
        done()
    assert command == "install", args
    prefs = options.get("Dir::Etc::Preferences")
    if prefs:
        s["preferences"].append(prefs)
        s["preferences_text"].append(open(prefs).read() if os.path.exists(prefs) else None)
    absent = [p for p in packages if full(p) not in s["archive"]]
    if absent:
        done(100, "E: Unable to locate package %s\n" % absent[0])
    if "wine32:i386" in packages:
        text = s["preferences_text"][-1] if prefs else ""
        base = re.escape(s["codename"])
        prefers_base = bool(re.search(r"Pin: release n=%s\nPin-Priority: 1001\n" % base, text or "")
                            and re.search(r"Pin: release n=%s-security\nPin-Priority: "
                                          r"(\d{1,3})\n" % base, text)
                            and "--allow-downgrades" in args)
        if s["wine"] == "never" or (s["wine"] == "needs the base release" and not prefers_base):
            done(100, "Some packages could not be installed.\nThe following packages have "
                      "unmet dependencies:\n wine32:i386 : "
                      "Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be "
                      "installed\nE: " + s["held"] + "\n")
        if prefs:
            s["installed"][s["twin"]] = s["base"]
    for p in packages:
        s["installed"][full(p)] = s["archive"][full(p)]
    done()
sys.exit("stand-in: unexpected call %s %s" % (name, args))
'''

ALL = {full: "1.0" for full in (p if ":" in p else p + ":amd64" for p in NEEDED + WINE)}
ALL[TWIN] = SECURITY

# name, machine and archive, then what must come of it.
CASES = [
    {"name": "everything there: nothing asked of apt",
     "installed": ALL, "foreign": ["i386"],
     "code": 0, "apt": [], "last": "setup: all packages present", "win32": True},
    {"name": "an index fails mid-sync: named, left out, the rest installed",
     "installed": {p: v for p, v in ALL.items() if p.split(":")[0] not in
                   ("xdotool", "wine", "wine32", "fonts-wine")},
     "update": "one index fails",
     "code": 0, "apt": ["update", "install", "update", "install"],
     "says": [f"setup: index left out, {BROKEN_INDEX}: File has unexpected size"],
     "last": "setup: all packages present", "win32": True},
    {"name": "the resolver fails once: again preferring the base release",
     "installed": {p: v for p, v in ALL.items() if p.split(":")[0] not in
                   ("wine", "wine32", "fonts-wine")},
     "wine": "needs the base release",
     "code": 0, "apt": ["update", "install", "install", "check"],
     "says": [f"setup: they cannot be installed as the indexes stand: {HELD} (wine32:i386 : "
              "Depends: libwine:i386", f"setup: changed {TWIN} {SECURITY} -> {BASE}",
              "setup: 3 packages newly installed"],
     "last": "setup: all packages present", "win32": True},
    {"name": "the resolver fails twice: Wine left out, its tests skipped",
     "installed": {p: v for p, v in ALL.items() if p.split(":")[0] not in
                   ("wine", "wine32", "fonts-wine")},
     "wine": "never",
     "code": 0, "apt": ["update", "install", "install", "check"],
     "says": [f"setup: cannot install wine wine32:i386 fonts-wine: {HELD} (wine32:i386 : "
              "Depends: libwine:i386", "SKIPPED"],
     "last": "setup: scripts/run.sh rehearses with the Linux program.",
     "win32": "32-bit Wine (wine32:i386) is not installed"},
    {"name": "no 32-bit x86 here: Wine never asked for",
     "installed": {p: v for p, v in ALL.items() if p.split(":")[0] not in
                   ("wine", "wine32", "fonts-wine")}, "i386_runs": False,
     "code": 0, "apt": [], "says": ["cannot run 32-bit x86 code"],
     "last": "setup: scripts/run.sh rehearses with the Linux program.",
     "win32": "this machine cannot execute 32-bit x86 code"},
    {"name": "a needed package the archive lacks: setup fails, naming it",
     "installed": {p: v for p, v in ALL.items() if not p.startswith("xdotool:")},
     "archive_lacks": "xdotool:amd64",
     "code": 1, "apt": ["update", "install"],
     "last": "setup: cannot install xdotool: Unable to locate package xdotool"},
]


def codename():
    """The release setup.sh must prefer: this machine's own."""
    for line in Path("/etc/os-release").read_text().splitlines():
        if line.startswith("VERSION_CODENAME="):
            return line.split("=", 1)[1].strip('"')
    return ""


def run_case(root, case, work):
    scripts = work / "tree" / "scripts"
    scripts.mkdir(parents=True)
    for name in ("setup.sh", "can-run-i386", "can-run-win32"):
        shutil.copy2(root / "scripts" / name, scripts / name)
    bin_dir = work / "bin"
    bin_dir.mkdir()
    (bin_dir / "stand-in").write_text(f"#!{sys.executable} -IS\n{STAND_IN}")
    (bin_dir / "stand-in").chmod(0o755)
    for name in ("apt-get", "dpkg", "dpkg-query", "sudo", "as", "ld"):
        (bin_dir / name).symlink_to("stand-in")
    archive = {p: v for p, v in ALL.items() if p != case.get("archive_lacks")}
    archive[TWIN] = BASE
    state = {"installed": dict(case["installed"]), "archive": archive,
             "foreign": list(case.get("foreign", [])), "i386_runs": case.get("i386_runs", True),
             "update": case.get("update", "ok"), "index": BROKEN_INDEX,
             "wine": case.get("wine", "ok"), "held": HELD, "twin": TWIN, "base": BASE,
             "codename": codename(), "calls": [], "preferences": [], "preferences_text": []}
    state_file = work / "state.json"
    state_file.write_text(json.dumps(state))
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}",
               KF_STAND_IN_STATE=str(state_file))
    setup = subprocess.run([str(scripts / "setup.sh")], env=env, capture_output=True,
                           text=True, timeout=120)
    win32 = subprocess.run([str(scripts / "can-run-win32")], env=env, capture_output=True,
                           text=True, timeout=60)
    return setup, win32, json.loads(state_file.read_text()), state


def check(case, setup, win32, after, before):
    """The faults found, as sentences."""
    faults = []
    out = setup.stdout
    lines = out.strip().splitlines()
    if setup.returncode != case["code"]:
        faults.append(f"exit code {setup.returncode}, not {case['code']}")
    if not lines or lines[-1] != case["last"]:
        faults.append(f"last line {lines[-1:]}, not {case['last']!r}")
    for said in case.get("says", []):
        if said not in out:
            faults.append(f"never said {said!r}")
    apt = [c[1:] for c in after["calls"] if c[0] == "apt-get"]
    verbs = [next(a for a in c if not a.startswith("-")) for c in apt]
    if verbs != case["apt"]:
        faults.append(f"apt-get was asked {verbs}, not {case['apt']}")
    if not case["apt"] and after["installed"] != before["installed"]:
        faults.append("packages changed though nothing was to be installed")
    if case["code"] == 0 and "win32" in case and case["win32"] is True:
        lacking = [p for p in before["archive"] if p not in after["installed"]]
        if lacking:
            faults.append(f"not installed: {lacking}")
    for path in after["preferences"]:
        if os.path.exists(path):
            faults.append(f"the preference file {path} outlived the run")
    if "win32" in case:
        if case["win32"] is True and win32.returncode != 0:
            faults.append(f"can-run-win32 says no: {win32.stdout.strip()}")
        if case["win32"] is not True and (win32.returncode == 0
                                          or case["win32"] not in win32.stdout):
            faults.append(f"can-run-win32 said {win32.stdout.strip()!r} ({win32.returncode})")
    return faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", type=Path, required=True)
    args = parser.parse_args()
    failed = 0
    for case in CASES:
        with tempfile.TemporaryDirectory(prefix="kf-setup-") as work:
            setup, win32, after, before = run_case(args.root.resolve(), case, Path(work))
        faults = check(case, setup, win32, after, before)
        print(f"{'ok  ' if not faults else 'FAIL'} {case['name']}")
        if faults:
            failed += 1
            for fault in faults:
                print(f"     {fault}")
            print(re.sub("^", "     | ", setup.stdout + setup.stderr, flags=re.M))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
