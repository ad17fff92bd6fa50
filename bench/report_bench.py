#!/usr/bin/env python3
"""Reporting benchmark: the cost of diagnostics grows with their number, not its square.

Writes files whose one structure uses N undeclared names (one member a line), converts each with
`vandrel --permissive -q -o OUT FILE` (every use a warning) and prints the median wall time per
count and the ratio of each time to the one of the count before. Doubling the count should at
most double the time (target: ratio <= 2).

    bench/report_bench.py [--vandrel build-release/vandrel] [--counts 10000,20000] [--runs 3]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def write_model(path, count):
    """One structure whose every member is of an undeclared type: the declared names stay few,
    so that only the reports grow with the count."""
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write("module m {\n    struct S {\n")
        for k in range(count):
            f.write("        Missing%d member%d;\n" % (k, k))
        f.write("    };\n};\n")


def median_time(argv, runs, out):
    times = []
    for i in range(runs + 1):
        shutil.rmtree(out, ignore_errors=True)
        start = time.perf_counter()
        proc = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
        if proc.returncode != 0:
            sys.exit(f"failed ({proc.returncode}): {' '.join(argv)}\n{proc.stderr[:2000]}")
        if i > 0:
            times.append(elapsed)
    return statistics.median(times), proc.stderr.count(b"warning:")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--vandrel", default=os.path.join(ROOT, "build-release", "vandrel"))
    ap.add_argument("--counts", default="10000,20000")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    vandrel = os.path.abspath(args.vandrel)
    if not os.access(vandrel, os.X_OK):
        sys.exit(f"no vandrel binary at {vandrel}")
    work = tempfile.mkdtemp(prefix="vandrel-report-bench-")
    try:
        previous = None
        print(f"{'warnings':>9} {'seconds':>9} {'ratio':>7}")
        for count in (int(c) for c in args.counts.split(",")):
            model = os.path.join(work, "m%d.idl" % count)
            write_model(model, count)
            out = os.path.join(work, "out")
            seconds, warnings = median_time(
                [vandrel, "--permissive", "-q", "--color=never", "-o", out, model], args.runs, out)
            ratio = "" if previous is None else "%7.2f" % (seconds / previous)
            print(f"{warnings:>9} {seconds:>9.3f} {ratio}")
            previous = seconds
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
