#!/usr/bin/env python3
"""Whole-model benchmark: one call of vandrel over a generated model folder against a shell loop
of two-argument calls over the same files, measured in the same run.

Generates a model of FILES files (with includes between them, in subfolders) with the shared
generator bench/gen_models.py, then times, after one warm-up each, the median of RUNS runs of

    one call:  vandrel -q -o OUT MODEL          (all cores, one process)
    one call:  vandrel -q -j 1 -o OUT MODEL     (one thread, for the share of the threads)
    loop:      a /bin/sh loop calling `vandrel FILE OUT/SUBFOLDER` once per file

and prints the wall times and the ratio one call / loop (target: at most 0.25 on 2 cores). The
documents of the one call and of the loop are compared byte for byte.

With --baseline OTHER (another build of vandrel, an earlier version say), the one call of each
is also timed in pairs, the two runs of a pair back to back in alternating order, and the median
of the pairs' ratios is printed: on a shared machine whose speed drifts, pairs compare like with
like where two separate medians need not. Both must write the same documents.

    bench/model_bench.py [--vandrel build-release/vandrel] [--files 500] [--runs 3]
                         [--baseline OTHER]
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

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

LOOP = """cd "$1" || exit 1
find . -name '*.idl' | sort | while read -r f; do
    "$2" "$f" "$3/${f%/*}" > /dev/null || exit 1
done
"""


def timed(argv, cwd):
    """Wall time of one run of argv (output discarded); exits the script when the run fails."""
    start = time.perf_counter()
    proc = subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit(f"failed ({proc.returncode}): {' '.join(argv)}\n{proc.stderr.decode()[:2000]}")
    return elapsed


def median_of(argv, cwd, runs, out):
    """Median wall time of runs runs after a warm-up; the output folder is emptied before each."""
    times = []
    for i in range(runs + 1):
        shutil.rmtree(out, ignore_errors=True)
        t = timed(argv, cwd)
        if i > 0:
            times.append(t)
    return statistics.median(times)


def paired(first, second, cwd, runs, out):
    """Wall times of first and second, one run of each per pair in alternating order after a
    warm-up of each; returns both lists of times."""
    times = ([], [])
    for i in range(runs + 1):
        order = (0, 1) if i % 2 == 0 else (1, 0)
        for k in order:
            shutil.rmtree(out, ignore_errors=True)
            t = timed((first, second)[k], cwd)
            if i > 0:
                times[k].append(t)
    return times


def same_trees(a, b):
    """True when the two folders hold the same files with the same bytes."""
    cmp = filecmp.dircmp(a, b)
    if cmp.left_only or cmp.right_only or cmp.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, cmp.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same_trees(os.path.join(a, d), os.path.join(b, d)) for d in cmp.common_dirs)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--vandrel", default=os.path.join(ROOT, "build-release", "vandrel"))
    ap.add_argument("--generator", default=os.path.join(HERE, "gen_models.py"))
    ap.add_argument("--files", type=int, default=500)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--keep", help="keep the generated model and outputs in this folder")
    ap.add_argument("--baseline", help="another vandrel binary whose one call is timed in pairs")
    args = ap.parse_args()

    vandrel = os.path.abspath(args.vandrel)
    if not os.access(vandrel, os.X_OK):
        sys.exit(f"no vandrel binary at {vandrel}; build with: cmake --preset release && "
                 "cmake --build --preset release")
    if not os.path.exists(args.generator):
        sys.exit(f"no model generator at {args.generator}")
    work = args.keep or tempfile.mkdtemp(prefix="vandrel-model-bench-")
    os.makedirs(work, exist_ok=True)
    model = os.path.join(work, "model")
    shutil.rmtree(model, ignore_errors=True)
    subprocess.run([sys.executable, args.generator, "--files", str(args.files), "--seed",
                    str(args.seed), "--out", model], check=True, stdout=subprocess.DEVNULL)
    count = sum(f.endswith(".idl") for _, _, files in os.walk(model) for f in files)
    size = sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(model) for f in files)

    one_out = os.path.join(work, "one")
    serial_out = os.path.join(work, "serial")
    loop_out = os.path.join(work, "loop")
    script = os.path.join(work, "loop.sh")
    with open(script, "w") as f:
        f.write(LOOP)

    one = median_of([vandrel, "-q", "-o", one_out, model], work, args.runs, one_out)
    serial = median_of([vandrel, "-q", "-j", "1", "-o", serial_out, model], work, args.runs,
                       serial_out)
    loop = median_of(["/bin/sh", script, model, vandrel, loop_out], work, args.runs, loop_out)
    same = same_trees(one_out, loop_out) and same_trees(serial_out, loop_out)
    if args.baseline:
        base_out = os.path.join(work, "baseline")
        baseline = os.path.abspath(args.baseline)
        mine, theirs = paired([vandrel, "-q", "-o", one_out, model],
                              [baseline, "-q", "-o", base_out, model], work, args.runs, one_out)
        shutil.rmtree(base_out, ignore_errors=True)
        timed([baseline, "-q", "-o", base_out, model], work)
        same = same and same_trees(base_out, loop_out)

    cores = os.cpu_count() or 1
    print(f"model: {count} files, {size} bytes, {cores} cores, median of {args.runs} runs")
    print(f"{'one call (all cores)':<24} {one:>9.3f} s")
    print(f"{'one call (-j 1)':<24} {serial:>9.3f} s")
    print(f"{'loop of two-arg calls':<24} {loop:>9.3f} s")
    print(f"ratio one call / loop    {one / loop:>9.3f}   (target <= 0.25)")
    print(f"ratio -j 1 / loop        {serial / loop:>9.3f}")
    if args.baseline:
        ratios = [a / b for a, b in zip(mine, theirs)]
        print(f"{'baseline one call':<24} {statistics.median(theirs):>9.3f} s   "
              f"(this one, same pairs: {statistics.median(mine):.3f} s)")
        spread = ""
        if len(ratios) > 1:
            quartiles = statistics.quantiles(ratios, n=4)
            spread = f"; quartiles {quartiles[0]:.3f} to {quartiles[2]:.3f}"
        print(f"ratio to baseline        {statistics.median(ratios):>9.3f}   "
              f"(median of {len(ratios)} pairs{spread})")
    print(f"documents identical: {'yes' if same else 'NO'}")
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    main()
