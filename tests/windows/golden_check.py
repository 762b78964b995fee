#!/usr/bin/env python3
"""Runs the Linux golden-file checker on a folder that a Windows build wrote
and holds it to the frozen table, allowing only the differences listed in a
known-differences file (records whose last bits follow the C maths library).

  golden_check.py CHECKER GOLDEN_DIR KNOWN_FILE

Fails when a record not listed differs, when a listed record differs in more
than its listed parts or in its result code, or when any other test of the
checker fails. Prints one line per listed record and a summary."""
import os
import re
import subprocess
import sys


def main(argv):
    if len(argv) != 4:
        print(__doc__)
        return 2
    checker, golden_dir, known_file = argv[1:]
    known = {}
    with open(known_file, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                name, _, parts = line.partition(":")
                known[name.strip()] = {p.strip() for p in parts.split(",")}
    env = dict(os.environ, ORV_GOLDEN_DIR=golden_dir, ORV_GOLDEN_CRLF="1")
    run = subprocess.run([checker], env=env, capture_output=True, text=True)
    out = run.stdout + run.stderr
    total = re.search(r"\[==========\] (\d+) tests? from", out)
    if total is None:
        print(out)
        print("golden checker did not run its tests")
        return 1
    problems = []
    failed_tests = re.findall(r"^\[  FAILED  \] (\S+?)(?:,|$)", out, re.M)
    failed_tests = sorted(set(failed_tests))
    differing = {}
    for got, exp, name in re.findall(r'Which is: "([^"]*)"\n  it->second\n    Which is: "([^"]*)"\n(\S+)', out):
        g, e = got.split(), exp.split()
        parts = set()
        if g[0] != e[0]:
            parts.add("result")
        if g[1:4] != e[1:4]:
            parts.add("out fields")
        if g[4] != e[4]:
            parts.add("file")
        if g[5] != e[5]:
            parts.add("stdout")
        differing[name] = parts
    for t in failed_tests:
        m = re.match(r"Records/Golden\.FileAndOutputBytesAreFrozen/(\S+)", t)
        if m is None:
            problems.append(f"{t} failed")
        elif m.group(1) not in differing:
            problems.append(f"{m.group(1)}: {t} failed without a comparison (file missing?)")
    for name, parts in sorted(differing.items()):
        if name not in known:
            problems.append(f"{name}: differs in {', '.join(sorted(parts))} and is not a known difference")
        elif "result" in parts or not parts <= known[name]:
            problems.append(f"{name}: differs in {', '.join(sorted(parts))}, known only in {', '.join(sorted(known[name]))}")
        else:
            print(f"known difference: {name}: {', '.join(sorted(parts))}")
    for name in sorted(set(known) - set(differing)):
        print(f"note: {name} now matches exactly; it can leave {os.path.basename(known_file)}")
    for p in problems:
        print(f"FAILED: {p}")
    print(f"golden table: {len(differing)} records with known maths-library differences, "
          f"{len(problems)} problems, {total.group(1)} checks run")
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
