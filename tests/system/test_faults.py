"""Faults around the real netbuf: net.db locked by another process, made
read-only, or on a full disk; the serial line gone; a PC that leaves while a
reader still owes it an answer; a flood of connections. What the operator saw
is netbuf's stderr (headless: one line per message box); what was kept is the
rows of net.db, read without taking a lock."""

import os
import select
import shutil
import socket
import sqlite3
import struct
import subprocess
import tempfile
import time
import tty
import unittest

from netbuf_harness import (BIN, EVENT_COLUMNS, Installation, Netbuf, Pc, PtyPair, ReaderSim,
                            card_record, event_record, mbap, simulated_readers, wait_for,
                            with_crc)

EVENT_FAILED = "blad zapisu zdarzenia"
N_CARD = 0x8001
KNOWN = "C0DE000001"  # card 0: zone 0, geo zone 0
CARD_COUNT = 50


def register_failed(a, val):
    return "blad zapisu pod adres %d wartosci%d w tabeli register" % (a, val)


def card_failed(k):
    return "blad zapisu rekordu karty pod adres %d" % k


def try_mount_tmpfs(directory, size):
    try:
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "netbuf-faults",
                            directory], capture_output=True, timeout=20)
    except OSError:
        return False
    return r.returncode == 0


def immutable_stops_writers(directory):
    """chattr +i must also stop a writer that opened the file before (ext4
    does; tmpfs, for one, does not)."""
    probe = os.path.join(directory, "chattr-probe")
    fd = os.open(probe, os.O_RDWR | os.O_CREAT)
    try:
        if subprocess.run(["chattr", "+i", probe], capture_output=True).returncode != 0:
            return False
        try:
            os.pwrite(fd, b"x", 0)
            return False
        except OSError:
            return True
    except OSError:
        return False
    finally:
        subprocess.run(["chattr", "-i", probe], capture_output=True)
        os.close(fd)
        os.remove(probe)


