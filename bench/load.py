#!/usr/bin/python3
"""netbuf under a steady load: 32 simulated readers on a pty (DELAY1 20 ms),
a card presented every 200 ms at a random reader (known, unknown and
out-of-zone cards), and a PC on loopback reading registers and fetching
events (function 20, file 128, 7 records a request) back to back. At the end
the system is left to drain and three counts must agree exactly: rows in
table event, events fetched by the PC, relay and buzzer frames on the line.
Prints a table; exit status 1 when the counts disagree.

    /usr/bin/python3 bench/load.py [--minutes M] [--quick] [--seed S]

NETBUF_BIN points at the binaries (default build/bin)."""

import argparse
import os
import random
import struct
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
os.environ.setdefault("NETBUF_BIN", os.path.join(HERE, "..", "build", "bin"))

from netbuf_harness import (EVENT_COLUMNS, Netbuf, Pc, PtyPair, ReaderSim,  # noqa: E402
                            card_record, cpu_seconds, event_record, shut_down, vm_kb,
                            wait_for)

READERS = 32
N_CARD = 0x8001
S_CARD = 0x0101
KNOWN_CARDS = 100
CARD_COUNT = 200  # register 3170: room for the crash bench's uploads above the known cards
PER_REQUEST = 7


def known_code(i):
    return "%010X" % (0xA000000000 + i * 7919)


def known_card(i):
    """Most known cards pass anywhere; every tenth is outside its time zones
    (zone 1, never active), every tenth other one only passes in geo zone 0."""
    time_zone = 0b10 if i % 10 == 9 else 0b01
    geo_zone = 0b0001 if i % 10 == 8 else 0b1111
    return card_record(i, 1, known_code(i), time_zone, geo_zone)


def is_frame(line):
    return line.startswith("relay fired at address ") or line.startswith("buzzer pattern ")


class Rig:
    """netbuf headless with its reader line: socat pty pair, 32 simulated
    readers (quiet: only commands are printed), readers in slots 0..31 with
    the relay bits, geo zones 0..3 in turn, time zone 0 active all day and
    the known cards uploaded by the PC."""

    def __init__(self, delay=20):
        self.nb = Netbuf(com=3, delay=delay, n_card=N_CARD, s_card=S_CARD)
        self.line = self.sim = None
        try:
            self.line = PtyPair(self.nb.dir, "COM3", "readers")
            self.sim = ReaderSim(self.line.b, "--readers", "1-%d" % READERS, "--quiet")
        except Exception:
            self.close()
            raise

    def start(self):
        self.nb.start()
        return self.nb.proc.pid

    def configure(self):
        pc = Pc(self.nb.port_tcp, timeout=10)
        try:
            write = lambda start, values: check_write(pc, start, values)
            write(1700, [0, 1440] * 7)
            write(3170, [CARD_COUNT])
            write(800, [0, 1])
            slots = []
            for a in range(1, READERS + 1):
                slots += [a << 8 | (a - 1) % 4, 0x0C << 8, 0, 0]
            write(1400, slots[:64])
            write(1464, slots[64:])
            for first in range(0, KNOWN_CARDS, PER_REQUEST):
                records = [known_card(i) for i in range(first, min(first + PER_REQUEST,
                                                                   KNOWN_CARDS))]
                request, echo = pc.write_file_record(8, records)
                if echo != request:
                    raise RuntimeError("card upload not echoed: " + echo.hex())
        finally:
            pc.close()

    def frames(self):
        return sum(1 for l in self.sim.since(0) if is_frame(l))

    def close(self):
        shut_down(self.nb, self.sim, self.line)


def check_write(pc, start, values):
    answer = pc.write_regs(start, values)
    if len(answer) < 12:
        raise OSError("connection gone")
    if answer[7:] != struct.pack(">BHH", 16, start, len(values)):
        raise RuntimeError("write of %d not answered: %s" % (start, answer.hex()))


