"""net.db as operators and neighbours meet it while netbuf runs: a second
netbuf and netbuf-db's writing commands are refused, a backup restored by
`netbuf-db restore` or copied over the file with `cp` leaves a sound file
that the PC reads on from, and the write-ahead log held by a long reader
goes back to nothing once the reader lets go."""

import os
import shutil
import socket
import sqlite3
import struct
import subprocess
import unittest

from netbuf_harness import (EVENT_COLUMNS, Installation, Netbuf, ReaderSim, event_record,
                            wait_for)


class NetDbHeld(unittest.TestCase):
    def setUp(self):
        env = {}
        nb = Netbuf(com=3, delay=30, service=0)
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(self.notify.close)
        self.notify.bind(os.path.join(nb.dir, "notify"))
        self.notify.setblocking(False)
        env["NOTIFY_SOCKET"] = os.path.join(nb.dir, "notify")
        site = Installation(
            nb, readers=lambda dev: ReaderSim(dev, "--readers", "1"),
            prepare=lambda n: n.execute("UPDATE register SET val=256 WHERE adres=1400"),
            polled=lambda sim: sim.wait_line("poll address 1", 10), pc_timeout=5,
            env_extra=env)
        self.addCleanup(site.stop)
        self.nb, self.sim, self.pc = site.nb, site.readers, site.pc
        self.cards = 0

    def card(self):
        """One unknown card at reader 1; its event row stored."""
        self.cards += 1
        before = self.nb.peek("SELECT count(*) FROM event")[0][0]
        self.assertEqual(self.sim.command("card 1 DEAD%06X" % self.cards), "ok")
        self.assertTrue(wait_for(lambda: self.nb.peek("SELECT count(*) FROM event")[0][0]
                                 > before, 15), self.nb.stderr())

    def wal_size(self):
        try:
            return os.path.getsize(self.nb.db + "-wal")
        except FileNotFoundError:
            return 0

    def status_says(self, text, present=True):
        """The status netbuf sends systemd comes to say `text` (or not)."""
        def latest():
            got = None
            while True:
                try:
                    m = self.notify.recv(4096).decode()
                except BlockingIOError:
                    return got
                if "STATUS=" in m:
                    got = m
        seen = []
        def check():
            m = latest()
            if m:
                seen.append(m)
            return seen and (text in seen[-1]) == present
        return wait_for(check, 15, 0.2)

    def test_a_second_netbuf_and_writing_commands_are_refused(self):
        held = " is in use by netbuf process %d; one netbuf per net.db, not starting" \
            % self.nb.proc.pid
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        env.pop("DISPLAY", None)
        # A second installation whose net.db is a link to the first one's, as
        # the package links /usr/lib/netbuf/net.db into /var/lib/netbuf.
        other = os.path.join(self.nb.dir, "other")
        os.mkdir(other)
        shutil.copy2(self.nb.exe, other)
        os.symlink(self.nb.db, os.path.join(other, "net.db"))
        cases = [
            # command, exit status, the one stderr line (None: not checked)
            ([self.nb.exe], 1, self.nb.db + held),
            ([os.path.join(other, "netbuf")], 1, os.path.join(other, "net.db") + held),
            (["set", self.nb.db, "DELAY1", "40"], 1,
             "netbuf-db: %s is in use by netbuf process %d; stop it first (systemctl stop netbuf)"
             % (self.nb.db, self.nb.proc.pid)),
            (["create", self.nb.db, "--force"], 1, None),
            (["show", self.nb.db], 0, None),
        ]
        for argv, status, line in cases:
            with self.subTest(argv[0]):
                if argv[0].startswith("/"):
                    r = subprocess.run(argv, capture_output=True, text=True, timeout=20, env=env,
                                       stdin=subprocess.DEVNULL)
                else:
                    r = Netbuf.netbuf_db(*argv, check=False)
                self.assertEqual(r.returncode, status, r.stderr)
                if line is not None:
                    self.assertEqual([l for l in r.stderr.split("\n")
                                      if l and "XDG_RUNTIME_DIR" not in l], [line])
        self.assertTrue(self.nb.alive())
        self.assertEqual(self.nb.stop(), 0, self.nb.stderr())
        self.assertEqual(Netbuf.netbuf_db("set", self.nb.db, "DELAY1", "40").returncode, 0)

    def test_restore_by_netbuf_db_and_by_cp_while_running(self):
        for _ in range(3):
            self.card()
        backup = os.path.join(self.nb.dir, "backup.db")
        src = sqlite3.connect(self.nb.db)
        dst = sqlite3.connect(backup)
        src.backup(dst)
        dst.execute("PRAGMA journal_mode=DELETE")
        dst.close()
        src.close()
        # After the backup: two events and a register the PC writes.
        self.card()
        self.card()
        self.pc.write_regs(3000, [7])
        self.assertTrue(wait_for(lambda: self.nb.peek(
            "SELECT val FROM register WHERE adres=3000") == [(7,)], 15))
        for how in ("netbuf-db restore", "cp"):
            with self.subTest(how):
                if how == "cp":
                    # In place, the same inode, as `cp backup.db net.db` does,
                    # while a report holds commits in the log that the copy
                    # lacks.
                    reader = sqlite3.connect(self.nb.db, isolation_level=None)
                    reader.execute("BEGIN")
                    reader.execute("SELECT count(*) FROM event").fetchall()
                    self.pc.write_regs(3001, [8])
                    self.assertTrue(self.status_says("wal held by a reader"))
                    shutil.copyfile(backup, self.nb.db)
                    reader.execute("ROLLBACK")
                    reader.close()
                else:
                    r = Netbuf.netbuf_db("restore", backup, self.nb.db)
                    self.assertEqual(r.stdout.split("\n")[0],
                                     "restored %s from %s: 3 events, counter 3, integrity_check ok"
                                     % (self.nb.db, backup))
                    self.assertIn("netbuf process %d runs on it" % self.nb.proc.pid, r.stdout)
                # netbuf's own state goes back over the restored file.
                self.assertTrue(wait_for(lambda: self.nb.peek(
                    "SELECT val FROM register WHERE adres=3000") == [(7,)], 15), self.nb.stderr())
                self.card()
                last = self.cards
                # Ids go on from netbuf's counter: none is handed out twice.
                self.assertEqual(self.nb.peek("SELECT ID FROM event ORDER BY ID"),
                                 [(1,), (2,), (3,), (last,)])
                self.assertEqual(self.nb.peek("PRAGMA integrity_check"), [("ok",)])
                self.assertTrue(wait_for(lambda: self.nb.peek(
                    "SELECT val FROM register WHERE adres IN (804, 805) ORDER BY adres")
                    == [(0,), (last,)], 15))
                # The PC reads on from there, byte for byte what the file holds.
                self.pc.write_regs(800, [0, last])
                row = self.nb.peek("SELECT %s FROM event WHERE ID=?" % ",".join(EVENT_COLUMNS),
                                   (last,))[0]
                self.assertEqual(self.pc.read_file_record(128, 0, 7, tid=last),
                                 struct.pack(">HHHBBBBB", last, 0, 37, 255, 20, 34, 33, 6)
                                 + event_record(row))
        self.assertEqual(self.nb.stop(), 0, self.nb.stderr())
        con = sqlite3.connect(self.nb.db)
        self.assertEqual(con.execute("PRAGMA integrity_check").fetchall(), [("ok",)])
        con.close()

    def test_wal_back_to_nothing_after_a_long_reader(self):
        self.card()
        reader = sqlite3.connect(self.nb.db, isolation_level=None)
        reader.execute("BEGIN")
        reader.execute("SELECT count(*) FROM event").fetchall()
        # Past the 256 KiB a log may keep.
        while self.wal_size() <= 256 * 1024:
            self.card()
        self.assertTrue(self.status_says("db ok \u00b7 wal held by a reader"))
        reader.execute("ROLLBACK")
        reader.close()
        self.assertTrue(wait_for(lambda: self.wal_size() == 0, 15))
        self.assertTrue(self.status_says("wal held", present=False))


if __name__ == "__main__":
    unittest.main()
