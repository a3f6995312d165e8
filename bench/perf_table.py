#!/usr/bin/python3
"""The speed table: netbuf next to its anchor and floor for each figure,
measured in one run, interleaved round by round, medians with min and max.

    /usr/bin/python3 bench/perf_table.py [--rounds 5] [--before DIR] [--after DIR]

DIR is a build's bin directory (default: --after build/bin, no --before).
With --before, each round measures the two builds in turn, and the table
shows both. The anchors and floors (libmodbus server, blocking C function-3
server, C start-up reader, timerfd poller, prepared statements on the C API)
always come from --after, so both builds are measured against the same ones.
Each round runs, per build:
  bench/roundtrip.py --json   function 3, 16, 20 round trips on loopback
  bench/startup.py --json     exec to listening, all cards coded
  bench/idle.py --json        32 readers polled at DELAY1 20 ms
  write_back_bench, event_readout_bench (in-process figures and their floors)
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import build_dirs  # noqa: E402
from db_figures import READOUT, WRITE_BACK, run as run_gbench  # noqa: E402

# netbuf's own programs; everything else in a bin directory is a yardstick.
OWN = ("netbuf", "netbuf-db", "netbuf-readersim")
SCRIPTS = ("roundtrip.py", "startup.py", "idle.py")


def bin_dir_for(build_dir, yardsticks_dir, scratch):
    """A bin directory with the build's own programs and the shared yardsticks."""
    if os.path.samefile(build_dir, yardsticks_dir):
        return build_dir
    d = tempfile.mkdtemp(dir=scratch)
    for name in os.listdir(yardsticks_dir):
        src = build_dir if name in OWN else yardsticks_dir
        path = os.path.join(src, name)
        if os.path.isfile(path):
            os.symlink(os.path.abspath(path), os.path.join(d, name))
    return d


def one_round(bin_dir):
    """Every named figure of one round against one build."""
    found = {}
    env = dict(os.environ, NETBUF_BIN=bin_dir)
    for script in SCRIPTS:
        path = os.path.join(HERE, script)
        if not os.path.exists(path):
            continue
        r = subprocess.run([sys.executable, path, "--json"], env=env, capture_output=True,
                           text=True, timeout=600)
        lines = [x for x in r.stdout.splitlines() if x.startswith("{")]
        if r.returncode != 0 or not lines:
            print("%s failed (%d): %s" % (script, r.returncode, r.stderr.strip()[-400:]),
                  file=sys.stderr)
            continue
        found.update(json.loads(lines[-1]))
    try:
        wb = run_gbench(bin_dir, WRITE_BACK)
        found["writeback_netbuf_ms"] = wb["BM_WriteBackTick_Registers/9000"] / 1000
        found["writeback_floor_ms"] = wb["BM_Floor_PreparedRegisterUpdates/9000"] / 1000
        ro = run_gbench(bin_dir, READOUT)
        found["fc20_inprocess_1k_us"] = ro["BM_EventReadout/rows:1000/index:1"]
        found["fc20_inprocess_1m_us"] = ro["BM_EventReadout/rows:1000000/index:1"]
        found["fc20_floor_query_us"] = ro["BM_Floor_PreparedEventQuery/rows:1000000"]
    except (subprocess.CalledProcessError, KeyError, OSError) as e:
        print("in-process benches failed: %s" % e, file=sys.stderr)
    # The least a function-20 round trip can cost: the query alone plus a
    # loopback round trip of the blocking C server.
    if "fc20_floor_query_us" in found and "loopback_floor_rtt_us" in found:
        found["fc20_floor_rps"] = 1e6 / (found["fc20_floor_query_us"] +
                                         found["loopback_floor_rtt_us"])
    return found


def cell(samples, fmt):
    if not samples:
        return "—"
    m = statistics.median(samples)
    if len(samples) == 1:
        return fmt % m
    return (fmt + " (" + fmt + "–" + fmt + ")") % (m, min(samples), max(samples))


