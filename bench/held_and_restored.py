#!/usr/bin/python3
"""What operators' and neighbours' mistakes do to net.db, for two builds:

    /usr/bin/python3 bench/held_and_restored.py [--before DIR] [--after DIR] [--events 200]

DIR is a build's bin directory (default: --after build/bin, no --before).
For each build: whether a second netbuf on the same net.db is refused; the
size of net.db-wal while a reader holds a read transaction over `--events`
card events, and 5 s after it lets go; and a backup put back while netbuf
runs, by `netbuf-db restore` and by `cp` over the file, followed by more
events: PRAGMA integrity_check after a clean stop (its line count and first
line) and the Ids the PC reads on from. Prints one table."""

import argparse
import os
import shutil
import sqlite3
import subprocess
import sys
import time

import build_dirs

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import netbuf_harness  # noqa: E402
from netbuf_harness import Installation, Netbuf, ReaderSim, wait_for  # noqa: E402


class Site:
    def __init__(self):
        self.site = Installation(
            Netbuf(com=3, delay=20, service=0),
            readers=lambda dev: ReaderSim(dev, "--readers", "1"),
            prepare=lambda n: n.execute("UPDATE register SET val=256 WHERE adres=1400"),
            polled=lambda sim: sim.wait_line("poll address 1", 10), pc_timeout=5)
        self.nb, self.sim, self.n = self.site.nb, self.site.readers, 0

    def cards(self, k):
        target = self.n + k
        while self.n < target:
            self.n += 1
            self.sim.command("card 1 DEAD%06X" % self.n)
            time.sleep(0.06)  # the reader's answer is read at its next poll
        wait_for(lambda: self.nb.peek("SELECT max(ID) FROM event")[0][0] == self.n, 20)

    def wal_kib(self):
        try:
            return "%d KiB" % (os.path.getsize(self.nb.db + "-wal") // 1024)
        except FileNotFoundError:
            return "none"

    def stop(self):
        self.site.stop()


def second_netbuf():
    s = Site()
    try:
        p = subprocess.Popen([s.nb.exe], env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            err = p.communicate(timeout=3)[1].strip().split("\n")[-1]
            return "exit %d: %s" % (p.returncode, err.replace(s.nb.dir, "DIR"))
        except subprocess.TimeoutExpired:
            p.kill()
            p.communicate()
            return "still running after 3 s"
    finally:
        s.stop()


def wal(events):
    s = Site()
    try:
        s.cards(1)
        reader = sqlite3.connect(s.nb.db, isolation_level=None)
        reader.execute("BEGIN")
        reader.execute("SELECT count(*) FROM event").fetchall()
        s.cards(events)
        held = s.wal_kib()
        reader.execute("ROLLBACK")
        reader.close()
        time.sleep(5)
        return held, s.wal_kib()
    finally:
        s.stop()


def restore(how, events, bin_dir):
    s = Site()
    try:
        s.cards(events)
        backup = os.path.join(s.nb.dir, "backup.db")
        src, dst = sqlite3.connect(s.nb.db), sqlite3.connect(backup)
        src.backup(dst)
        dst.execute("PRAGMA journal_mode=DELETE")
        src.close()
        dst.close()
        s.cards(events // 2)
        if how == "cp":
            shutil.copyfile(backup, s.nb.db)
            said = "cp"
        else:
            r = subprocess.run([os.path.join(bin_dir, "netbuf-db"), "restore", backup, s.nb.db],
                               capture_output=True, text=True)
            said = "exit %d" % r.returncode
        time.sleep(4)
        s.cards(5)
        s.site.pc.write_regs(800, [0, s.n - 4])
        answer = s.site.pc.read_file_record(128, 0, 7)
        # MBAP (7), function, length, record length, reference type; then
        # 32-byte records, the Id in the first four bytes of each.
        ids = [int.from_bytes(answer[11 + 32 * i:15 + 32 * i], "big")
               for i in range((len(answer) - 11) // 32)]
        s.nb.stop()
        con = sqlite3.connect(s.nb.db)
        check = [r[0] for r in con.execute("PRAGMA integrity_check").fetchall()]
        con.close()
        return said, "%d line(s): %s" % (len(check), check[0][:40]), ids
    finally:
        s.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--events", type=int, default=200)
    a, builds = build_dirs.parse(ap)
    rows = []
    for name, bin_dir in builds:
        bin_dir = os.path.abspath(bin_dir)
        netbuf_harness.BIN = bin_dir
        rows.append((name, "second netbuf on the same net.db", second_netbuf()))
        held, after = wal(a.events)
        rows.append((name, "net.db-wal, reader held over %d events" % a.events, held))
        rows.append((name, "net.db-wal, 5 s after the reader let go", after))
        for how in ("netbuf-db restore", "cp"):
            said, check, ids = restore(how, a.events, bin_dir)
            rows.append((name, "%s while running: command" % how, said))
            rows.append((name, "%s: integrity_check after stop" % how, check))
            rows.append((name, "%s: Ids the PC reads, from the 5th last" % how, str(ids)))
    w = max(len(r[1]) for r in rows)
    print("%-7s %-*s  %s" % ("build", w, "what", "figure"))
    for r in rows:
        print("%-7s %-*s  %s" % (r[0], w, r[1], r[2]))


if __name__ == "__main__":
    main()
