#!/usr/bin/env python3
"""Runs the Windows prober under Wine over the corpus and compares its answers with the
checked-in expected.txt (or rewrites expected.txt with --update)."""
import argparse
import difflib
import os
import subprocess
import sys


def windows_path(path):
    # Wine maps the Unix root to drive Z:.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prober", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--dir", required=True, help="folder with corpus/, queries.txt, expected.txt")
    parser.add_argument("--work", required=True)
    parser.add_argument("--update", action="store_true")
    args = parser.parse_args()

    os.makedirs(args.work, exist_ok=True)
    answers = os.path.join(args.work, "answers.txt")
    if os.path.exists(answers):
        os.remove(answers)
    queries = os.path.join(args.dir, "queries.txt")
    corpus = os.path.join(args.dir, "corpus")
    run = subprocess.run([args.wine_run, args.prober, windows_path(queries), windows_path(corpus),
                          windows_path(answers)], timeout=240)
    if run.returncode != 0 or not os.path.exists(answers):
        print(f"prober failed with exit code {run.returncode}")
        return 1

    expected_path = os.path.join(args.dir, "expected.txt")
    with open(answers, "rb") as f:
        got = f.read()
    if args.update:
        with open(expected_path, "wb") as f:
            f.write(got)
        print(f"wrote {expected_path}: {len(got.splitlines())} answers")
        return 0
    with open(expected_path, "rb") as f:
        want = f.read()
    if got == want:
        print(f"{len(got.splitlines())} answers agree with expected.txt")
        return 0
    diff = difflib.unified_diff(want.decode("latin-1").splitlines(),
                                got.decode("latin-1").splitlines(),
                                "expected.txt", "windows answers", lineterm="")
    print("\n".join(diff))
    return 1


if __name__ == "__main__":
    sys.exit(main())