# (figure, netbuf key, anchor/floor keys, format, ratio numerator/denominator, target text, check)
ROWS = [
    ("function 3, 10 registers, req/s", "fc3_netbuf_rps",
     [("libmodbus", "fc3_libmodbus_rps"), ("C floor", "fc3_floor_rps")], "%.0f",
     "fc3_libmodbus_rps", ">= 1.05x libmodbus", lambda r: r >= 1.05),
    ("  server CPU µs per request", "fc3_netbuf_cpu_us", [], "%.1f", None, "", None),
    ("function 16, 10 values, req/s", "fc16_netbuf_rps",
     [("libmodbus", "fc16_libmodbus_rps")], "%.0f",
     "fc16_libmodbus_rps", ">= 1.05x libmodbus", lambda r: r >= 1.05),
    ("  server CPU µs per request", "fc16_netbuf_cpu_us", [], "%.1f", None, "", None),
    ("function 20, 7 events, 1 k rows, req/s", "fc20_1k_rps",
     [("query + loopback floor", "fc20_floor_rps")], "%.0f", None, ">= 45 000, flat", None),
    ("function 20, 7 events, 1 M rows, req/s", "fc20_1m_rps",
     [("query + loopback floor", "fc20_floor_rps")], "%.0f", None, ">= 45 000, flat", None),
    ("  server CPU µs per request", "fc20_cpu_us", [], "%.1f", None, "", None),
    ("  in-process, 1 k / 1 M rows, µs", "fc20_inprocess_1k_us",
     [("1 M rows", "fc20_inprocess_1m_us"), ("prepared query floor", "fc20_floor_query_us")],
     "%.1f", None, "flat", None),
    ("write-back tick, 9000 registers, ms", "writeback_netbuf_ms",
     [("prepared UPDATEs floor", "writeback_floor_ms")], "%.1f",
     "writeback_floor_ms", "<= 1.3x the floor", lambda r: r <= 1.3),
    ("start-up to listening, all cards coded, ms", "startup_netbuf_ms",
     [("sqlite3 CLI", "startup_cli_ms"), ("C open + step", "startup_c_floor_ms")], "%.1f",
     "startup_cli_ms", "<= 1.5x the CLI", lambda r: r <= 1.5),
    ("idle, 32 readers at 20 ms, CPU ms per s", "idle_netbuf_cpu_ms_s",
     [("timerfd poller", "idle_floor_cpu_ms_s")], "%.2f",
     "idle_floor_cpu_ms_s", "<= 1.5x the poller", lambda r: r <= 1.5),
    ("  syscalls per poll", "idle_netbuf_syscalls_per_poll",
     [("timerfd poller", "idle_floor_syscalls_per_poll")], "%.1f", None, "", None),
]


def ratio_text(figs, key, denom_key, check):
    if not denom_key or not figs.get(key) or not figs.get(denom_key):
        return "", ""
    r = statistics.median(figs[key]) / statistics.median(figs[denom_key])
    met = "" if check is None else ("met" if check(r) else "not met")
    return "%.2fx" % r, met


def print_table(rounds, builds, figures):
    print("%d rounds, interleaved; median (min–max)\n" % rounds)
    head = "| figure | build | netbuf | anchor / floor | ratio | target | |"
    print(head)
    print("|---|---|---|---|---|---|---|")
    for figure, key, others, fmt, denom, target, check in ROWS:
        for label in builds:
            figs = figures[label]
            if key not in figs and not any(k in figs for _, k in others):
                continue
            anchor = "; ".join("%s %s" % (name, cell(figs.get(k), fmt)) for name, k in others
                               if figs.get(k))
            ratio, met = ratio_text(figs, key, denom, check)
            print("| %s | %s | %s | %s | %s | %s | %s |" % (
                figure, label, cell(figs.get(key), fmt), anchor or "", ratio, target, met))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    build_dirs.add_build_options(ap)
    args = ap.parse_args()
    scratch = tempfile.mkdtemp(prefix="perf_table.")
    try:
        builds = {}
        if args.before:
            builds["before"] = bin_dir_for(args.before, args.after, scratch)
        builds["after"] = bin_dir_for(args.after, args.after, scratch)
        figures = {label: {} for label in builds}
        for n in range(args.rounds):
            for label, d in builds.items():
                print("round %d/%d, %s" % (n + 1, args.rounds, label), file=sys.stderr)
                for name, value in one_round(d).items():
                    figures[label].setdefault(name, []).append(value)
        print_table(args.rounds, list(builds), figures)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
