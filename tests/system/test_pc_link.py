"""The PC side of netbuf: Modbus TCP function 3 and 16 against the real
binary, with mbpoll and raw sockets, and the registers' way into net.db."""

import os
import pathlib
import socket
import sqlite3
import subprocess
import unittest

from netbuf_harness import Netbuf, Pc, wait_for


def mbpoll(*args):
    return subprocess.run(["mbpoll", "-m", "tcp", "-a", "255", "-0", "-1", "-o", "2", *args],
                          capture_output=True, text=True, timeout=20)


class PcLinkTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.nb = Netbuf().start()

    @classmethod
    def tearDownClass(cls):
        cls.nb.cleanup()

    def test_mbpoll_writes_reach_the_database_and_survive_a_restart(self):
        port = str(self.nb.port_tcp)
        w = mbpoll("-p", port, "-r", "3000", "-t", "4", "127.0.0.1", "4660", "22136")
        self.assertEqual(w.returncode, 0, w.stdout + w.stderr)
        r = mbpoll("-p", port, "-r", "3000", "-c", "2", "-t", "4:hex", "127.0.0.1")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("[3000]: \t0x1234", r.stdout)
        self.assertIn("[3001]: \t0x5678", r.stdout)
        # Within one write-back tick (3 s) the rows hold the values.
        self.assertTrue(wait_for(lambda: self.nb.register_in_db(3001) == 0x5678, 8))
        self.assertEqual(self.nb.register_in_db(3000), 0x1234)

    def test_raw_frames_are_answered_byte_exact(self):
        pc = Pc(self.nb.port_tcp)
        try:
            pc.write_regs(3100, [42, 0x0102])
            # Two reads in one segment: both answers in one send.
            pc.send(bytes.fromhex("000100000006FF030C1C0001" "000200000006FF030C1D0001"))
            self.assertEqual(pc.recv_exact(22).hex(),
                             "000100000005ff0302002a" "000200000005ff03020102")
            # The write answer echoes start and quantity.
            pc.send(bytes.fromhex("000700000009FF100C1E0001020055"))
            self.assertEqual(pc.recv_exact(12).hex(), "000700000006ff100c1e0001")
            # Function 4 is not served: no answer at all; the link goes on.
            pc.send(bytes.fromhex("000100000006FF0400000001"))
            self.assertEqual(pc.recv_quiet(0.5), b"")
            self.assertEqual(pc.read_regs(3102, 1), [0x55])
        finally:
            pc.close()

    def test_bad_input_leaves_it_answering(self):
        pc = Pc(self.nb.port_tcp)
        try:
            for bad in ("000100000006FF030000FFFF",  # quantity 0xFFFF
                        "000100000006FF032327000A",  # start 8999, quantity 10
                        "000100000006FF0300",        # truncated
                        "000100000009FF1000007FFFFE0102"):  # data past the read
                pc.send(bytes.fromhex(bad))
                self.assertEqual(pc.recv_quiet(0.3), b"", bad)
            pc.send(bytes(20000))
            pc.recv_quiet(0.5)
            self.assertEqual(pc.read_regs(8999, 1), [0])
        finally:
            pc.close()
        self.assertTrue(self.nb.alive())

    def test_second_pc_is_closed_and_first_keeps_working(self):
        first = Pc(self.nb.port_tcp)
        try:
            self.assertIsNotNone(first.read_regs(0, 1))
            second = socket.create_connection(("127.0.0.1", self.nb.port_tcp), timeout=3)
            second.settimeout(3)
            self.assertEqual(second.recv(10), b"")  # closed by netbuf
            second.close()
            self.assertIsNotNone(first.read_regs(0, 1))
        finally:
            first.close()


class RestartTest(unittest.TestCase):
    def test_clean_stop_stores_changes_and_restart_reloads_them(self):
        nb = Netbuf()
        try:
            nb.start()
            pc = Pc(nb.port_tcp)
            pc.write_regs(4000, [7, 8, 9])
            pc.close()
            nb.stop()  # SIGTERM right away: before any write-back tick
            self.assertEqual(nb.register_in_db(4002), 9)
            nb.start()
            pc = Pc(nb.port_tcp)
            self.assertEqual(pc.read_regs(4000, 3), [7, 8, 9])
            pc.close()
        finally:
            nb.cleanup()

    def test_unusable_database_ends_headless_start_with_one_line(self):
        def foreign(path):
            con = sqlite3.connect(path)
            con.execute("CREATE TABLE invoices(n INTEGER)")
            con.commit()
            con.close()

        cases = [
            # name, makes the file (None: no file), what the line says
            ("missing", None, "\"%s\" : unable to open database file (No such file or directory)"),
            ("empty", lambda p: pathlib.Path(p).write_bytes(b""), "no such table: register"),
            ("foreign", foreign, "no such table: register"),
            ("not sqlite", lambda p: pathlib.Path(p).write_bytes(b"x" * 4096),
             "file is not a database"),
        ]
        for name, make, says in cases:
            with self.subTest(name):
                nb = Netbuf(port_tcp=0, create_db=False)
                try:
                    if make:
                        make(nb.db)
                    before = pathlib.Path(nb.db).read_bytes() if make else None
                    nb.start(wait_port=False)
                    nb.proc.wait(15)
                    self.assertEqual(nb.proc.returncode, 1, nb.stderr())
                    lines = nb.stderr_lines()
                    self.assertEqual(len(lines), 1, lines)
                    self.assertIn(says % nb.db if "%s" in says else says, lines[0])
                    self.assertIn(nb.db, lines[0])
                    # Nothing is created or changed.
                    if make:
                        self.assertEqual(pathlib.Path(nb.db).read_bytes(), before)
                    else:
                        self.assertFalse(os.path.exists(nb.db))
                finally:
                    nb.cleanup()


if __name__ == "__main__":
    unittest.main()
