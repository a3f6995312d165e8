#!/usr/bin/python3
"""netbuf killed with SIGKILL at a random moment under load, again and again.
The load of bench/load.py (32 simulated readers, a card every 200 ms, a PC
fetching events back to back) plus a PC that writes four registers after each
start and uploads a card every 1.5 s. After each kill net.db is read as it was
left and the next start is checked against it:

  - table event never holds an Id twice, Ids run 1..max without a gap, the
    counter (804/805) equals the highest Id, and rows stored earlier are
    unchanged;
  - no register or card change the write-back had stored is lost or
    overwritten by an older one; what was acked well before the kill (two
    write-back ticks) is stored;
  - the restarted netbuf holds exactly what the file held (registers read
    back by the PC), and the PC's readout resumes at the pointer the file
    held: the first record it gets carries that Id, byte for byte its row.

Prints a table; exit status 1 on any violation.

    /usr/bin/python3 bench/crash_cycles.py [--cycles N] [--quick] [--seed S]

NETBUF_BIN points at the binaries (default build/bin)."""

import hashlib
import os
import random
import sqlite3
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # no __pycache__ left in bench/

from load import (EVENT_COLUMNS, PER_REQUEST, PcClient, Presenter, Rig,  # noqa: E402
                  card_record, check_write, event_record, run_options)

REGS = list(range(3000, 3020))  # registers the PC keeps changing
CARDS = list(range(100, 150))  # card indices it keeps uploading (below the card count)
STORED_WITHIN = 4.5  # s: acked this long before a kill, a change must be in the file


def card_code(seq):
    return "%010X" % (0xD000000000 + seq)


class Changes:
    """The PC's changes, each with the next sequence number, so a newer value
    is always a larger one: four registers right after each start, and a card
    upload every 1.5 s from the PC thread, between its requests: fewer than
    the three a write-back tick stores, so no card waits for a later tick.
    Keeps what netbuf acknowledged, and when."""

    def __init__(self):
        self.seq = 0
        self.next_card = 0.0
        self.regs = []  # (acked at, register, value)
        self.cards = []  # (acked at, index, code)

    def registers(self, pc):
        # Every register write rebuilds the reader list, and after a rebuild
        # a reader's next changed code only arms it; right after a start no
        # reader is armed yet, so nothing is swallowed then.
        self.seq += 1
        first = REGS[self.seq * 4 % len(REGS)]
        check_write(pc, first, [self.seq] * 4)
        t = time.monotonic()
        self.regs += [(t, first + i, self.seq) for i in range(4)]

    def __call__(self, client):
        now = time.monotonic()
        if now >= self.next_card:
            self.seq += 1
            index = CARDS[self.seq % len(CARDS)]
            code = card_code(self.seq)
            request, echo = client.pc.write_file_record(8, [card_record(index, 1, code, 1, 15)])
            if echo != request:
                if len(echo) < len(request):
                    raise OSError("connection gone")
                raise RuntimeError("upload not echoed: " + echo.hex())
            self.cards.append((time.monotonic(), index, code))
            self.next_card = now + 1.5


def snapshot(db):
    """net.db as a restart would find it (a hot journal is rolled back, a
    write-ahead log is read)."""
    hot = any(os.path.exists(db + end) and os.path.getsize(db + end) > 0
              for end in ("-journal", "-wal"))
    con = sqlite3.connect(db, timeout=10)
    try:
        rows = con.execute("SELECT %s FROM event ORDER BY ID, rowid"
                           % ",".join(EVENT_COLUMNS)).fetchall()
        regs = dict(con.execute("SELECT adres, val FROM register WHERE adres BETWEEN 800 AND 805"
                                " OR adres BETWEEN ? AND ?", (REGS[0], REGS[-1])).fetchall())
        cards = dict(con.execute("SELECT numer - 1, kod FROM karty WHERE numer BETWEEN ? AND ?",
                                 (CARDS[0] + 1, CARDS[-1] + 1)).fetchall())
    finally:
        con.close()
    return {"hot": hot, "rows": rows, "regs": regs, "cards": cards}


def digest(rows):
    return hashlib.sha256(repr(rows).encode()).hexdigest()


def code_seq(kod):
    """The sequence number behind an uploaded code; 0 for anything else."""
    try:
        v = int(kod, 16)
    except (TypeError, ValueError):
        return 0
    return v - 0xD000000000 if v >= 0xD000000000 else 0