class DatabaseFaults(unittest.TestCase):
    """An installation with reader 1 on a pty, time zone 0 active all day and
    card 0 known. Each test breaks the database, lets the PC and a card change
    things, then mends it and expects every register and card change in
    net.db within a few write-back ticks, and the event of the card read while
    broken with the Id it was given then; the operator was told once."""

    ON_TMPFS = False

    @classmethod
    def setUpClass(cls):
        cls.nb = Netbuf(com=3, delay=30, n_card=N_CARD, create_db=False)
        cls.logs = tempfile.mkdtemp(prefix="netbuf-faults-")
        # Operator lines must not land on a disk that is about to fill up.
        cls.nb.out_path = os.path.join(cls.logs, "stdout.txt")
        cls.nb.err_path = os.path.join(cls.logs, "stderr.txt")
        cls.site = None
        cls.tmpfs = False
        try:
            if cls.ON_TMPFS:
                # Room for the binary and net.db and little else, so a filler
                # file can take the rest.
                cls.tmpfs = try_mount_tmpfs(cls.nb.dir, "16m")
                if not cls.tmpfs:
                    raise unittest.SkipTest("mounting a small tmpfs is not allowed here")
                # Without its debug sections the binary leaves the room to net.db.
                subprocess.run(["objcopy", "--strip-debug", os.path.join(BIN, "netbuf"),
                                cls.nb.exe], check=True)
            Netbuf.netbuf_db("create", cls.nb.db, "--port-tcp", str(cls.nb.port_tcp),
                             "--service", "0", "--com", "3", "--delay", "30", "--n-card",
                             str(N_CARD))
            # The directory may be a mount point: tearDownClass empties it.
            cls.site = Installation(cls.nb, pc_timeout=5, keep_dir=True,
                                    readers=lambda device: ReaderSim(device, "--readers", "1"))
            started = time.monotonic()
            cls.line, cls.sim, cls.pc = cls.site.line, cls.site.readers, cls.site.pc
            cls.pc.write_regs(1700, [0, 1440] * 7)
            cls.pc.write_regs(3170, [CARD_COUNT])
            cls.pc.write_regs(800, [0, 1])
            cls.pc.write_regs(1400, [1 << 8, 0x0C << 8, 0, 0])
            cls.pc.write_file_record(8, [card_record(0, 1, KNOWN, 1, 1)])
            # Until the first tick (3 s) no time zone is active.
            time.sleep(max(0.0, started + 4.5 - time.monotonic()))
            if not wait_for(lambda: cls.nb.peek("SELECT kod FROM karty WHERE numer=1")
                            == [(KNOWN,)], 15):
                raise RuntimeError("set-up never reached net.db: " + cls.nb.stderr())
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.site:
            cls.site.stop(cleanup=False)
        cls.nb.stop()
        subprocess.run(["chattr", "-i", cls.nb.db], capture_output=True)
        if cls.tmpfs:
            subprocess.run(["umount", cls.nb.dir], capture_output=True)
        cls.nb.cleanup()
        shutil.rmtree(cls.logs, ignore_errors=True)

    # -- helpers -------------------------------------------------------------

    def operator_lines(self, since, other=False):
        """The write failure messages from line `since` on; with other, the
        remaining lines instead (journal lines, error reports)."""
        return [l for l in self.nb.stderr().split("\n")[since:]
                if l and l.startswith("blad ") != other]

    def arm_reader(self):
        """After a register write rebuilds the reader list, reader 1's next
        changed code would only set its reference. Bit 15 sets it without a
        decision."""
        self.assertEqual(self.sim.command("status 1 0x8000"), "ok")
        mark = self.sim.mark()
        self.assertTrue(self.sim.wait_line("poll address 1", 5, mark))
        self.assertTrue(self.sim.wait_line("poll address 1", 5, self.sim.mark()))
        self.assertEqual(self.sim.command("status 1 0"), "ok")

    def present(self, code, line):
        mark = self.sim.mark()
        self.assertEqual(self.sim.command("card 1 %s" % code), "ok")
        # The reader is told either way: the decision does not wait for the file.
        self.assertTrue(self.sim.wait_line(line, 10, mark), self.sim.since(mark)[-5:])

    def events(self):
        return self.nb.peek("SELECT ID, ADR485, status, code_no, kod1, kod5 FROM event "
                            "ORDER BY ID")

    def regs_in_db(self, first, count):
        return [v for _, v in self.nb.peek(
            "SELECT adres, val FROM register WHERE adres >= ? AND adres < ? ORDER BY adres",
            (first, first + count))]

    def break_change_mend(self, tag, fault, mend, may_store=False):
        """The scenario every database fault goes through. With may_store the
        file may still take what comes (a full disk leaves the write-ahead log
        room it already has): then nothing may be refused, and nothing lost."""
        stored_events = self.events()
        next_id = stored_events[-1][0] + 1 if stored_events else 1
        pointer = self.pc.read_regs(800, 2)
        err_mark = len(self.nb.stderr().split("\n")) - 1
        regs = [tag * 100 + 1, tag * 100 + 2, tag * 100 + 3]
        cards = [(10 + i, "%02X%08X" % (tag, 0xF00 + i)) for i in range(5)]

        fault()
        broken_at = time.monotonic()
        try:
            # The PC is answered as usual; only the file lags behind.
            self.assertEqual(self.pc.write_regs(3000, regs)[7:], bytes.fromhex("100BB80003"))
            request, echo = self.pc.write_file_record(
                8, [card_record(i, 2, c, 1, 1) for i, c in cards])
            self.assertEqual(echo, request)
            self.arm_reader()
            self.present("BAD%07X" % tag, "buzzer pattern 0x8001 at address 1")
            taken = lambda: len(self.events()) > len(stored_events)
            refused = lambda: EVENT_FAILED in self.operator_lines(err_mark)
            self.assertTrue(wait_for(lambda: refused() or (may_store and taken()), 10),
                            (self.nb.stderr(), self.events()))
            refused_now = not taken()
            if refused_now:
                self.assertTrue(wait_for(lambda: len(self.operator_lines(err_mark)) >= 3, 15),
                                self.operator_lines(err_mark))
                # Nothing of it is in the file.
                self.assertEqual(self.events(), stored_events)
                self.assertNotEqual(self.regs_in_db(3000, 3), regs)
            self.assertEqual(self.pc.read_regs(3000, 3), regs)
        finally:
            mend()
        mended_at = time.monotonic()

        lines = self.operator_lines(err_mark)
        if not refused_now:
            # Taken while the fault lasted: not a word about refusals.
            self.assertTrue(wait_for(lambda: self.regs_in_db(3000, 3) == regs, 10))
            self.assertEqual(self.events(), stored_events + [(next_id, 1, 0, 65535, 0xBA, tag)])
            self.assertEqual(lines, [])
            return lines
        self.assertEqual(lines.count(EVENT_FAILED), 1)
        allowed = {EVENT_FAILED, register_failed(3000, regs[0]),
                   register_failed(800, pointer[0]), register_failed(801, pointer[1])}
        allowed |= {card_failed(i) for i, _ in cards}
        self.assertLessEqual(set(lines), allowed)
        self.assertIn(register_failed(3000, regs[0]), lines)
        # A tick stops at its first failure: one message a tick, not one a row.
        self.assertLessEqual(len(lines) - 1, (mended_at - broken_at) / 3 + 2, lines)

        # Mended: every change reaches the file within a few ticks.
        def all_stored():
            return (self.regs_in_db(3000, 3) == regs
                    and self.nb.peek("SELECT numer, kod FROM karty WHERE numer BETWEEN 11 AND 15"
                                     " ORDER BY numer") == [(i + 1, c) for i, c in cards])
        self.assertTrue(wait_for(all_stored, 25, 0.3), self.operator_lines(err_mark))
        time.sleep(0.5)
        settled = len(self.operator_lines(err_mark))
        self.assertEqual(self.regs_in_db(800, 6), self.pc.read_regs(800, 6))
        # The event decided while broken waited and went in with its Id; the
        # journal says so once, and nothing else.
        self.assertEqual(self.events(), stored_events + [(next_id, 1, 0, 65535, 0xBA, tag)])
        # A read pointer the PC moved meanwhile is one line more.
        self.assertEqual([l for l in self.operator_lines(err_mark, other=True)
                          if not l.startswith(POINTER_NOT_STORED)],
                         ["waiting events stored in net.db: 1, still waiting: 0"])

        # The next card gets the next Id.
        self.present(KNOWN, "relay fired at address 1")
        self.assertTrue(wait_for(lambda: len(self.events()) == len(stored_events) + 2, 10))
        self.assertEqual(self.events()[-1], (next_id + 1, 1, 4, 0, 0xC0, 0x01))
        self.assertEqual(self.regs_in_db(804, 2), [next_id + 1 >> 16, next_id + 1 & 0xFFFF])
        time.sleep(3.5)
        self.assertEqual(len(self.operator_lines(err_mark)), settled, "messages after mending")
        self.assertTrue(self.nb.alive())
        return lines


