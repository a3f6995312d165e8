#!/usr/bin/python3
"""Idle reader line: netbuf polling 32 readers at DELAY1 20 ms with nothing
else to do, next to the floor, bench/idle_poller.c (timerfd + poll, the same
poll frames, 5 syscalls per poll), and to bench/idle_poller_qt.cpp, the same
on Qt's event loop with nothing else (what the loop itself costs).

    /usr/bin/python3 bench/idle.py [--rounds 3] [--seconds 10] [--trace-seconds 3]
                                   [--before DIR] [--json]

The readers are netbuf-readersim on the far end of a socat pty pair. Each
subject (netbuf as is, netbuf with QT_NO_GLIB=1, the before build's netbuf
with --before, the floors) gets a fresh line and readers, and is measured in
two windows: CPU ms per second (/proc/PID/task/*/schedstat, ns resolution;
/proc/PID/stat counts 10 ms ticks, too coarse for a few ms per s) without
strace, then syscalls per poll under `strace -c -f` in a separate window, as
strace itself slows the process. Polls are counted from the simulator's own
lines. Rounds interleave the subjects; the table shows medians and min-max.

--json runs one round and prints one JSON object of named figures for the
table script. NETBUF_BIN names the directory of the binaries (default
build/bin); the floors are taken from there, else from build/bin."""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../tests/system"))
from netbuf_harness import (BIN, Netbuf, PtyPair, ReaderSim, configure_readers,  # noqa: E402
                            cpu_ms, poll_frame, shut_down, stop_process)

READERS = 32
DELAY = 20  # ms


def floor_binary(name):
    """A floor built in bench/: from NETBUF_BIN, else from build/bin; None when not built."""
    for d in (BIN, os.path.join(HERE, "../build/bin")):
        path = os.path.join(d, name)
        if os.path.exists(path):
            return path
    return None


class NetbufSubject:
    def __init__(self, bin_dir, env):
        self.bin_dir, self.env = bin_dir, env

    def start(self):
        self.nb = Netbuf(com=3, delay=DELAY)
        self.line = self.sim = None
        try:
            # The build under test, even when net.db is made by another build's tool.
            shutil.copy2(os.path.join(self.bin_dir, "netbuf"), self.nb.exe)
            self.line = PtyPair(self.nb.dir, "COM3", "readers")
            configure_readers(self.nb, [(a, 0, 0) for a in range(1, READERS + 1)])
            self.sim = ReaderSim(self.line.b, "--readers", "1-%d" % READERS)
            self.nb.start(env_extra=self.env)
        except BaseException:
            self.stop()
            raise
        return self.nb.proc.pid

    def stop(self):
        shut_down(self.nb, self.sim, self.line)


class FloorSubject:
    def __init__(self, binary, env=None):
        self.binary, self.env = binary, env or {}

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="netbuf-idle-")
        self.line = self.sim = self.proc = None
        try:
            self.line = PtyPair(self.dir, "near", "readers")
            self.sim = ReaderSim(self.line.b, "--readers", "1-%d" % READERS)
            frames = [poll_frame(a).hex() for a in range(1, READERS + 1)]
            self.proc = subprocess.Popen([self.binary, self.line.a, str(DELAY)] + frames,
                                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                         text=True, env=dict(os.environ, **self.env))
            if self.proc.stdout.readline().strip() != "ready":
                raise RuntimeError(self.binary + " did not start")
        except BaseException:
            self.stop()
            raise
        return self.proc.pid

    def stop(self):
        if self.proc:
            stop_process(self.proc)
            self.proc.stdout.close()
        for p in (self.sim, self.line):
            if p is not None:
                (getattr(p, "stop", None) or p.close)()
        shutil.rmtree(self.dir, ignore_errors=True)


def polls_between(sim, a, b):
    return sum(1 for line in sim.since(a)[:b - a] if line.startswith("poll address "))


def strace_calls(path):
    """Total calls from the summary `strace -c` wrote to path."""
    with open(path) as f:
        for line in f:
            fields = line.split()
            if fields and fields[-1] == "total":
                return int(fields[3])
    raise RuntimeError("no strace summary in " + path)


