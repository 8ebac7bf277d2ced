#!/usr/bin/env python3
"""Before and after in one sitting: harness builds and cp, run in turn.

    bench/alternate.py --rounds 9 \
        --harness before=/path/to/old/build/native/bench/quorvane_bench_harness \
        --harness after=build/native/bench/quorvane_bench_harness \
        --case crlf-error=build/bench/corpus-crlf-512M.log:ERROR \
        --case crlf-ignorecase=build/bench/corpus-crlf-512M.log:error:i

Each round runs every harness and cp once on a case, one after the other,
into new files beside the source (removed before each run), after one run
of each to warm up; the medians of wall time and of processor time (user
plus system) are printed per tool with the ratio to cp. A machine whose
speed drifts over minutes then drifts for all of them alike.
"""
import argparse
import os
import resource
import statistics
import subprocess
import time


def timed(cmd, outputs):
    for path in outputs:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--harness", action="append", required=True, metavar="NAME=PATH")
    parser.add_argument("--case", action="append", required=True, metavar="NAME=SOURCE:NEEDLE[:FLAGS]",
                        help="FLAGS: i to ignore case, o for the without-string export off, "
                             "c for a code page that is not UTF-8 (the stand-in of ASCII alone)")
    args = parser.parse_args()
    harnesses = [h.split("=", 1) for h in args.harness]
    for case in args.case:
        name, wanted = case.split("=", 1)
        parts = wanted.split(":")
        source, needle = parts[0], parts[1]
        flags = parts[2] if len(parts) > 2 else ""
        extra = (["--ignore-case"] if "i" in flags else []) + (["--without-off"] if "o" in flags else []) + \
                (["--code-page-stand-in"] if "c" in flags else [])
        folder = os.path.dirname(os.path.abspath(source))
        without = os.path.join(folder, "alternate-without.out")
        with_ = os.path.join(folder, "alternate-with.out")
        copy = os.path.join(folder, "alternate-copy.out")
        tools = [(label, [path, source, needle, without, with_] + extra, [without, with_])
                 for label, path in harnesses]
        tools.append(("cp", ["cp", source, copy], [copy]))
        results = {label: [] for label, _, _ in tools}
        for round_ in range(args.rounds + 1):
            for label, cmd, outputs in tools:
                measured = timed(cmd, outputs)
                if round_ > 0:
                    results[label].append(measured)
        for path in (without, with_, copy):
            if os.path.exists(path):
                os.unlink(path)
        floor = statistics.median(w for w, _ in results["cp"])
        cells = []
        for label, _, _ in tools:
            wall = statistics.median(w for w, _ in results[label])
            cpu = statistics.median(c for _, c in results[label])
            cells.append(f"{label} {wall:.3f} s (cpu {cpu:.3f} s, {wall / floor:.2f} x cp)")
        print(f"{name}: " + " | ".join(cells), flush=True)


if __name__ == "__main__":
    main()
