#!/usr/bin/env python3
"""Prints the slowest tests of a ctest run and the share of its time limit each used.

    slowest-tests.py <junit file of ctest --output-junit> <build dir> [count]

The seconds come from ctest's JUnit record of the run, the limits from
`ctest --show-only=json-v1` (a test without TIMEOUT has ctest's default of
1500 s); a test beyond the slowest that used more than 40 % of its limit
follows them. The last line counts the tests that passed and failed.
"""
import json
import subprocess
import sys
import xml.etree.ElementTree as ET


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    junit, build = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    try:
        cases = list(ET.parse(junit).getroot().iter("testcase"))
        seconds = {c.get("name"): float(c.get("time", "0")) for c in cases}
    except (OSError, ET.ParseError) as e:
        print("no record of the test run: %s" % e)
        return 1
    shown = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
    limits = {}
    if shown.returncode == 0:
        for test in json.loads(shown.stdout).get("tests", []):
            for p in test.get("properties", []):
                if p.get("name") == "TIMEOUT":
                    limits[test["name"]] = float(p["value"])
    print("slowest tests: seconds, time limit, share of the limit")
    for name, s in sorted(seconds.items(), key=lambda t: -t[1])[:count]:
        limit = limits.get(name, 1500.0)
        print("  %-40s %7.1f s %6.0f s %4.0f %%" % (name, s, limit, 100.0 * s / limit))
    # Any other test near its limit: a busier machine would fail it.
    for name, s in sorted(seconds.items(), key=lambda t: -t[1])[count:]:
        limit = limits.get(name, 1500.0)
        if s > 0.4 * limit:
            print("  %-40s %7.1f s %6.0f s %4.0f %% (above 40 %% of its limit)" % (name, s, limit, 100.0 * s / limit))
    passed = sum(1 for c in cases if c.get("status") == "run" and c.find("failure") is None)
    skipped = sum(1 for c in cases if c.get("status") in ("disabled", "skipped"))
    print("%d passed, %d failed" % (passed, len(cases) - passed - skipped))
    return 0


if __name__ == "__main__":
    sys.exit(main())
