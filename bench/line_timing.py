#!/usr/bin/python3
"""The reader line at the speed of the wire: netbuf on the byte-timed 19200
baud RS485 bus emulator of the peer test (WireBus: 10 bits a character),
readers played by RawReaders and a libmodbus RTU slave.

    /usr/bin/python3 bench/line_timing.py [--quick]

Prints, for the binary in NETBUF_BIN (default build/bin):
  - card -> command: from the end of the reader's answer that carries an
    unknown card to the end of netbuf's buzzer frame, at 8 and 32 readers,
    DELAY1 20, beside the floor (3.5 characters + the 11-byte frame) and one
    tick + the frame;
  - late readers: collisions (a frame of netbuf's begun while a reader was
    still answering) and unanswered frames, readers starting their answers
    0 ... 20 ms late;
  - the pass-through round trip of a 10-register read through netbuf to a
    libmodbus slave, one at a time and 10 pipelined, beside the line floor
    (request + answer + 3.5 characters), with 8 readers polled;
  - the same medians with the readers' bytes handed over every 1 and every
    16 ms, as a USB adapter's latency timer does;
  - PC answers (unit 255) while the line takes no bytes (output stopped)."""

import argparse
import contextlib
import os
import statistics
import sys
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../tests/system"))
from netbuf_harness import (Netbuf, Pc, RawReaders, buzzer_frame, configure_readers,  # noqa: E402
                            mbap, poll_frame, shut_down)
from test_peers import LibmodbusReader, WireBus  # noqa: E402

