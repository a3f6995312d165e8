#!/usr/bin/python3
"""The doors on slow storage. netbuf with every fsync and fdatasync made
slower by a preloaded shim (build/bin/fsync_delay.so: +0, +10, +30 ms, as an
SD card, eMMC or an old spinning disk), 8 readers at DELAY1 20 ms played by
Python on a pty pair (RawReaders: every frame timestamped as it arrives), an
unknown card every 250 ms at the next reader; alone, while a PC reads a
200 000-event backlog back to back (function 20, 7 records a request), and
while a PC uploads 20 001 cards (function 21) that the write-back then stores.

Prints door reaction (card shown -> buzzer frame) median / p99 / max, the gap
between frames on the line median / p99 / max, and the PC's events/s; then
the targets, against the same run's +0 ms figures without load: door max
within 15 ms, poll gap p99 within 5 ms, the backlog at +30 ms at least 20 000
events/s.

    /usr/bin/python3 bench/slow_storage.py [--seconds 10] [--delays 0,10,30]

A pty does not pace bytes at 19200 baud: the figures are netbuf's own
scheduling. NETBUF_BIN names the netbuf measured (default build/bin),
NETBUF_BENCH_BIN where the shim is (default build/bin)."""

import argparse
import os
import shutil
import sqlite3
import statistics
import sys
import subprocess
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/system"))
from netbuf_harness import (Netbuf, Pc, PtyPair, RawReaders, buzzer_frame,  # noqa: E402
                            card_record, poll_frame, reader_slots, shut_down)

DELAY = 20
READERS = 8
N_CARD = 0x8001
BACKLOG = 200000
CARDS = 20001
# The shim comes from this tree's build, whichever netbuf NETBUF_BIN names.
SHIM_DIR = os.environ.get("NETBUF_BENCH_BIN", os.path.join(os.path.dirname(
    os.path.abspath(__file__)), "../build/bin"))


def pct(values, p):
    if not values:
        return float("nan")
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def template(directory):
    """A net.db with the readers configured, the card count at its top and a
    backlog of unread events; copied for every run."""
    nb = Netbuf(com=3, delay=DELAY, n_card=N_CARD, service=0)
    path = os.path.join(directory, "net.db")
    shutil.copy2(nb.db, path)
    nb.cleanup()
    con = sqlite3.connect(path)
    for i, v in enumerate(reader_slots([(a, 0, 0) for a in range(1, READERS + 1)])):
        con.execute("UPDATE register SET val=? WHERE adres=?", (v, 1400 + i))
    con.execute("UPDATE register SET val=? WHERE adres=3170", (CARDS - 1,))
    con.executemany("INSERT INTO event VALUES (?,80,1,1700000000,0,42,1,2,3,4,5,0,65535,0,0,0)",
                    ((i,) for i in range(1, BACKLOG + 1)))
    for a, v in ((800, 0), (801, 1), (804, BACKLOG >> 16), (805, BACKLOG & 0xFFFF)):
        con.execute("UPDATE register SET val=? WHERE adres=?", (v, a))
    con.commit()
    con.close()
    return path


def backlog_client(port, seconds):
    """Function 20 back to back for `seconds`; prints records and seconds."""
    pc = Pc(port, timeout=10)
    t0 = time.monotonic()
    records, tid = 0, 0
    while time.monotonic() < t0 + seconds:
        tid = (tid + 1) & 0xFF
        answer = pc.read_file_record(128, 0, 7, tid=tid)
        if not answer or len(answer) < 9:
            break
        if answer[7] == 20:
            records += (len(answer) - 11) // 32
    print(records, time.monotonic() - t0)


def upload_client(port):
    """Every card, 7 records a request, back to back; an upload goes to
    file 8 and each record names its entry."""
    pc = Pc(port, timeout=10)
    for first in range(0, CARDS, 7):
        recs = [card_record(i, 1, "%010X" % (0xE000000000 + i), 1, 1)
                for i in range(first, min(first + 7, CARDS))]
        pc.write_file_record(8, recs, 0, tid=first & 0xFF)
    print(CARDS, 0)


def client(*args):
    """The PC as a process of its own, so it takes no time from the thread
    that timestamps the line's frames."""
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), "--client",
                             ",".join(str(a) for a in args)],
                            stdout=subprocess.PIPE, text=True)


