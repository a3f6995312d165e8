#!/usr/bin/python3
"""Database figures of two builds side by side, interleaved round by round.

    /usr/bin/python3 bench/db_figures.py [--before DIR] [--after DIR] [--rounds 5]

DIR is a build's bin directory (default: --after build/bin, no --before).
Each round runs, for each build in turn, the write-back tick with 9000 dirty
registers next to its floor (the same UPDATEs prepared once and bound on the
C API), and one function-20 request for 7 events from 1 k, 100 k and 1 M rows
next to its floor (the same SELECT prepared once, stepped on the C API).
Prints medians with min and max over the rounds; start-up figures come from
bench/startup.py."""

import argparse
import json
import os
import statistics
import subprocess

import build_dirs

WRITE_BACK = ("write_back_bench", "BM_WriteBackTick_Registers/9000|BM_Floor_PreparedRegisterUpdates/9000")
READOUT = ("event_readout_bench", "BM_EventReadout/rows:[0-9]+/index:1|BM_Floor_PreparedEventQuery")


def run(bin_dir, bench):
    exe, pattern = bench
    path = os.path.join(bin_dir, exe)
    out = subprocess.run([path, "--benchmark_filter=" + pattern, "--benchmark_format=json",
                          "--benchmark_min_time=0.3"],
                         check=True, capture_output=True, text=True).stdout
    found = {}
    for b in json.loads(out)["benchmarks"]:
        scale = {"ms": 1e3, "us": 1.0, "ns": 1e-3}[b["time_unit"]]
        found[b["name"].split("/real_time")[0]] = b["real_time"] * scale  # µs
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    args, builds = build_dirs.parse(ap)
    times = {}
    for _ in range(args.rounds):
        for label, d in builds:
            for bench in (WRITE_BACK, READOUT):
                try:
                    found = run(d, bench)
                except subprocess.CalledProcessError:
                    continue
                for name, t in found.items():
                    times.setdefault((name, label), []).append(t)

    print("%d rounds, interleaved; µs per tick or request" % args.rounds)
    print("%-52s %-7s %10s %10s %10s" % ("figure", "build", "median", "min", "max"))
    for (name, label), ts in sorted(times.items()):
        print("%-52s %-7s %10.1f %10.1f %10.1f"
              % (name, label, statistics.median(ts), min(ts), max(ts)))
    print()
    for label, _ in builds:
        tick = times.get(("BM_WriteBackTick_Registers/9000", label))
        floor = times.get(("BM_Floor_PreparedRegisterUpdates/9000", label))
        if tick and floor:
            print("%-7s write-back 9000 registers / floor: %.2fx  (target <= 1.3x)"
                  % (label, statistics.median(tick) / statistics.median(floor)))
        for rows in ("1000", "100000", "1000000"):
            f20 = times.get(("BM_EventReadout/rows:%s/index:1" % rows, label))
            if f20:
                print("%-7s function 20 at %7s rows: %.1f µs" % (label, rows, statistics.median(f20)))


if __name__ == "__main__":
    main()
