#!/usr/bin/env python3
"""Writes or checks the tables of docs/verification.md.

The reference test prints, for every row, "<row>: <formula>" and one line per
check ("  ok   <what>: got <g>, expected <e>, tolerance <t> (relative)").
The balance matrix prints per case and layout "case <name> on <layout>" and
its "  residual ... mm (<share> of the input)". This script reads such output
(a log of `ctest -R 'reference_test|balance_test' -V` or of the test
binaries) and puts each table it finds in the log between its markers of the
page (--update), or compares the page's tables with it (--check, exit 1 on a
difference). Figures are compared at four significant digits, residuals by
their decade.

  scripts/verification-table.py --update|--check <log> [docs/verification.md]
"""
import math
import re
import sys

CASE = re.compile(r"^(?:\d+: )?case (\S+) on (\d+) instance\(s\) x (\d+) thread\(s\)$")
RESIDUAL = re.compile(r"^(?:\d+: )?  residual\s+(?:\(without the bounded terms\)\s+)?(\S+) mm \((\S+) of the input\)")
# ctest -V prefixes each line with its test's number ("77: "): the lines of
# tests run side by side interleave.
ROW = re.compile(r"^(\d+: )?([a-z_]+\.[a-z0-9_]+): (.+)$")
CHECK = re.compile(r"^(\d+: )?\s+(ok|FAIL)\s+(.+?): got (\S+), expected (\S+), tolerance (\S+)( \(relative\))?(.*)$")


def fig(text):
    try:
        return "%.4g" % float(text)
    except ValueError:
        return text


def table(log):
    """Rows in the order they first appear, each with its checks."""
    rows, order, current = {}, [], {}
    for raw in log.splitlines():
        m = ROW.match(raw)
        if m and not raw.lstrip().startswith(("ok", "FAIL")):
            name = m.group(2)
            current[m.group(1)] = name if name not in rows else None
            if name not in rows:
                rows[name] = ["| `%s` | %s | | | | |" % (name, m.group(3).replace("|", "/"))]
                order.append(name)
            continue
        c = CHECK.match(raw)
        name = current.get(c.group(1)) if c else None
        if name:
            tol = fig(c.group(6)) + (" rel." if c.group(7) else "")
            # A check an open fault owns is expected to fail: the test passes while it does.
            verdict = "known fault" if "known fault" in c.group(8) else c.group(2)
            rows[name].append("| | %s | %s | %s | %s | %s |" % (c.group(3).replace("|", "/"), fig(c.group(4)),
                                                                fig(c.group(5)), tol, verdict))
    lines = ["| row | formula / check | got | expected | tolerance | |", "|---|---|---|---|---|---|"]
    for name in sorted(order):
        lines += rows[name]
    return "\n".join(lines)


# A case's problems: "case <name>: <term> <figure> mm (<why>) on <layout>", one
# a line, the lines after the first without "case <name>: ".
NAMED = re.compile(r"^(\d+: )?case (\S+): (.*)$")
PROBLEM = re.compile(r"^([a-z].+?) [-0-9.e+]+ mm \((.+?)\) on (\d+) instance\(s\) x (\d+) thread\(s\)$")


def balance(log):
    lines = ["| case | instances x threads | residual, share of the input | verdict |", "|---|---|---|---|"]
    seen, current = set(), None
    # A case that fails on another term than its residual: the term, without its figure.
    problems = {}
    last = {}
    for raw in log.splitlines():
        prefix = re.match(r"^(\d+: )?", raw).group(0)
        n = NAMED.match(raw)
        if n:
            last[prefix] = n.group(2)
        text = n.group(3) if n else raw[len(prefix):]
        if n and n.group(3).startswith("signature:") and "(NOT " in n.group(3):
            for layout in ("1 x 1", "2 x 2"):
                problems[(n.group(2), layout)] = "FAIL: signature (the option did not act as it should)"
        p = PROBLEM.match(text)
        if p and last.get(prefix):
            problems[(last[prefix], p.group(3) + " x " + p.group(4))] = "FAIL: %s (%s)" % (p.group(1), p.group(2))
    for raw in log.splitlines():
        m = CASE.match(raw)
        if m:
            current = (m.group(1), m.group(2) + " x " + m.group(3))
            continue
        r = RESIDUAL.match(raw)
        if r and current and current not in seen:
            seen.add(current)
            # The residual is rounding: its decade is today's figure, its digits move with any change.
            share = abs(float(r.group(2)))
            decade = "0" if share == 0 else "< 1e%d" % (math.floor(math.log10(share)) + 1)
            lines.append("| `%s` | %s | %s | %s |" % (current[0], current[1], decade, problems.get(current, "ok") if share <= 1e-6 else "FAIL: residual"))
            current = None
    return "\n".join(lines[:2] + sorted(lines[2:]))


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("--update", "--check"):
        print(__doc__)
        return 2
    page_path = sys.argv[3] if len(sys.argv) > 3 else "docs/verification.md"
    log = open(sys.argv[2], errors="replace").read()
    page = open(page_path).read()
    status = 0
    for name, made in (("reference-table", table(log)), ("balance-table", balance(log))):
        if made.count("\n") < 2:
            continue  # the log holds no such output
        begin, end = "<!-- %s: begin -->" % name, "<!-- %s: end -->" % name
        start, stop = page.index(begin) + len(begin), page.index(end)
        if sys.argv[1] == "--update":
            page = page[:start] + "\n" + made + "\n" + page[stop:]
            print("%s: %d lines of the %s" % (page_path, made.count("\n") - 1, name))
            continue
        if page[start:stop].strip() == made.strip():
            print("the %s of %s is today's" % (name, page_path))
            continue
        old, new = page[start:stop].strip().splitlines(), made.strip().splitlines()
        for line in sorted(set(old) ^ set(new))[:40]:
            print(("page:  " if line in old else "today: ") + line)
        print("the %s of %s differs from the tests' output: run --update" % (name, page_path))
        status = 1
    if sys.argv[1] == "--update":
        open(page_path, "w").write(page)
    return status


sys.exit(main())