class Presenter(threading.Thread):
    """A card every `period` s at a random reader, always a code other than
    the one that reader shows now. Most are known cards."""

    def __init__(self, sim, rng, period=0.2, known_share=0.6):
        super().__init__(daemon=True)
        self.sim, self.rng, self.period, self.known_share = sim, rng, period, known_share
        self.stopping = threading.Event()
        self.shown = {}
        self.count = 0

    def run(self):
        next_at = time.monotonic()
        while not self.stopping.is_set():
            a = self.rng.randint(1, READERS)
            while True:
                if self.rng.random() < self.known_share:
                    code = known_code(self.rng.randrange(KNOWN_CARDS))
                else:
                    code = "%010X" % self.rng.randrange(0xB000000000, 0xFFFFFFFFFF)
                if code != self.shown.get(a):
                    break
            if self.sim.command("card %d %s" % (a, code)) != "ok":
                raise RuntimeError("simulator refused a card")
            self.shown[a] = code
            self.count += 1
            next_at += self.period
            self.stopping.wait(max(0.0, next_at - time.monotonic()))

    def stop(self):
        self.stopping.set()
        self.join(10)


class PcClient(threading.Thread):
    """Reads the pointer and the counter, fetches events while there are any,
    back to back. `extra` (optional) is called between requests with the Pc.
    Ends quietly when the connection goes."""

    def __init__(self, port, extra=None, pause=0.0):
        super().__init__(daemon=True)
        self.pc = Pc(port, timeout=10)
        self.extra, self.pause = extra, pause
        self.stopping = threading.Event()
        self.requests = 0
        self.records = {}  # Id -> the 32-byte record
        self.fetched = []  # Ids in the order they came
        self.counter = self.pointer = None
        self.error = None
        self.tid = 0

    def run(self):
        try:
            while not self.stopping.is_set():
                regs = self.pc.read_regs(800, 6, self.next_tid())
                if regs is None:
                    return
                self.requests += 1
                self.pointer = regs[0] << 16 | regs[1]
                self.counter = regs[4] << 16 | regs[5]
                if self.pointer <= self.counter:
                    self.fetch()
                if self.extra:
                    self.extra(self)
                if self.pause:
                    self.stopping.wait(self.pause)
        except OSError:
            return
        except Exception as e:  # reported by the caller
            self.error = e

    def next_tid(self):
        self.tid = (self.tid + 1) & 0xFFFF
        return self.tid

    def fetch(self):
        tid = self.next_tid()
        answer = self.pc.read_file_record(128, 0, PER_REQUEST, tid)
        if len(answer) < 9:
            raise OSError("connection gone")
        self.requests += 1
        if answer[:2] != struct.pack(">H", tid):
            raise RuntimeError("answer for another request: " + answer.hex())
        if answer[7] != 20:
            return
        n = (len(answer) - 11) // 32
        if answer[8] != (32 * n + 2) & 0xFF or len(answer) != 11 + 32 * n:
            raise RuntimeError("bad event answer: " + answer.hex())
        for k in range(n):
            rec = answer[11 + 32 * k:43 + 32 * k]
            id_ = struct.unpack(">I", rec[:4])[0]
            self.records[id_] = rec
            self.fetched.append(id_)

    def stop(self):
        self.stopping.set()
        self.join(15)
        self.pc.close()


def event_rows(nb):
    return nb.query("SELECT %s FROM event ORDER BY ID" % ",".join(EVENT_COLUMNS))


def run_options(doc, quick_help):
    """The options of a run under load: --quick for a short one and --seed for
    the random order of its cards; described by the first paragraph of doc."""
    ap = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help=quick_help)
    ap.add_argument("--seed", type=int, default=1)
    return ap