DELAY = 20
N_CARD = 0x8001
CHAR_MS = WireBus.CHAR_S * 1000


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def pct(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


@contextlib.contextmanager
def site(addresses, late=0.0, libmodbus=None, delay=DELAY, latency=0.0):
    nb = Netbuf(com=3, delay=delay, n_card=N_CARD)
    bus = raw = slave = None
    try:
        configure_readers(nb, [(a, 0, 0) for a in addresses + ([libmodbus] if libmodbus else [])])
        ports = {"r": addresses}
        if libmodbus:
            ports["lib"] = [libmodbus]
        bus = WireBus(nb.dir, ports)
        bus.rx_latency = latency
        raw = RawReaders(bus.ports["r"], addresses)
        raw.late = {a: late for a in addresses}
        if libmodbus:
            slave = LibmodbusReader(bus.ports["lib"], libmodbus)
            slave.set(0, range(1000, 1100))
        nb.start()
        last = addresses[-1]
        if not bus.wait_frame("master", poll_frame(last), 0, 30):
            raise RuntimeError("readers not polled: " + nb.stderr())
        time.sleep(2 * len(addresses) * delay / 1000)  # every reader holds its reference
        yield nb, bus, raw
    finally:
        shut_down(nb, raw, slave, bus)


def card_to_command(count, cards, latency=0.0):
    """(answer end -> buzzer end) in ms for `cards` unknown cards."""
    out = []
    with site(list(range(1, count + 1)), latency=latency) as (nb, bus, raw):
        for i in range(cards):
            a = 1 + (i * 5) % count
            mark = bus.mark()
            code = bytes([0xC0]) + (i + 1).to_bytes(5, "big")
            raw.present(a, code)
            got = bus.wait_frame("master", buzzer_frame(a, N_CARD), mark, 5)
            if not got:
                continue
            answers = [t1 for t0, t1, f in bus.frames("reader", mark)
                       if f[0] == a and f[1] == 3 and f[7:13] == code and t1 <= got[1]]
            if answers:
                out.append((got[1] - answers[0]) * 1000)
            time.sleep(0.05 + (i % 7) * DELAY / 7000)
    return out


def late_readers(late_ms, seconds):
    """(frames sent, collisions, unanswered) over `seconds`, 8 readers."""
    with site(list(range(1, 9)), late=late_ms / 1000) as (nb, bus, raw):
        start = bus.mark()
        time.sleep(seconds)
        with bus.cond:
            runs = [tuple(t) for t in bus.transmissions[start:]]
    master = [r for r in runs if r[0] == "master"]
    readers = [r for r in runs if r[0] == "reader"]
    collisions = sum(1 for m in master for r in readers if r[1] < m[2] and m[1] < r[2])
    unanswered = 0
    for i, r in enumerate(runs[:-1]):
        if r[0] == "master" and runs[i + 1][0] == "master":
            unanswered += 1
    return len(master), collisions, unanswered


def answer(pc, timeout):
    """One answer, b"" when none comes in time (netbuf before the gateway
    queue answered one request of a pipelined run)."""
    try:
        return pc.recv_answer(timeout)
    except OSError:
        return b""


def pass_through(rounds, latency=0.0):
    """(one-at-a-time round trips, pipelined per-request times) in ms."""
    single, piped, missed = [], [], 0
    with site(list(range(1, 8)), libmodbus=9, latency=latency) as (nb, bus, raw):
        with contextlib.closing(Pc(nb.port_tcp)) as pc:
            for i in range(rounds):
                t0 = time.monotonic()
                pc.send(mbap(i, 9, bytes([3, 0, 0, 0, 10])))
                if len(answer(pc, 2)) == 29:
                    single.append((time.monotonic() - t0) * 1000)
                time.sleep(0.03)
            for k in range(max(1, rounds // 10)):
                t0 = time.monotonic()
                pc.send(b"".join(mbap(j, 9, bytes([3, 0, 0, 0, 10])) for j in range(10)))
                ok = sum(1 for _ in range(10) if len(answer(pc, 1)) == 29)
                if ok == 10:
                    piped.append((time.monotonic() - t0) * 1000 / 10)
                else:
                    missed += 10 - ok
                time.sleep(0.1)
    return single, piped, missed


def stalled(requests):
    """PC round trips (unit 255) in ms while netbuf's line takes no bytes."""
    out = []
    with site(list(range(1, 9))) as (nb, bus, raw):
        fd = os.open(os.path.join(nb.dir, "COM3"), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            termios.tcflow(fd, termios.TCOOFF)
            time.sleep(0.5)
            with contextlib.closing(Pc(nb.port_tcp)) as pc:
                for i in range(requests):
                    t0 = time.monotonic()
                    pc.read_regs(1400, 2, i + 1)
                    out.append((time.monotonic() - t0) * 1000)
                    time.sleep(0.013)
        finally:
            termios.tcflow(fd, termios.TCOON)
            os.close(fd)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer cards, shorter runs")
    args = ap.parse_args()
    cards = 30 if args.quick else 100
    seconds = 2 if args.quick else 5

    print("netbuf %s on the emulated RS485 line, 19200 baud, DELAY1 %d ms "
          "(%d cores, load average %s)" % (os.environ.get("NETBUF_BIN", "build/bin"), DELAY,
                                          os.cpu_count(), loadavg()))
    print()
    floor = (3.5 + 11) * CHAR_MS
    print("card -> command (answer end -> buzzer frame end); floor %.1f ms, one tick + "
          "frame %.1f ms" % (floor, DELAY + 11 * CHAR_MS))
    print("%8s %6s %10s %8s %8s" % ("readers", "cards", "median ms", "p99 ms", "max ms"))
    for count in (8, 32):
        got = card_to_command(count, cards)
        print("%8d %6d %10.1f %8.1f %8.1f" % (count, len(got), statistics.median(got),
                                              pct(got, 99), max(got)), flush=True)

    print()
    print("late readers, 8 readers, %d s each" % seconds)
    print("%8s %8s %11s %11s" % ("late ms", "frames", "collisions", "unanswered"))
    for late in (0, 6, 8, 15, 20):
        n, col, una = late_readers(late, seconds)
        print("%8d %8d %11d %11d" % (late, n, col, una), flush=True)

    print()
    pfloor = (8 + 25 + 3.5) * CHAR_MS
    single, piped, missed = pass_through(20 if args.quick else 50)
    print("pass-through, 10-register read, 8 readers; line floor %.1f ms" % pfloor)
    print("%12s %6s %10s %8s %10s" % ("mode", "n", "median ms", "p99 ms", "x floor"))
    for name, v in (("one at once", single), ("10 pipelined", piped)):
        if v:
            print("%12s %6d %10.1f %8.1f %10.2f" % (name, len(v), statistics.median(v),
                                                     pct(v, 99), statistics.median(v) / pfloor))
        else:
            print("%12s %6d %10s" % (name, 0, "-"))
    print("pipelined requests left unanswered: %d" % missed)

    print()
    print("a USB adapter's latency timer (readers' bytes handed over every L ms), 8 readers")
    print("%6s %18s %22s" % ("L ms", "card->command ms", "pass-through x floor"))
    for latency in (1, 16):
        got = card_to_command(8, cards // 2, latency / 1000)
        one, _, _ = pass_through(20, latency / 1000)
        print("%6d %18.1f %22.2f" % (latency, statistics.median(got),
                                      statistics.median(one) / pfloor), flush=True)

    print()
    rt = stalled(30 if args.quick else 100)
    print("PC answers while the line takes no bytes")
    print("%6s %10s %8s %8s" % ("n", "median ms", "p99 ms", "max ms"))
    print("%6d %10.1f %8.1f %8.1f" % (len(rt), statistics.median(rt), pct(rt, 99), max(rt)))
    print()
    print("load average at the end: %s" % loadavg())


if __name__ == "__main__":
    main()