def measure(subject, seconds, trace_seconds):
    """CPU ms per s, syscalls per poll, polls per s of one fresh run."""
    pid = subject.start()
    try:
        sim = subject.sim
        # Every reader polled once: the line is in its steady state.
        if not sim.wait_line("poll address %d" % READERS, 15):
            raise RuntimeError("the readers are not polled")
        time.sleep(1)
        m0, c0, t0 = sim.mark(), cpu_ms(pid), time.monotonic()
        time.sleep(seconds)
        m1, c1, t1 = sim.mark(), cpu_ms(pid), time.monotonic()
        cpu = (c1 - c0) / (t1 - t0)
        rate = polls_between(sim, m0, m1) / (t1 - t0)

        with tempfile.NamedTemporaryFile(prefix="idle-strace-") as out:
            # Polls are counted from starting strace to stopping it; it counts
            # from attaching, a few ms later, so the figure errs by a poll at most.
            m0 = sim.mark()
            st = subprocess.Popen(["strace", "-c", "-f", "-o", out.name, "-p", str(pid)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(trace_seconds)
            st.send_signal(signal.SIGINT)
            st.wait(10)
            m1 = sim.mark()
            per_poll = strace_calls(out.name) / max(1, polls_between(sim, m0, m1))
        return cpu, per_poll, rate
    finally:
        subject.stop()


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=10, help="CPU window per run")
    ap.add_argument("--trace-seconds", type=float, default=3, help="strace window per run")
    ap.add_argument("--before", metavar="DIR", help="another build's bin directory, measured too")
    ap.add_argument("--json", action="store_true", help="one round, one JSON object")
    args = ap.parse_args()
    if shutil.which("strace") is None:
        raise SystemExit("strace is not installed (scripts/setup.sh)")
    # Each subject's dispatcher is chosen here, not by the caller's environment.
    os.environ.pop("QT_NO_GLIB", None)

    subjects = [("netbuf", "netbuf", NetbufSubject(BIN, {})),
                ("netbuf_noglib", "netbuf QT_NO_GLIB=1", NetbufSubject(BIN, {"QT_NO_GLIB": "1"}))]
    if args.before and not args.json:
        subjects += [("before", "before", NetbufSubject(args.before, {})),
                     ("before_noglib", "before QT_NO_GLIB=1",
                      NetbufSubject(args.before, {"QT_NO_GLIB": "1"}))]
    floor = floor_binary("idle_poller")
    if floor is None:
        raise SystemExit("idle_poller is not built (bench/CMakeLists.txt)")
    subjects.append(("floor", "floor (timerfd + poll)", FloorSubject(floor)))
    qt_floor = floor_binary("idle_poller_qt")
    if qt_floor:
        # With Qt's own dispatcher, which netbuf's main chooses.
        subjects.append(("qtfloor", "Qt loop alone QT_NO_GLIB=1",
                         FloorSubject(qt_floor, {"QT_NO_GLIB": "1"})))

    rounds = 1 if args.json else args.rounds
    figures = {key: [] for key, _, _ in subjects}
    for r in range(rounds):
        # A different subject first each round, so none always meets the same neighbours.
        k = r % len(subjects)
        for key, _, subject in subjects[k:] + subjects[:k]:
            figures[key].append(measure(subject, args.seconds, args.trace_seconds))

    if args.json:
        out = {}
        for key, _, _ in subjects:
            cpu, per_poll, _ = figures[key][0]
            out["idle_%s_cpu_ms_s" % key] = round(cpu, 3)
            out["idle_%s_syscalls_per_poll" % key] = round(per_poll, 2)
        print(json.dumps(out))
        return

    print("idle reader line: %d readers (netbuf-readersim on a pty), DELAY1 %d ms, "
          "%d rounds of %g s CPU + %g s strace (%d cores, load average %s)"
          % (READERS, DELAY, rounds, args.seconds, args.trace_seconds, os.cpu_count(), loadavg()))
    print()
    floor_cpu = statistics.median(c for c, _, _ in figures["floor"])
    print("%-27s %20s %20s %9s %12s" % ("", "CPU ms/s (min-max)", "syscalls/poll", "polls/s",
                                        "CPU / floor"))
    for key, label, _ in subjects:
        cpu = [c for c, _, _ in figures[key]]
        sc = [s for _, s, _ in figures[key]]
        rate = [p for _, _, p in figures[key]]
        print("%-27s %6.2f (%5.2f-%5.2f) %6.2f (%5.2f-%5.2f) %9.1f %11.2fx"
              % (label, statistics.median(cpu), min(cpu), max(cpu), statistics.median(sc),
                 min(sc), max(sc), statistics.median(rate), statistics.median(cpu) / floor_cpu))
    print()
    print("target: netbuf <= 1.5x the floor's CPU")


if __name__ == "__main__":
    main()