class Checker:
    def __init__(self):
        self.violations = []
        self.prev = None
        self.figures = {"hot": 0, "resumed": 0, "resume_checks": 0, "acked_lost": 0,
                        "acked_total": 0, "late_stored_missing": 0, "pointer_ahead": 0,
                        "missing_below_counter": 0}
        self.sent_upto = None  # one past the highest Id the PC was ever sent

    def fail(self, cycle, text):
        self.violations.append("cycle %d: %s" % (cycle, text))

    def after_kill(self, cycle, snap, changes, killed_at):
        rows, regs, cards = snap["rows"], snap["regs"], snap["cards"]
        self.figures["hot"] += snap["hot"]
        ids = [r[0] for r in rows]
        if len(set(ids)) != len(ids):
            self.fail(cycle, "duplicate Id in table event")
        if ids and ids != list(range(1, len(ids) + 1)):
            self.fail(cycle, "Ids are not 1..%d without a gap" % len(ids))
        counter = regs[804] << 16 | regs[805]
        missing = len(set(range(1, counter + 1)) - set(ids))
        if missing:
            self.figures["missing_below_counter"] += missing
            self.fail(cycle, "%d Ids below the counter %d have no row" % (missing, counter))
        pointer = regs[800] << 16 | regs[801]
        if self.sent_upto is not None and pointer > self.sent_upto:
            self.figures["pointer_ahead"] += 1
            self.fail(cycle, "stored pointer %d, the PC was sent up to %d"
                      % (pointer, self.sent_upto - 1))
        if counter != (ids[-1] if ids else 0):
            self.fail(cycle, "counter %d, highest Id %d" % (counter, ids[-1] if ids else 0))
        if self.prev:
            old = self.prev["rows"]
            if digest(rows[:len(old)]) != digest(old):
                self.fail(cycle, "rows stored before the kill changed or went")
            for r in REGS:
                if regs[r] < self.prev["regs"][r]:
                    self.fail(cycle, "register %d went back from %d to %d"
                              % (r, self.prev["regs"][r], regs[r]))
            for k in CARDS:
                if code_seq(cards[k]) < code_seq(self.prev["cards"][k]):
                    self.fail(cycle, "card %d went back to %s" % (k, cards[k]))
        # What netbuf acknowledged well before the kill is in the file.
        for t, reg, val in changes.regs:
            if killed_at - t >= STORED_WITHIN and regs[reg] < val:
                self.figures["late_stored_missing"] += 1
                self.fail(cycle, "register %d=%d acked %.1f s before the kill, not stored"
                          % (reg, val, killed_at - t))
        for t, k, code in changes.cards:
            if killed_at - t >= STORED_WITHIN and code_seq(cards[k]) < code_seq(code):
                self.figures["late_stored_missing"] += 1
                self.fail(cycle, "card %d=%s acked %.1f s before the kill, not stored"
                          % (k, code, killed_at - t))
        # Acked in the last write-back window and gone with the process.
        acked = [(reg, val) for _, reg, val in changes.regs]
        acked_cards = [(k, code_seq(c)) for _, k, c in changes.cards]
        self.figures["acked_total"] += len(acked) + len(acked_cards)
        self.figures["acked_lost"] += sum(1 for reg, val in acked if regs[reg] < val)
        self.figures["acked_lost"] += sum(1 for k, s in acked_cards if code_seq(cards[k]) < s)
        self.prev = snap

    def after_restart(self, cycle, pc, snap):
        """The restarted netbuf against the file it loaded."""
        regs = snap["regs"]
        got = pc.read_regs(800, 6)
        want = [regs[a] for a in range(800, 806)]
        if got != want:
            self.fail(cycle, "registers 800..805 after restart %r, file %r" % (got, want))
        got = pc.read_regs(REGS[0], len(REGS))
        want = [regs[a] for a in REGS]
        if got != want:
            self.fail(cycle, "registers %d.. after restart differ from the file" % REGS[0])
        pointer = regs[800] << 16 | regs[801]
        counter = regs[804] << 16 | regs[805]
        if pointer > counter:
            return
        self.figures["resume_checks"] += 1
        answer = pc.read_file_record(128, 0, PER_REQUEST, tid=0x7001)
        if len(answer) < 43 or answer[7] != 20:
            self.fail(cycle, "no records at pointer %d: %s" % (pointer, answer.hex()))
            return
        first = struct.unpack(">I", answer[11:15])[0]
        row = next((r for r in snap["rows"] if r[0] == pointer), None)
        if first != pointer or row is None or answer[11:43] != event_record(row):
            self.fail(cycle, "readout resumed at Id %d, pointer %d" % (first, pointer))
        else:
            self.figures["resumed"] += 1


