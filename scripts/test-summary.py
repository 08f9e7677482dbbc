#!/usr/bin/env python3
"""The closing summary of scripts/test.sh, from CTest's JUnit results and test list of each
preset: counts per preset, the tests of the 32-bit program under 32-bit Wine (label i686)
with their times, and every test that did not pass, by name. A test skipped because 32-bit
Windows programs cannot run here (no 32-bit x86, or no 32-bit Wine) is said to be so,
loudly, with the reason: it never counts as passed.

    test-summary.py PRESET=RESULTS.xml,TESTS.json ... [--failed-build PRESET ...] [--why TEXT]
"""
import argparse
import json
import sys
import xml.etree.ElementTree as ET
from collections import defaultdict


def outcome(case):
    if case.find("failure") is not None or case.get("status") == "fail":
        return "failed"
    if case.get("status") == "disabled":
        return "disabled"
    skipped = case.find("skipped")
    if skipped is not None or case.get("status") == "notrun":
        message = (skipped.get("message", "") if skipped is not None else "")
        return "no-i386" if "SKIP_RETURN_CODE" in message else "skipped"
    return "passed"


def read(entry):
    preset, files = entry.split("=", 1)
    results, listing = files.split(",")
    labels = {}
    with open(listing) as f:
        for test in json.load(f)["tests"]:
            for prop in test.get("properties", []):
                if prop["name"] == "LABELS":
                    labels[test["name"]] = prop["value"]
    cases = [(c.get("name"), outcome(c), float(c.get("time", 0)),
              "i686" in labels.get(c.get("name"), []))
             for c in ET.parse(results).getroot().iter("testcase")]
    return preset, cases


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("presets", nargs="*")
    parser.add_argument("--failed-build", action="append", default=[])
    parser.add_argument("--why", default="this machine cannot run them",
                        help="why 32-bit Windows programs cannot run here")
    args = parser.parse_args()
    total = defaultdict(int)
    i686 = []
    not_passed = defaultdict(list)
    print("\n== summary")
    for entry in args.presets:
        try:
            preset, cases = read(entry)
        except (OSError, ET.ParseError, ValueError) as e:
            print(f"{entry.split('=')[0]}: NO RESULTS ({e})")
            total["failed"] += 1
            continue
        counts = defaultdict(int)
        for name, result, seconds, is_i686 in cases:
            counts[result] += 1
            total[result] += 1
            if is_i686:
                i686.append((name, result, seconds))
            if result != "passed":
                not_passed[result].append(f"{preset}:{name}")
        print(f"{preset}: {counts['passed']} passed, {counts['failed']} failed, "
              f"{counts['no-i386'] + counts['skipped']} skipped, {counts['disabled']} disabled "
              f"of {len(cases)}; {sum(c[2] for c in cases):.0f} s of test time")
    for preset in args.failed_build:
        print(f"{preset}: BUILD FAILED, not tested")

    if i686:
        by_result = defaultdict(int)
        for _, result, _ in i686:
            by_result[result] += 1
        print(f"\nThe 32-bit program under 32-bit Wine ({len(i686)} tests): "
              f"{by_result['passed']} passed, {by_result['failed']} failed, "
              f"{by_result['no-i386'] + by_result['skipped']} skipped, "
              f"{by_result['disabled']} disabled")
        suites = defaultdict(list)
        for name, result, seconds in i686:
            if name.startswith("unit."):
                suites[name.split(".")[1].split("/")[0]].append(seconds)
            else:
                print(f"  {name:<40} {result:<9} {seconds:6.1f} s")
        for suite, times in sorted(suites.items()):
            print(f"  unit.{suite + '.*':<35} {len(times):3} cases {sum(times):6.1f} s")

    if not_passed["no-i386"]:
        print(f"\nSKIPPED, NOT PASSED: 32-bit Windows programs cannot run here ({args.why}), "
              "so the 32-bit program was not run:")
        for name in not_passed["no-i386"]:
            print(f"  {name}")
    for result, title in (("skipped", "Skipped by the test itself"), ("disabled", "Disabled"),
                          ("failed", "FAILED")):
        if not_passed[result]:
            print(f"\n{title}:")
            for name in not_passed[result]:
                print(f"  {name}")

    skipped = total["no-i386"] + total["skipped"]
    i686_run = sum(1 for _, r, _ in i686 if r == "passed")
    print(f"\ntotal: {total['passed']} passed, {total['failed']} failed, {skipped} skipped "
          f"({total['no-i386']} for want of 32-bit Windows), {total['disabled']} disabled; "
          f"32-bit program under Wine: {i686_run} of {len(i686)} passed")
    return 1 if total["failed"] or args.failed_build else 0


if __name__ == "__main__":
    sys.exit(main())
