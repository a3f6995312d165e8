#!/usr/bin/python3
"""How fast the PC can fetch events: netbuf headless on a net.db whose event
table holds a million rows, the PC a raw Modbus TCP client on loopback asking
for 7 event records per function-20 request, back to back, for a fixed time.
Prints a table.

    /usr/bin/python3 bench/event_fetch.py [--rows N] [--seconds S]

NETBUF_BIN points at the binaries (default build/bin)."""

import argparse
import os
import sqlite3
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
os.environ.setdefault("NETBUF_BIN", os.path.join(HERE, "..", "build", "bin"))

from netbuf_harness import EVENT_COLUMNS, Netbuf, Pc, event_record  # noqa: E402

PER_REQUEST = 7
T0 = 1_700_000_000


def row(i):
    k = i * 2654435761 & 0xFFFFFFFFFF  # varied code bytes
    return (i, 80, 1 + i % 32, T0 + i, 1 << (i % 32), 42, k >> 32 & 255, k >> 24 & 255,
            k >> 16 & 255, k >> 8 & 255, k & 255, (0, 4, 6, 7)[i % 4], i % 20001, 0, 0, 0)


def fill(nb, rows):
    """The rows in one transaction; counter at the last Id, pointer at 1."""
    con = sqlite3.connect(nb.db)
    try:
        with con:
            con.executemany("INSERT INTO event(%s) VALUES (%s)"
                            % (",".join(EVENT_COLUMNS), ",".join("?" * len(EVENT_COLUMNS))),
                            (row(i) for i in range(1, rows + 1)))
            for adres, val in ((800, 0), (801, 1), (804, rows >> 16), (805, rows & 0xFFFF)):
                con.execute("UPDATE register SET val=? WHERE adres=?", (val, adres))
    finally:
        con.close()


def memory_kib(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0])
    return fields


def percentile(sorted_values, p):
    return sorted_values[min(len(sorted_values) - 1, int(p / 100 * len(sorted_values)))]


def fetch(pc, seconds):
    """Requests back to back; returns (requests, events, latencies in s, the
    last answer). Every answer must carry the next Ids in order."""
    latencies = []
    events = 0
    next_id = 1
    tid = 0
    request = bytearray(Pc.file_request(20, 128, 0, 16 * PER_REQUEST))
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        tid = (tid + 1) & 0xFFFF
        request[0:2] = struct.pack(">H", tid)
        t = time.perf_counter()
        pc.send(request)
        answer = pc.recv_answer(10)
        latencies.append(time.perf_counter() - t)
        if len(answer) < 9 or answer[7] != 20:
            raise RuntimeError("no records at Id %d: %s" % (next_id, answer.hex()))
        n = (len(answer) - 11) // 32
        first = struct.unpack(">I", answer[11:15])[0]
        if answer[:2] != request[:2] or first != next_id:
            raise RuntimeError("answer for Id %d starts at %d" % (next_id, first))
        events += n
        next_id += n
    return len(latencies), events, latencies, answer


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--seconds", type=float, default=10.0)
    args = ap.parse_args()

    nb = Netbuf(com=0, service=0)
    try:
        t = time.perf_counter()
        fill(nb, args.rows)
        fill_s = time.perf_counter() - t
        nb.start()
        before = memory_kib(nb.proc.pid)
        pc = Pc(nb.port_tcp, timeout=10)
        try:
            requests, events, latencies, last = fetch(pc, args.seconds)
        finally:
            pc.close()
        after = memory_kib(nb.proc.pid)
        elapsed = sum(latencies)
        # The last answer byte for byte against its rows.
        first = struct.unpack(">I", last[11:15])[0]
        n = (len(last) - 11) // 32
        expect = b"".join(event_record(row(i)) for i in range(first, first + n))
        if last[11:] != expect:
            raise RuntimeError("records of Ids %d.. differ from their rows" % first)
        lat = sorted(latencies)
    finally:
        nb.cleanup()

    table = [
        ("rows in table event", "%d" % args.rows),
        ("fill (one transaction)", "%.1f s" % fill_s),
        ("records per request", "%d" % PER_REQUEST),
        ("requests", "%d" % requests),
        ("events fetched", "%d" % events),
        ("time fetching", "%.2f s" % elapsed),
        ("requests/s", "%.0f" % (requests / elapsed)),
        ("events/s", "%.0f" % (events / elapsed)),
        ("latency p50", "%.3f ms" % (percentile(lat, 50) * 1e3)),
        ("latency p99", "%.3f ms" % (percentile(lat, 99) * 1e3)),
        ("latency max", "%.3f ms" % (lat[-1] * 1e3)),
        ("netbuf RSS before / after", "%d / %d KiB" % (before["VmRSS"], after["VmRSS"])),
        ("netbuf peak RSS", "%d KiB" % after["VmHWM"]),
    ]
    width = max(len(k) for k, _ in table)
    print("event fetch over loopback, function 20 file 128")
    print("-" * (width + 18))
    for key, value in table:
        print("%-*s  %14s" % (width, key, value))


if __name__ == "__main__":
    main()
