#!/usr/bin/python3
"""Card-to-command latency and poll rate of the real netbuf on a pty line.

Readers are played by a few lines of Python on the other end of a socat pty
pair (RawReaders of the system-test harness), which timestamps every frame
as it arrives. Latency runs from the moment a reader starts answering with a
new, unknown code to the arrival of its buzzer frame, beside the bound of two
poll cycles (2 x readers x DELAY1). The rate run counts the poll frames netbuf
writes at DELAY1 = 20 ms and the CPU time it uses meanwhile.

    /usr/bin/python3 bench/reader_latency.py [--quick]

A pty does not pace bytes at 19200 baud, so the figures are netbuf's own
scheduling, without the line time of a real RS485 bus. NETBUF_BIN names the
directory of the binaries (default build/bin)."""

import argparse
import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/system"))
from netbuf_harness import (Installation, Netbuf, RawReaders, buzzer_frame,  # noqa: E402
                            configure_readers, cpu_seconds, poll_frame)

DELAY = 20  # ms
N_CARD = 0x8001


class Line:
    """netbuf with `count` readers (addresses 1 ..) answered on a pty."""

    def __init__(self, count):
        addresses = list(range(1, count + 1))
        self.nb = Netbuf(com=3, delay=DELAY, n_card=N_CARD)
        # Polled once two whole cycles are seen: every reader has answered and
        # holds its reference.
        self.site = Installation(
            self.nb, prepare=lambda nb: configure_readers(nb, [(a, 0, 0) for a in addresses]),
            readers=lambda device: RawReaders(device, addresses),
            polled=lambda readers: readers.wait_frame(poll_frame(count), 2, 30) is not None)
        self.line, self.readers = self.site.line, self.site.readers

    def close(self):
        self.site.stop()


def latency(count, presentations, rng):
    """Latencies in ms of `presentations` unknown cards, rotating over the
    readers; the number that got no buzzer within ten bounds; the longest gap
    between two frames on the line meanwhile (a stalled tick shows there)."""
    cycle = count * DELAY / 1000
    line = Line(count)
    got, missed = [], 0
    try:
        for i in range(presentations):
            address = 1 + i % count
            buzzer = buzzer_frame(address, N_CARD)
            mark = line.readers.mark()
            t0 = line.readers.present(address, bytes([0xC0]) + (i + 1).to_bytes(5, "big"))
            at = line.readers.wait_frame(buzzer, 1, 20 * cycle + 2, mark)
            if at is None:
                missed += 1
            else:
                got.append((line.readers.since(at)[0][0] - t0) * 1000)
            # A random phase against the cycle for the next card.
            time.sleep(rng.uniform(0, cycle))
        times = [t for t, _ in line.readers.since()]
        gap = max(b - a for a, b in zip(times, times[1:])) * 1000
    finally:
        line.close()
    return got, missed, gap


def poll_rate(count, seconds):
    """Poll frames written per second and netbuf's CPU seconds per second."""
    line = Line(count)
    try:
        time.sleep(1)
        pid = line.nb.proc.pid
        m0, c0, t0 = line.readers.mark(), cpu_seconds(pid), time.monotonic()
        time.sleep(seconds)
        m1, c1, t1 = line.readers.mark(), cpu_seconds(pid), time.monotonic()
        polls = sum(1 for _, f in line.readers.since(m0)[:m1 - m0] if f[1] == 0x03)
    finally:
        line.close()
    return polls, t1 - t0, (c1 - c0) / (t1 - t0)


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="15 presentations per size and a 10 s rate run")
    args = ap.parse_args()
    presentations = 15 if args.quick else 50
    seconds = 10 if args.quick else 30
    rng = random.Random(20)

    print("netbuf reader bus on a pty line, DELAY1 = %d ms (%d cores, load average %s)"
          % (DELAY, os.cpu_count(), loadavg()))
    print()
    print("card-to-command latency (unknown card -> buzzer frame)")
    print("%8s %6s %10s %10s %10s %11s %7s %12s" % ("readers", "cards", "median ms",
                                                     "worst ms", "bound ms", "over bound",
                                                     "missed", "max gap ms"))
    for count in (1, 8, 32):
        got, missed, gap = latency(count, presentations, rng)
        bound = 2 * count * DELAY
        over = sum(1 for v in got if v > bound)
        print("%8d %6d %10.1f %10.1f %10d %11d %7d %12.1f"
              % (count, len(got) + missed, statistics.median(got) if got else float("nan"),
                 max(got) if got else float("nan"), bound, over, missed, gap), flush=True)

    print()
    readers = 8
    polls, span, cpu = poll_rate(readers, seconds)
    rate = polls / span
    target = 1000 / DELAY
    print("poll rate, %d readers answering, %.1f s" % (readers, span))
    print("%12s %10s %10s %12s %12s" % ("poll frames", "per s", "target", "deviation",
                                         "netbuf CPU"))
    print("%12d %10.2f %10.2f %11.2f%% %8.1f ms/s"
          % (polls, rate, target, 100 * (rate - target) / target, 1000 * cpu))
    print()
    print("load average at the end: %s" % loadavg())


if __name__ == "__main__":
    main()