def run(db, delay_ms, load, seconds):
    nb = Netbuf(com=3, delay=DELAY, n_card=N_CARD, service=0, create_db=False)
    shutil.copy2(db, nb.db)
    con = sqlite3.connect(nb.db)
    nb.port_tcp = int(con.execute("SELECT val FROM setings WHERE PARAMETR='PORT_TCP'")
                      .fetchone()[0])
    con.close()
    line = readers = pc = None
    try:
        line = PtyPair(nb.dir, "COM3", "readers")
        readers = RawReaders(line.b, list(range(1, READERS + 1)))
        nb.start(env_extra={"LD_PRELOAD": os.path.join(SHIM_DIR, "fsync_delay.so"),
                            "NETBUF_FSYNC_DELAY_MS": str(delay_ms)})
        if readers.wait_frame(poll_frame(READERS), 2, 30) is None:
            raise RuntimeError("readers are not polled: " + nb.stderr())
        time.sleep(3.5)  # past the first write-back tick
        start = time.monotonic()
        if load == "backlog":
            pc = client("backlog", nb.port_tcp, seconds)
        elif load == "upload":
            pc = client("upload", nb.port_tcp)
        mark = readers.mark()
        reactions, missed, i = [], 0, 0
        while time.monotonic() < start + seconds:
            address = 1 + i % READERS
            i += 1
            m = readers.mark()
            t0 = readers.present(address, bytes([0xC1]) + (i + delay_ms * 1000).to_bytes(5, "big"))
            at = readers.wait_frame(buzzer_frame(address, N_CARD), 1, 5, m)
            if at is None:
                missed += 1
            else:
                reactions.append((readers.since(at)[0][0] - t0) * 1000)
            time.sleep(max(0.0, t0 + 0.25 - time.monotonic()))
        times = [t for t, _ in readers.since(mark)]
        gaps = [(b - a) * 1000 for a, b in zip(times, times[1:])]
        rate = None
        if pc:
            out, _ = pc.communicate(timeout=180)
            records, span = (float(v) for v in out.split())
            if load == "backlog":
                rate = records / span
    finally:
        if pc and pc.poll() is None:
            pc.kill()
            pc.wait()
        shut_down(nb, readers, line)
    return reactions, missed, gaps, rate


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--delays", default="0,10,30")
    ap.add_argument("--client", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.client:
        kind, *rest = args.client.split(",")
        if kind == "backlog":
            backlog_client(int(rest[0]), float(rest[1]))
        else:
            upload_client(int(rest[0]))
        return
    delays = [int(d) for d in args.delays.split(",")]
    tmp = tempfile.mkdtemp(prefix="netbuf-slow-")
    try:
        db = template(tmp)
        print("netbuf on slow storage: %d readers at DELAY1 %d ms, an unknown card every 250 ms,"
              " %.0f s a row" % (READERS, DELAY, args.seconds))
        print("%-8s %-9s %24s %24s %8s %12s" % ("fsync +", "load", "door ms med/p99/max",
                                                 "poll gap ms med/p99/max", "missed",
                                                 "PC events/s"))
        rows = {}
        for d in delays:
            for load in ("none", "backlog", "upload"):
                reactions, missed, gaps, rate = run(db, d, load, args.seconds)
                rows[d, load] = (reactions, gaps, rate)
                print("%-8s %-9s %24s %24s %8d %12s" % (
                    "%d ms" % d, load,
                    "%.1f / %.1f / %.1f" % (statistics.median(reactions), pct(reactions, 99),
                                            max(reactions)) if reactions else "-",
                    "%.1f / %.1f / %.1f" % (statistics.median(gaps), pct(gaps, 99), max(gaps)),
                    missed, "%.0f" % rate if rate else "-"), flush=True)
        if (0, "none") in rows:
            base_door = max(rows[0, "none"][0])
            base_gap = pct(rows[0, "none"][1], 99)
            print()
            print("targets against +0 ms without load (door max %.1f ms, poll gap p99 %.1f ms):"
                  % (base_door, base_gap))
            for (d, load), (reactions, gaps, rate) in sorted(rows.items()):
                if d == 0 or load == "none":
                    continue
                door_ok = reactions and max(reactions) <= base_door + 15
                gap_ok = pct(gaps, 99) <= base_gap + 5
                print("  +%d ms %-8s door max %s, poll gap p99 %s" % (
                    d, load, "met" if door_ok else "NOT met", "met" if gap_ok else "NOT met"))
            if (30, "backlog") in rows:
                rate = rows[30, "backlog"][2] or 0
                print("  backlog readout at +30 ms: %.0f events/s, target 20 000: %s"
                      % (rate, "met" if rate >= 20000 else "NOT met"))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
