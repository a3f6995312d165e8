"""The doors never wait for anything outside netbuf: with net.db held by
another process, a notify socket nobody reads, or a stdout pipe nobody
drains, polls and a decided card's buzzer frame still go out, and everything
is stored once the holder lets go. No timing is measured: the frames either
go out while the holder holds, or the loop is stuck."""

import fcntl
import os
import socket
import sqlite3
import tempfile
import time
import unittest

from netbuf_harness import Installation, Netbuf, Pc, ReaderSim, wait_for

N_CARD = 0x8001
HOLD_S = 5


class NothingBlocksTheLoop(unittest.TestCase):
    def start(self, env=None, stdout=None, monitor=""):
        def prepare(nb):
            nb.execute("UPDATE register SET val=? WHERE adres=1400", (1 << 8,))
            nb.execute("UPDATE register SET val=? WHERE adres=1401", (0x0C << 8,))
        site = Installation(Netbuf(com=3, delay=30, n_card=N_CARD, service=0, monitor=monitor),
                            readers=lambda dev: ReaderSim(dev, "--readers", "1"), prepare=prepare,
                            polled=lambda sim: sim.wait_line("poll address 1", 10),
                            env_extra=env, stdout=stdout)
        self.addCleanup(site.stop)
        return site.nb, site.readers

    def doors_go_on(self, nb, sim, tag):
        """While the holder holds: polls go on and an unknown card buzzes."""
        mark = sim.mark()
        self.assertEqual(sim.command("card 1 DEAD%06X" % tag), "ok")
        self.assertTrue(sim.wait_line("buzzer pattern 0x%04x at address 1" % N_CARD, HOLD_S, mark),
                        sim.since(mark)[-5:])
        polls = sim.mark()
        self.assertTrue(wait_for(lambda: sim.since(polls).count("poll address 1") >= 5, HOLD_S),
                        sim.since(polls)[-5:])
        self.assertTrue(nb.alive())

    def stored(self, nb, tag):
        kod5 = tag & 0xFF
        return wait_for(lambda: nb.peek("SELECT count(*) FROM event WHERE kod5=? AND status=0",
                                        (kod5,)) == [(1,)], 15)

    def test_net_db_held_by_another_connection(self):
        for tag, how in ((1, "BEGIN EXCLUSIVE"), (2, "BEGIN")):
            with self.subTest(how):
                nb, sim = self.start()
                holder = sqlite3.connect(nb.db, isolation_level=None, timeout=5)
                holder.execute(how)
                # A plain read transaction holds its snapshot (and, in
                # rollback mode, its lock) until it ends.
                holder.execute("SELECT count(*) FROM event").fetchall()
                held_at = time.monotonic()
                self.doors_go_on(nb, sim, tag)
                time.sleep(max(0, held_at + HOLD_S - time.monotonic()))
                holder.execute("ROLLBACK")
                holder.close()
                self.assertTrue(self.stored(nb, tag), nb.stderr())
                self.assertEqual(nb.stop(), 0, nb.stderr())

    def test_notify_socket_nobody_reads(self):
        with tempfile.TemporaryDirectory(prefix="netbuf-notify-") as d:
            path = os.path.join(d, "notify")
            stuck = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            stuck.bind(path)
            self.addCleanup(stuck.close)
            # A ping every 10 ms fills the socket's queue at once.
            nb, sim = self.start(env={"NOTIFY_SOCKET": path, "WATCHDOG_USEC": "20000"})
            time.sleep(1)
            self.doors_go_on(nb, sim, 3)
            self.assertTrue(self.stored(nb, 3), nb.stderr())
            # Read again: the newest state arrives.
            stuck.settimeout(5)
            got = [stuck.recv(4096) for _ in range(20)]
            self.assertTrue(any(m.startswith(b"READY=1") for m in got), got)

    def test_stdout_pipe_nobody_drains(self):
        r, w = os.pipe()
        self.addCleanup(os.close, r)
        fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ: full after a few lines
        nb, sim = self.start(stdout=w, monitor="rs,tcp")
        os.close(w)
        # The PC is answered all along, and its long monitor lines fill what
        # netbuf keeps for a stuck output.
        pc = Pc(nb.port_tcp)
        self.addCleanup(pc.close)
        for _ in range(600):
            self.assertIsNotNone(pc.read_regs(0, 125))
        self.doors_go_on(nb, sim, 4)
        self.assertTrue(self.stored(nb, 4), nb.stderr())
        # Output moves again: one line says how much was dropped.
        os.set_blocking(r, False)
        deadline = time.monotonic() + 10
        dropped = False
        while not dropped and time.monotonic() < deadline:
            try:
                while os.read(r, 65536):
                    pass
            except BlockingIOError:
                pass
            dropped = any(l.startswith("netbuf: ") and l.endswith(
                " lines of output dropped while nobody read them") for l in nb.stderr_lines())
            time.sleep(0.05)
        self.assertTrue(dropped, nb.stderr()[-500:])


if __name__ == "__main__":
    unittest.main()