POINTER_NOT_STORED = "event read pointer not stored in net.db"


class LockedOrReadOnlyTest(DatabaseFaults):
    def test_locked_by_another_process(self):
        holder = sqlite3.connect(self.nb.db, isolation_level=None, timeout=0)

        def lock():
            # netbuf may be half way through a write of its own.
            def try_lock():
                try:
                    holder.execute("BEGIN EXCLUSIVE")
                    return True
                except sqlite3.OperationalError:
                    return False
            self.assertTrue(wait_for(try_lock, 10))

        def unlock():
            holder.execute("ROLLBACK")
            holder.close()

        def check_readout_served():
            # Reads do not wait for the lock: the event at the pointer comes
            # out and the pointer moves on in memory; the file gets it after.
            hi, lo = self.pc.read_regs(800, 2)
            row = self.nb.peek("SELECT %s FROM event WHERE ID = ?" % ",".join(EVENT_COLUMNS),
                               (hi << 16 | lo,))[0]
            self.assertEqual(self.pc.read_file_record(128, 0, 1, tid=0x0034),
                             struct.pack(">HHHBBBBB", 0x0034, 0, 37, 255, 20, 34, 33, 6)
                             + event_record(row))
            nxt = (hi << 16 | lo) + 1
            moved[:] = [nxt >> 16, nxt & 0xFFFF]
            self.assertEqual(self.pc.read_regs(800, 2), moved)

        # An event waiting to be read, so the readout under the lock has one.
        moved = []
        self.arm_reader()
        count = len(self.events())
        self.present("AAAA000001", "buzzer pattern 0x8001 at address 1")
        self.assertTrue(wait_for(lambda: len(self.events()) == count + 1, 10))
        self.break_change_mend(1, lambda: (lock(), check_readout_served()), unlock)
        self.assertTrue(wait_for(lambda: self.regs_in_db(800, 2) == moved, 10))

    def test_made_read_only_while_running(self):
        if not immutable_stops_writers(self.nb.dir):
            self.skipTest("chattr +i does not stop an open writer on this filesystem")
        run = lambda flag: subprocess.run(["chattr", flag, self.nb.db], check=True)
        # The write-ahead log beside it still takes every commit.
        self.break_change_mend(2, lambda: run("+i"), lambda: run("-i"), may_store=True)


