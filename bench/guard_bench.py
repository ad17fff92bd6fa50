#!/usr/bin/env python3
"""Include guards cost little: one call of vandrel over a model of FILES small files, each with an
include guard, against the same model without the guards, measured in the same run.

Each file includes the two files below it in a binary tree (so every reading reads each file
once, with or without guards), defines a macro of its own besides its guard, and uses the macro
of a file it includes as a bound. Every file is an input (the whole folder is converted), so the
readings hand macros up through every level of includes. After one warm-up each, the median of
RUNS runs of

    guarded:    vandrel -q -o OUT GUARDED_MODEL
    unguarded:  vandrel -q -o OUT UNGUARDED_MODEL

is taken for the wall time and the peak memory (resident set); the ratios guarded / unguarded
are printed (target: at most 2 for each). Both must write the same documents. Exit status 1 when
a ratio is above the target.

    bench/guard_bench.py [--vandrel build-release/vandrel] [--files 6000] [--runs 3]
"""

import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TARGET = 2.0


def write_model(folder, files, guarded):
    os.makedirs(folder)
    for i in range(files):
        kids = [k for k in (2 * i + 1, 2 * i + 2) if k < files]
        lines = ['#include "f%d.idl"' % k for k in kids]
        lines.append("#define SIZE_%d %d" % (i, i % 7 + 1))
        bound = "SIZE_%d" % kids[0] if kids else "4"
        lines.append("struct S%d { long a[%s]; };" % (i, bound))
        if guarded:
            lines = ["#ifndef F%d_IDL" % i, "#define F%d_IDL" % i] + lines + ["#endif"]
        with open(os.path.join(folder, "f%d.idl" % i), "w") as f:
            f.write("\n".join(lines) + "\n")


def run_once(vandrel, model, out):
    shutil.rmtree(out, ignore_errors=True)
    start = time.monotonic()
    proc = subprocess.Popen([vandrel, "-q", "-o", out, model])
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start
    if status != 0:
        sys.exit("vandrel failed on %s" % model)
    return seconds, usage.ru_maxrss  # kilobytes on Linux


def documents_equal(a, b):
    cmp = filecmp.dircmp(a, b)
    if cmp.left_only or cmp.right_only:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, cmp.common_files, shallow=False)
    return not mismatch and not errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--vandrel", default="build-release/vandrel")
    parser.add_argument("--files", type=int, default=6000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    vandrel = os.path.abspath(args.vandrel)
    work = tempfile.mkdtemp(prefix="vandrel-guard-bench-")
    try:
        results = {}
        for name, guarded in (("guarded", True), ("unguarded", False)):
            model = os.path.join(work, name)
            write_model(model, args.files, guarded)
            out = os.path.join(work, "out-" + name)
            run_once(vandrel, model, out)  # warm-up
            runs = [run_once(vandrel, model, out) for _ in range(args.runs)]
            results[name] = (statistics.median(r[0] for r in runs),
                             statistics.median(r[1] for r in runs))
            print("%-9s %7.2f s %9d KB" % (name, results[name][0], results[name][1]))
        if not documents_equal(os.path.join(work, "out-guarded"),
                               os.path.join(work, "out-unguarded")):
            sys.exit("the guarded and the unguarded model give different documents")
        time_ratio = results["guarded"][0] / results["unguarded"][0]
        memory_ratio = results["guarded"][1] / results["unguarded"][1]
        print("ratio guarded / unguarded: time %.2f, memory %.2f (target: at most %.1f)"
              % (time_ratio, memory_ratio, TARGET))
        return 0 if time_ratio <= TARGET and memory_ratio <= TARGET else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