def main():
    ap = run_options(__doc__, "one minute")
    ap.add_argument("--minutes", type=float, default=10.0)
    ap.add_argument("--delay", type=int, default=20, help="DELAY1 in ms")
    ap.add_argument("--pc-pause", type=float, default=0.0,
                    help="ms between the PC's request rounds (default: back to back)")
    args = ap.parse_args()
    seconds = 60.0 if args.quick else args.minutes * 60.0

    rig = Rig(args.delay)
    presenter = client = None
    try:
        pid = rig.start()
        started = time.monotonic()
        rig.configure()
        # Zone 0 is active from the first write-back tick (3 s) on, and every
        # reader's first poll after the rebuild only sets its reference.
        time.sleep(max(0.0, started + 5.0 - time.monotonic()))
        client = PcClient(rig.nb.port_tcp, pause=args.pc_pause / 1000.0)
        presenter = Presenter(rig.sim, random.Random(args.seed))
        rss_start = vm_kb(pid, "VmRSS")
        cpu0, t0 = cpu_seconds(pid), time.monotonic()
        client.start()
        presenter.start()
        rss_samples = [rss_start]
        while time.monotonic() - t0 < seconds:
            time.sleep(min(10.0, max(0.1, seconds - (time.monotonic() - t0))))
            rss_samples.append(vm_kb(pid, "VmRSS"))
            if not rig.nb.alive() or client.error or not client.is_alive():
                raise RuntimeError("load broke off: %r %s" % (client.error, rig.nb.stderr()))
        presenter.stop()
        run_s = time.monotonic() - t0
        cpu_s = cpu_seconds(pid) - cpu0
        frames_at_end = rig.frames()

        # Drain: the last decisions reach the line, the PC fetches the last rows.
        def drained():
            f = rig.frames()
            time.sleep(1.5)
            return (f == rig.frames() and client.counter is not None
                    and client.pointer == client.counter + 1
                    and len(client.records) == client.counter)
        wait_for(drained, 60, 0.5)
        drain_s = time.monotonic() - t0 - run_s
        client.stop()
        rss_end = vm_kb(pid, "VmRSS")
        hwm = vm_kb(pid, "VmHWM")
        rig.nb.stop()  # clean stop: everything stored
        rows = event_rows(rig.nb)
        frames = [l for l in rig.sim.since(0) if is_frame(l)]
        messages = [l for l in rig.nb.stderr().split("\n") if l.startswith("blad ")]
    finally:
        if presenter:
            presenter.stop()
        if client and client.is_alive():
            client.stop()
        rig.close()

    ids = [r[0] for r in rows]
    relays = sum(1 for l in frames if l.startswith("relay"))
    stored = len(rows)
    fetched = len(client.records)
    exact = all(client.records.get(r[0]) == event_record(r) for r in rows)
    agree = stored == fetched == len(frames) and exact and len(set(ids)) == stored
    by_status = {s: sum(1 for r in rows if r[11] == s) for s in (4, 0, 6, 7)}
    table = [
        ("run (presenting)", "%.0f s" % run_s),
        ("drain", "%.1f s" % drain_s),
        ("DELAY1 / readers", "%d ms / %d" % (args.delay, READERS)),
        ("cards presented", "%d" % presenter.count),
        ("events stored (table event)", "%d" % stored),
        ("  granted / unknown / time / geo", "%d / %d / %d / %d" % tuple(by_status.values())),
        ("events fetched by the PC", "%d" % fetched),
        ("  fetched twice", "%d" % (len(client.fetched) - len(set(client.fetched)))),
        ("relay + buzzer frames", "%d + %d" % (relays, len(frames) - relays)),
        ("frames at end of presenting", "%d" % frames_at_end),
        ("swallowed by the card rule", "%d" % (presenter.count - stored)),
        ("records byte-exact to rows", "yes" if exact else "NO"),
        ("three counts agree", "yes" if agree else "NO"),
        ("events/s", "%.2f" % (stored / run_s)),
        ("frames/s", "%.2f" % (len(frames) / run_s)),
        ("PC requests/s", "%.0f" % (client.requests / (run_s + drain_s))),
        ("netbuf CPU (one core)", "%.1f %%" % (100.0 * cpu_s / run_s)),
        ("netbuf RSS start / end", "%d / %d KiB" % (rss_start, rss_end)),
        ("netbuf RSS min / max in run", "%d / %d KiB" % (min(rss_samples), max(rss_samples))),
        ("netbuf peak RSS", "%d KiB" % hwm),
        ("operator messages", "%d" % len(messages)),
    ]
    width = max(len(k) for k, _ in table)
    print("netbuf under load: readers, cards, PC readout")
    print("-" * (width + 22))
    for key, value in table:
        print("%-*s  %18s" % (width, key, value))
    return 0 if agree and not messages else 1


if __name__ == "__main__":
    sys.exit(main())
