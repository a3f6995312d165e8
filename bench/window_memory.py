"""Resident memory of netbuf with a full net.db: headless, with its window on
a private X server (Xvfb), after a long run of monitor lines that the poll
timer keeps trimming, and after as many again with the poll timer stopped
("Stop"), when nothing trims the log. Prints a table of the peak (VmHWM)
and current (VmRSS) resident set at each stage: of netbuf, of the window's
own process (netbuf-window, netbuf's child) and of both.

    NETBUF_BIN=build/bin /usr/bin/python3 bench/window_memory.py [--lines 10000]

NETBUF_BIN may name a netbuf that loads its window as a module
(netbuf-window.so beside it): the window column is then empty, as the window
is part of netbuf.

The lines come from a PC that reads registers as fast as netbuf answers
("PC->BUF:" and "BUF->PC:" lines) while four simulated readers on a pty pair
are polled every 20 ms ("BUF->READER:" lines with their answers appended);
every poll tick trims the log once it holds more than 200 rows."""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "system"))

from netbuf_harness import BIN, Netbuf, Pc, PtyPair, ReaderSim, Xvfb, vm_kb, wait_for  # noqa: E402

TARGET_MB = 80
READERS = 4
# "Stop" on the Monitor page, and its four category boxes, in window coordinates.
STOP_BUTTON = (85, 389)
CATEGORY_BOXES = ((23, 426), (23, 450), (23, 474), (207, 426))
MODULE = "netbuf-window.so"


def processes(nb):
    """netbuf and, when it runs one, its window's process."""
    pids = [nb.proc.pid]
    try:
        with open("/proc/%d/task/%d/children" % (pids[0], pids[0])) as f:
            pids += [int(c) for c in f.read().split()]
    except OSError:
        pass
    return pids


def fill(nb):
    """Every card slot used, four readers configured, as a full site would have it."""
    nb.execute("UPDATE karty SET typ=1, kod=printf('%012X', numer * 7919), "
               "lcd='Karta ' || numer, time_zone=1, geo_zone=0")
    nb.execute("UPDATE register SET val=20001 WHERE adres=3170")
    for slot in range(READERS):
        nb.execute("UPDATE register SET val=? WHERE adres=?", ((slot + 1) << 8, 1400 + 4 * slot))


def mb(kb):
    return "%.1f" % (kb / 1024.0) if kb is not None else "-"


def settle(nb, seconds=3.0):
    """Past the first write-back tick, so start-up work is all counted: the
    (VmHWM, VmRSS) of netbuf, and of its window's process or None."""
    time.sleep(seconds)
    pids = processes(nb)
    figures = [(vm_kb(p, "VmHWM"), vm_kb(p, "VmRSS")) for p in pids]
    return figures[0], figures[1] if len(figures) > 1 else None


def headless_start():
    nb = Netbuf()
    try:
        fill(nb)
        nb.start()
        return settle(nb)
    finally:
        nb.cleanup()


def drive(nb, lines):
    """PC reads until they have written `lines` monitor lines (two each: the
    request and the answer); the number of requests."""
    pc = Pc(nb.port_tcp, timeout=10)
    requests = 0
    try:
        while 2 * requests < lines:
            if pc.read_regs(0, 10, tid=requests & 0xFFFF) is None:
                raise RuntimeError("no answer to request %d" % requests)
            requests += 1
    finally:
        pc.close()
    return requests


def window_run(xvfb, lines):
    nb = Netbuf(com=3, delay=20)
    line = sim = None
    try:
        if os.path.exists(os.path.join(BIN, MODULE)):
            # A netbuf that loads its window finds the module beside itself.
            with open(os.path.join(BIN, MODULE), "rb") as src, \
                    open(os.path.join(nb.dir, MODULE), "wb") as dst:
                dst.write(src.read())
        fill(nb)
        line = PtyPair(nb.dir, "COM3", "readers")
        sim = ReaderSim(line.b, "--readers", "1-%d" % READERS)
        nb.start(wait_port=False, display=xvfb.display)
        shown = wait_for(lambda: xvfb.run("xdotool", "search", "--onlyvisible", "--name",
                                          "^Brennik", check=False).stdout.split(), 20, 0.2)
        if not shown:
            raise RuntimeError("no window: " + nb.stderr() + xvfb.log())
        if not wait_for(lambda: Netbuf.can_connect(nb.port_tcp), 15):
            raise RuntimeError("netbuf did not listen: " + nb.stderr())
        window = shown[0].decode()
        # Every category of the monitor log on, as an operator hunting a fault.
        for x, y in CATEGORY_BOXES:
            xvfb.run("xdotool", "mousemove", "--window", window, str(x), str(y), "click", "1")
        shown_at = settle(nb)

        polls = lambda: sum(1 for l in sim.since(0) if l.startswith("poll address"))
        polls_before = polls()
        t0 = time.monotonic()
        requests = drive(nb, lines)
        elapsed = time.monotonic() - t0
        trimmed = settle(nb, 1.0), 2 * requests + polls() - polls_before, elapsed

        # "Stop" stops the poll timer and with it the trimming: the same lines
        # again show what the log costs when it is let grow.
        xvfb.run("xdotool", "mousemove", "--window", window, str(STOP_BUTTON[0]),
                 str(STOP_BUTTON[1]), "click", "1")
        # Taken once the window has caught up with what it was sent.
        def still():
            before = polls()
            time.sleep(0.5)
            return polls() == before
        if not wait_for(still, 30, 0):
            raise RuntimeError("the poll timer did not stop")
        requests = drive(nb, lines)
        grown = settle(nb, 1.0), 2 * requests
        return shown_at, trimmed, grown
    finally:
        nb.cleanup()
        if sim:
            sim.stop()
        if line:
            line.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lines", type=int, default=10000, help="monitor lines to write")
    args = parser.parse_args()

    headless = headless_start()
    xvfb = Xvfb()
    try:
        shown, (trimmed, written, elapsed), (grown, untrimmed) = window_run(xvfb, args.lines)
    finally:
        xvfb.stop()

    rows = [("headless, after start-up", "-", headless),
            ("window (Xvfb), after start-up", "-", shown),
            ("window, lines trimmed by the poll timer", str(written), trimmed),
            ("window, poll timer stopped, log grows", "+%d" % untrimmed, grown)]
    print("resident memory, MB, net.db with 9000 registers and 20001 cards in use; %s"
          % os.path.join(BIN, "netbuf"))
    print("%-42s %14s %17s %17s %17s" % ("", "", "netbuf", "window process", "both"))
    print("%-42s %14s %8s %8s %8s %8s %8s %8s" % ("stage", "monitor lines", "VmHWM", "VmRSS",
                                                   "VmHWM", "VmRSS", "VmHWM", "VmRSS"))
    for name, count, (own, window) in rows:
        both = own if window is None else tuple(
            a + b if a is not None and b is not None else None for a, b in zip(own, window))
        print("%-42s %14s %8s %8s %8s %8s %8s %8s"
              % (name, count, mb(own[0]), mb(own[1]), mb(window and window[0]),
                 mb(window and window[1]), mb(both[0]), mb(both[1])))
    print("%d lines in %.1f s (%.0f lines/s) with the poll timer at 20 ms"
          % (written, elapsed, written / elapsed if elapsed else 0))
    peak = max(own[0] for _, _, (own, _) in rows[1:3] if own[0] is not None)
    print("netbuf's peak with the window and the log trimmed: %s MB, %s the %d MB target"
          % (mb(peak), "under" if peak < TARGET_MB * 1024 else "OVER", TARGET_MB))


if __name__ == "__main__":
    main()
