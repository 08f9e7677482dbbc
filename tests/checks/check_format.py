#!/usr/bin/env python3
"""Checks that the C++ sources are formatted as the repository's .clang-format says. The
files named in format-exceptions.txt are left out, each for the reason given there."""
import argparse
import os
import re
import subprocess
import sys


def sources(root):
    listed = subprocess.run(["git", "-C", root, "ls-files", "*.cpp", "*.h"], capture_output=True,
                            text=True)
    if listed.returncode == 0 and listed.stdout.strip():
        return sorted(listed.stdout.split())
    found = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if not d.startswith((".", "build"))]
        found += [os.path.relpath(os.path.join(folder, f), root) for f in files
                  if f.endswith((".cpp", ".h"))]
    return sorted(found)


def exceptions(path):
    with open(path) as f:
        return {line.split()[0] for line in f if line.strip() and not line.startswith("#")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--clang-format", default="clang-format")
    args = parser.parse_args()
    skipped = exceptions(os.path.join(os.path.dirname(__file__), "format-exceptions.txt"))
    files = [f for f in sources(args.root) if f not in skipped]
    run = subprocess.run([args.clang_format, "--dry-run", "-Werror", *files], cwd=args.root,
                         capture_output=True, text=True)
    bad = sorted(set(re.findall(r"^(\S+?):\d+:\d+: (?:error|warning)", run.stderr, re.M)))
    if run.returncode != 0 and not bad:
        print(run.stderr)
        return 1
    for name in bad:
        print(f"not formatted: {name} (clang-format -i {name})")
    print(f"{len(files) - len(bad)} of {len(files)} files formatted; {len(skipped)} left out")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