def main():
    ap = run_options(__doc__, "10 cycles")
    ap.add_argument("--cycles", type=int, default=100)
    ap.add_argument("--min-run", type=float, default=1.0, help="s of load before a kill, least")
    ap.add_argument("--max-run", type=float, default=8.0, help="s of load before a kill, most")
    args = ap.parse_args()
    cycles = 10 if args.quick else args.cycles
    rng = random.Random(args.seed)

    rig = Rig()
    presenter = None
    checker = Checker()
    changes = Changes()
    fetched = []  # every Id the PC got, over all cycles
    repeats = []  # per restart: Ids the PC got again
    starts, runs = [], []
    t_begin = time.monotonic()
    try:
        rig.start()
        rig.configure()
        rig.nb.stop()  # a clean stop: the configuration is in the file
        checker.prev = snapshot(rig.nb.db)
        checker.sent_upto = checker.prev["regs"][800] << 16 | checker.prev["regs"][801]
        presenter = Presenter(rig.sim, rng)
        presenter.start()
        for cycle in range(1, cycles + 1):
            t = time.monotonic()
            rig.start()
            starts.append(time.monotonic() - t)
            client = PcClient(rig.nb.port_tcp, extra=changes)
            checker.after_restart(cycle, client.pc, checker.prev)
            changes.registers(client.pc)
            client.start()
            run = rng.uniform(args.min_run, args.max_run)
            time.sleep(run)
            rig.nb.kill()
            killed_at = time.monotonic()
            runs.append(run)
            client.stop()
            if client.error:
                checker.fail(cycle, "PC: %r" % client.error)
            seen = set(fetched)
            repeats.append(sum(1 for i in client.fetched if i in seen))
            fetched += client.fetched
            if client.fetched:
                checker.sent_upto = max(checker.sent_upto, max(client.fetched) + 1)
            checker.after_kill(cycle, snapshot(rig.nb.db), changes, killed_at)
            changes.regs.clear()
            changes.cards.clear()
            if checker.violations and len(checker.violations) > 20:
                break
        messages = [l for l in rig.nb.stderr().split("\n") if l.startswith("blad ")]
    finally:
        if presenter:
            presenter.stop()
        rig.close()

    f = checker.figures
    ids = [r[0] for r in checker.prev["rows"]]
    table = [
        ("cycles (SIGKILL + restart)", "%d" % len(runs)),
        ("load before each kill", "%.1f..%.1f s, mean %.1f" % (min(runs), max(runs),
                                                               sum(runs) / len(runs))),
        ("start-up to listening, mean", "%.2f s" % (sum(starts) / len(starts))),
        ("total time", "%.0f s" % (time.monotonic() - t_begin)),
        ("cards presented", "%d" % presenter.count),
        ("events stored", "%d" % len(ids)),
        ("duplicate Ids", "%d" % (len(ids) - len(set(ids)))),
        ("rows missing below the stored counter", "%d" % f["missing_below_counter"]),
        ("stored pointers beyond what the PC was sent", "%d" % f["pointer_ahead"]),
        ("kills that left a hot journal or a WAL", "%d" % f["hot"]),
        ("changes acked by netbuf", "%d" % f["acked_total"]),
        ("  not yet written back at the kill", "%d" % f["acked_lost"]),
        ("  acked >%.1f s before, not stored" % STORED_WITHIN, "%d" % f["late_stored_missing"]),
        ("readout resumed at the file's pointer", "%d / %d" % (f["resumed"], f["resume_checks"])),
        ("events fetched again after a kill", "%d" % (len(fetched) - len(set(fetched)))),
        ("  largest repeat after one restart", "%d" % max(repeats or [0])),
        ("operator messages", "%d" % len(messages)),
        ("violations", "%d" % len(checker.violations)),
    ]
    width = max(len(k) for k, _ in table)
    print("netbuf killed under load, restarted, checked against net.db")
    print("-" * (width + 26))
    for key, value in table:
        print("%-*s  %22s" % (width, key, value))
    for v in checker.violations[:20]:
        print("VIOLATION " + v)
    return 0 if not checker.violations else 1


if __name__ == "__main__":
    sys.exit(main())