class DiskFullTest(DatabaseFaults):
    ON_TMPFS = True

    def test_disk_full(self):
        filler = os.path.join(self.nb.dir, "filler")

        def fill():
            fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
            try:
                while True:
                    os.write(fd, bytes(65536))
            except OSError:
                pass
            try:
                while True:
                    os.write(fd, bytes(512))
            except OSError:
                pass
            os.close(fd)

        self.break_change_mend(3, fill, lambda: os.remove(filler), may_store=True)


class LateAnswersTest(unittest.TestCase):
    """The test plays readers 1 and 2 on the raw line. A busy loop or a USB
    adapter's latency hands netbuf several answers in one read; each of them
    must still count."""

    def setUp(self):
        self.nb = Netbuf(com=3, delay=30, n_card=N_CARD)
        self.line = PtyPair(self.nb.dir, "COM3", "readers")
        self.fd = None
        try:
            self.nb.execute("UPDATE register SET val=? WHERE adres=1400", (1 << 8,))
            self.nb.execute("UPDATE register SET val=? WHERE adres=1404", (2 << 8,))
            self.fd = os.open(self.line.b, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(self.fd)
            self.nb.start()
        except Exception:
            self.tearDown()
            raise

    def tearDown(self):
        self.nb.stop()
        if self.fd is not None:
            os.close(self.fd)
        self.line.close()
        self.nb.cleanup()

    def frames(self, seconds):
        """netbuf's frames as they come, for `seconds`."""
        buf = b""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if select.select([self.fd], [], [], 0.05)[0]:
                buf += os.read(self.fd, 256)
            while len(buf) >= 8:
                n = 8 if buf[1] == 3 else 9 + buf[6] if buf[1] == 0x10 else 1
                if len(buf) < n:
                    break
                frame, buf = buf[:n], buf[n:]
                if n > 1:
                    yield frame

    @staticmethod
    def poll_answer(address, code=bytes(6), status=0):
        return with_crc(bytes([address, 3, 10, status >> 8, status & 0xFF, 0, 0]) + code)

    def test_two_answers_in_one_read(self):
        card = bytes.fromhex("00C0FFEE0001")
        # Unknown card at reader 1: buzzer N_CARD, the pattern low byte first.
        buzzer = with_crc(bytes.fromhex("01100097000102") + struct.pack("<H", N_CARD))
        polls_of_1 = 0
        held = None
        for frame in self.frames(20):
            if frame[1] == 0x10:
                self.assertEqual(frame, buzzer)
                break
            if frame[0] == 1:
                polls_of_1 += 1
                if polls_of_1 == 3:
                    # Armed by its first polls: the card, in an answer held
                    # back until reader 2's comes.
                    held = self.poll_answer(1, card)
                elif polls_of_1 < 3:
                    os.write(self.fd, self.poll_answer(1))
                else:
                    # Bit 15 afterwards: only that one late answer can show
                    # the card.
                    os.write(self.fd, self.poll_answer(1, status=0x8000))
            elif frame[0] == 2:
                os.write(self.fd, (held or b"") + self.poll_answer(2))
                held = None
        else:
            self.fail("no buzzer for the card in the late answer")
        self.assertTrue(wait_for(lambda: self.nb.peek(
            "SELECT ID, ADR485, status, kod1, kod5 FROM event") == [(1, 1, 0, 0xC0, 0x01)], 10),
            self.nb.peek("SELECT * FROM event"))


class LinkFaultTest(unittest.TestCase):
    """Readers 1 and 2 on a pty; the tests run in order, the last one takes
    the line away."""

    @classmethod
    def setUpClass(cls):
        cls.site = simulated_readers(Netbuf(com=3, delay=30), [(1, 0, 0), (2, 0, 0)])
        cls.nb, cls.line, cls.sim = cls.site.nb, cls.site.line, cls.site.readers

    @classmethod
    def tearDownClass(cls):
        cls.site.stop()

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.nb.proc.pid))

    def test_1_pc_leaving_with_a_pass_through_pending(self):
        self.assertEqual(self.sim.command("reg 2 20 0x1234"), "ok")
        self.assertEqual(self.sim.command("delay 2 500"), "ok")
        gone = Pc(self.nb.port_tcp)
        try:
            mark = self.sim.mark()
            gone.send(mbap(0x0007, 2, bytes.fromhex("0300140001")))
            # Gone once the request is on the line, well before reader 2 answers.
            self.assertTrue(self.sim.wait_line("read 1 register from 20 at address 2", 10, mark),
                            self.sim.since(mark)[-10:])
        finally:
            gone.close()
        pc = Pc(self.nb.port_tcp, timeout=5)
        try:
            pc.send(mbap(0x0009, 255, bytes.fromhex("0305780002")))
            self.assertEqual(pc.recv_answer(), bytes.fromhex("000900000007FF030401000000"))
            # Reader 2's late answer belonged to the PC that left.
            self.assertEqual(pc.recv_quiet(2.0), b"")
            # Slower than its response time-out, reader 2 fails as a
            # gateway's target does; in time again, it is heard again.
            pc.send(mbap(0x0008, 2, bytes.fromhex("0300140001")))
            self.assertEqual(pc.recv_answer(10), bytes.fromhex("00080000000302830B"))
            self.assertEqual(self.sim.command("delay 2 0"), "ok")
            time.sleep(1.5)  # the answers it still owes come and go
            pc.send(mbap(0x000A, 2, bytes.fromhex("0300140001")))
            self.assertEqual(pc.recv_answer(10), bytes.fromhex("000A000000050203021234"))
            self.assertEqual(pc.read_regs(1404, 1), [2 << 8])
        finally:
            pc.close()
        self.assertEqual(self.sim.command("delay 2 0"), "ok")
        self.assertTrue(self.nb.alive())

    def test_2_flood_of_pc_and_service_connections(self):
        first = Pc(self.nb.port_tcp, timeout=5)
        extra, service = [], []
        try:
            self.assertEqual(first.read_regs(1400, 1), [1 << 8])
            baseline = self.fd_count()
            for _ in range(20):
                extra.append(socket.create_connection(("127.0.0.1", self.nb.port_tcp), 5))
            # From 19 hosts, as one address holds only 8 places.
            for i in range(150):
                service.append(socket.create_connection(
                    ("127.0.0.1", self.nb.service), 5, source_address=("127.0.1.%d" % (i // 8 + 1), 0)))
            self.assertEqual(first.read_regs(1404, 1), [2 << 8])

            def closed_by_netbuf(socks):
                shut = 0
                for s in socks:
                    s.settimeout(0.01)
                    try:
                        shut += s.recv(1) == b""
                    except socket.timeout:
                        pass
                    except ConnectionError:
                        shut += 1
                return shut
            # One PC at a time; 101 service connections at a time.
            self.assertTrue(wait_for(lambda: closed_by_netbuf(extra) == 20, 15))
            self.assertTrue(wait_for(lambda: closed_by_netbuf(service) >= 49, 15))
            self.assertEqual(closed_by_netbuf(service), 49)
            mark = self.sim.mark()
            service[0].sendall(b"#Flood,x,1,2,0$")
            service[0].settimeout(5)
            self.assertEqual(service[0].recv(10), b"OK")
            self.assertTrue(self.sim.wait_line("relay fired at address 1", 10, mark))
            self.assertEqual(first.read_regs(1400, 1), [1 << 8])
        finally:
            for s in extra + service:
                s.close()
        try:
            # Every socket of the flood is let go again.
            self.assertTrue(wait_for(lambda: self.fd_count() <= baseline, 15),
                            (self.fd_count(), baseline))
            self.assertEqual(first.read_regs(1404, 1), [2 << 8])
        finally:
            first.close()
        self.assertTrue(self.nb.alive())

    def test_0_reader_falls_silent_and_answers_again(self):
        self.assertEqual(self.sim.command("silent 2 on"), "ok")
        try:
            self.assertTrue(wait_for(lambda: "reader 2 (entry 2) not answering" in
                                     self.nb.stderr_lines(), 10), self.nb.stderr())
        finally:
            self.assertEqual(self.sim.command("silent 2 off"), "ok")
        self.assertTrue(wait_for(lambda: "reader 2 (entry 2) answering again" in
                                 self.nb.stderr_lines(), 10), self.nb.stderr())
        # One line each, though many polls went unanswered; reader 1 kept answering.
        self.assertEqual([l for l in self.nb.stderr_lines() if l.startswith("reader ")],
                         ["reader 2 (entry 2) not answering",
                          "reader 2 (entry 2) answering again"])

    def test_3_serial_line_gone(self):
        old_device = os.path.realpath(self.line.a)
        self.line.close()
        self.sim.stop()
        closed = "COM3 %s closed: " % old_device
        self.assertTrue(wait_for(lambda: closed in self.nb.stderr(), 10), self.nb.stderr())
        pc = Pc(self.nb.port_tcp, timeout=5)
        try:
            self.assertEqual(pc.read_regs(1400, 1), [1 << 8])
            time.sleep(3.5)  # a tick or more of retries that fail
            # A new line under the same name is taken up by the next tick.
            LinkFaultTest.line = self.site.line = PtyPair(self.nb.dir, "COM3", "readers")
            LinkFaultTest.sim = self.site.readers = ReaderSim(self.line.b, "--readers", "1,2")
            self.assertTrue(self.sim.wait_line(lambda l: l.startswith("poll address"), 10),
                            self.nb.stderr())
            self.assertEqual(pc.read_regs(1404, 1), [2 << 8])
        finally:
            pc.close()
        # The loss and the return are one line each, however many tries failed.
        new_device = os.path.realpath(self.line.a)
        lines = [l for l in self.nb.stderr_lines() if "COM3" in l][-2:]
        self.assertTrue(lines[0].startswith(closed), lines)
        self.assertEqual(lines[1], "COM3 %s open" % new_device)
        self.assertTrue(self.nb.alive())


if __name__ == "__main__":
    unittest.main()
