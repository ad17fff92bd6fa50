#!/usr/bin/env python3
"""End-to-end benchmark: wall time and peak memory of vandrel on generated IDL models.

Generates models of 3 KB, 100 KB, 1 MB and 10 MB with bench/gen_models.py and runs vandrel on each
(one warm-up, then the median of five runs). The baseline measured in the same run is `cat` of the
same file, so the time column can be read as a ratio that does not drift with the machine's load.
Peer tools are not run here; their published figures for the same inputs stand beside ours.

    bench/run_bench.py [--vandrel build-release/vandrel] [--sizes 3K,1M] [--keep DIR]
                       [--baseline OTHER]

With --baseline OTHER (another build, the previous landing say) each size is also run with both
binaries in pairs, back to back in alternating order, and the table gets the median of the pairs'
speed-ups (baseline time / this time) and the ratio of the two peaks; both must write the same
document. On a shared machine whose speed drifts, pairs compare like with like.
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


# Published figures of Cyclone DDS idlc on the models of these sizes from seed 1, written in the
# spelling idlc accepts (double for long double, char for wchar, string for wstring, @value for
# explicit enumerator values, an integer typedef for a bitset, uint32 where a bitmask type is
# used): (seconds, peak MB).
REFERENCE = {"3K": (0.020, 7.5), "100K": (0.30, 9.4), "1M": (3.4, 23.0), "10M": (29.2, 159.0)}


def parse_size(text):
    units = {"K": 1000, "M": 1000 ** 2, "Ki": 1024, "Mi": 1024 ** 2}
    for suffix in ("Ki", "Mi", "K", "M"):
        if text.endswith(suffix):
            return int(float(text[: -len(suffix)]) * units[suffix])
    return int(text)


def run_timed(argv, cwd):
    """Runs argv directly; returns (seconds, exit status). No wrapper process is timed."""
    # posix_spawn costs the interpreter far less than Popen, so little but the child is timed.
    path = shutil.which(argv[0]) or argv[0]
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    here = os.getcwd()
    os.chdir(cwd)
    try:
        start = time.perf_counter()
        pid = os.posix_spawn(path, argv, os.environ, file_actions=actions)
        _, status, _ = os.wait4(pid, 0)
        elapsed = time.perf_counter() - start
    finally:
        os.chdir(here)
    return elapsed, os.waitstatus_to_exitcode(status)


def run_peak(argv, cwd):
    """Runs argv; returns (peak resident kB, page faults, exit status). The faults are the pages
    the run touched first (minor faults): on a virtual machine each costs tens of microseconds,
    so they weigh on short runs as much as the instructions do.

    The peak comes from /usr/bin/time when it is there: the rusage of a child forked from this
    interpreter would also count the interpreter's pages the child held before exec. It is a
    separate run, so the wrapper's own start-up never counts in the wall time."""
    timer = shutil.which("time", path="/usr/bin")
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        full = [timer, "-f", "%M %R", "-o", report.name] + argv if timer else argv
        proc = subprocess.Popen(full, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        peak, faults = usage.ru_maxrss, usage.ru_minflt
        if timer:
            fields = report.read().split()
            if len(fields) >= 2:
                peak, faults = int(fields[-2]), int(fields[-1])
    return peak, faults, os.waitstatus_to_exitcode(status)


def measure(argv, cwd, runs):
    """Median wall time, peak memory and page faults of runs runs each, after a warm-up."""
    run_timed(argv, cwd)  # warm-up: page cache, dynamic loader
    times = [run_timed(argv, cwd) for _ in range(runs)]
    peaks = [run_peak(argv, cwd) for _ in range(runs)]
    if any(t[-1] != 0 for t in times + peaks):
        return None
    return (statistics.median(t for t, _ in times), statistics.median(p for p, _, _ in peaks),
            statistics.median(f for _, f, _ in peaks))


def paired(first, second, cwd, runs):
    """Times first and second in runs pairs, one run of each per pair in alternating order,
    after a warm-up of each; returns the median of the pairs' ratios time(second)/time(first)
    with its quartiles, or None when a run fails."""
    run_timed(first, cwd)
    run_timed(second, cwd)
    ratios = []
    for i in range(runs):
        order = (0, 1) if i % 2 == 0 else (1, 0)
        got = [None, None]
        for k in order:
            got[k] = run_timed((first, second)[k], cwd)
        if got[0][1] != 0 or got[1][1] != 0:
            return None
        ratios.append(got[1][0] / got[0][0])
    quartiles = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else [ratios[0]] * 3
    return statistics.median(ratios), quartiles[0], quartiles[2]


def same_file(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--vandrel", default=os.path.join(ROOT, "build-release", "vandrel"))
    ap.add_argument("--generator", default=os.path.join(HERE, "gen_models.py"))
    ap.add_argument("--sizes", default="3K,100K,1M,10M")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--keep", help="keep the generated inputs in this folder")
    ap.add_argument("--baseline", help="another vandrel binary to compare with in pairs")
    args = ap.parse_args()

    vandrel = os.path.abspath(args.vandrel)
    if not os.access(vandrel, os.X_OK):
        sys.exit(f"no vandrel binary at {vandrel}; build with: cmake --preset release && "
                 "cmake --build --preset release")
    work = args.keep or tempfile.mkdtemp(prefix="vandrel-bench-")
    os.makedirs(work, exist_ok=True)

    rows = []
    for label in args.sizes.split(","):
        size = parse_size(label)
        folder = os.path.join(work, label)
        os.makedirs(folder, exist_ok=True)
        idl = os.path.join(folder, "model.idl")
        subprocess.run([sys.executable, args.generator, "--size", str(size), "--seed", "1",
                        "--out", idl, "--write-includes", folder], check=True)
        actual = os.path.getsize(idl)
        argv = [vandrel, idl, os.path.join(folder, "xml")]
        v = measure(argv, folder, args.runs)
        c = measure(["cat", idl], folder, args.runs)
        b = None
        if args.baseline:
            base_argv = [os.path.abspath(args.baseline), idl, os.path.join(folder, "base")]
            speedup = paired(argv, base_argv, folder, args.runs)
            peaks = [run_peak(base_argv, folder) for _ in range(args.runs)]
            same = same_file(os.path.join(folder, "xml", "model.xml"),
                             os.path.join(folder, "base", "model.xml"))
            if speedup and all(status == 0 for _, _, status in peaks):
                b = (speedup, statistics.median(p for p, _, _ in peaks), same,
                     statistics.median(f for _, f, _ in peaks))
        rows.append((label, actual, v, c, b))

    print(f"{'input':>6} {'bytes':>10} {'vandrel s':>10} {'MB/s':>8} {'peak MB':>8} "
          f"{'B/in-B':>7} {'faults':>7} {'x cat':>8} {'ref s':>8} {'ref MB':>8} {'t/ref':>8} "
          f"{'m/ref':>8}")
    for label, actual, v, c, _ in rows:
        if v is None:
            print(f"{label:>6} {actual:>10}  vandrel failed")
            continue
        secs, kb, faults = v
        line = (f"{label:>6} {actual:>10} {secs:>10.4f} {actual / 1e6 / secs:>8.1f} "
                f"{kb / 1024:>8.1f} {kb * 1024 / actual:>7.1f} {faults:>7}")
        line += f" {secs / c[0]:>8.1f}" if c else f" {'-':>8}"
        ref = REFERENCE.get(label)
        if ref:
            line += f" {ref[0]:>8.3f} {ref[1]:>8.1f} {secs / ref[0]:>8.4f} {kb / 1024 / ref[1]:>8.3f}"
        print(line)
    if args.baseline:
        print(f"\nagainst {args.baseline}, {args.runs} pairs each (speed-up: baseline time / this "
              "time; peak: this / baseline)")
        print(f"{'input':>6} {'speed-up':>9} {'quartiles':>15} {'peak MB':>8} {'base MB':>8} "
              f"{'peak':>6} {'faults':>7} {'base':>7} {'same':>5}")
        for label, _, v, _, b in rows:
            if v is None or b is None:
                print(f"{label:>6}  a run failed")
                continue
            (ratio, low, high), base_kb, same, base_faults = b
            print(f"{label:>6} {ratio:>9.2f} {low:>7.2f}-{high:<7.2f} {v[1] / 1024:>8.1f} "
                  f"{base_kb / 1024:>8.1f} {v[1] / base_kb:>6.2f} {v[2]:>7} {base_faults:>7} "
                  f"{'yes' if same else 'NO':>5}")
    by_label = {r[0]: r for r in rows if r[2] is not None}
    if "1M" in by_label and "10M" in by_label:
        print(f"time(10M)/time(1M) = {by_label['10M'][2][0] / by_label['1M'][2][0]:.2f}")
    print("ref: Cyclone DDS idlc's published wall time and peak RSS for the same models in the "
          "spelling idlc accepts; x cat: vandrel time over cat's on the same file")
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    if any(b is not None and not b[2] for *_, b in rows):
        sys.exit("the documents of the two binaries differ")


if __name__ == "__main__":
    main()
