"""No door goes silently out of service, no event is lost or repeated: the
real netbuf with readers on a socat pty pair (netbuf-readersim, or the test's
own raw readers) and the PC as raw Modbus TCP frames and mbpoll. A forwarded
frame that gets no good answer, a PC write, a reader that moves in the list;
an event table with gaps and repeated Ids; a card upload cut off by kill -9."""

import subprocess
import struct
import time
import unittest

from netbuf_harness import (Installation, Netbuf, Pc, RawReaders, buzzer_frame, card0_all_day,
                            card_record, configure_readers, event_record, mbap, poll_frame,
                            relay_frame, remote, simulated_readers, wait_for, with_crc)

N_CARD = 0x8001
GRANTED = bytes.fromhex("000A1B2C3D4E")  # card 0, all day in time zone 0, geo zone 0
UNKNOWN = bytes.fromhex("00C0FFEE0001")


class PassThroughTest(unittest.TestCase):
    """Readers 1 and 2 played by netbuf-readersim; the PC talks to reader 2
    through netbuf. Each case on a fresh installation."""

    def installation(self):
        return simulated_readers(Netbuf(com=3, delay=30, monitor="tcp"), [(1, 0, 0), (2, 0, 0)])

    def test_reader_is_released_and_long_answers_come_whole(self):
        read = mbap(0x0107, 2, bytes.fromhex("0300000002"))
        # mbpoll writes one register with function 6.
        mbpoll = ["mbpoll", "-m", "tcp", "-a", "2", "-0", "-1", "-o", "1", "-r", "5", "-t", "4"]
        cases = (
            # what goes wrong, simulator set-up, the PC's request, what reaches reader 2
            ("silent reader", "silent 2 on", read, "read 2 registers from 0 at address 2"),
            ("broken CRC", "badcrc 2 1000", read, "read 2 registers from 0 at address 2"),
            ("function 6", None, mbpoll, None),
            ("125 registers", None, None, None),
        )
        for name, setup, request, reaches in cases:
            with self.subTest(name):
                site = self.installation()
                nb, sim = site.nb, site.readers
                pc = None
                try:
                    if request is None:
                        # A 255-byte RTU answer reaches the PC whole.
                        for reg, value in ((0, 0x1234), (124, 0xBEEF)):
                            self.assertEqual(sim.command("reg 2 %d %d" % (reg, value)), "ok")
                        pc = Pc(nb.port_tcp)
                        pc.send(mbap(0x0108, 2, bytes.fromhex("030000007D")))
                        data = struct.pack(">H", 0x1234) + bytes(246) + struct.pack(">H", 0xBEEF)
                        self.assertEqual(pc.recv_answer(10),
                                         bytes.fromhex("0008000000FD0203FA") + data)
                        continue
                    if setup:
                        self.assertEqual(sim.command(setup), "ok")
                    mark = sim.mark()
                    if request is mbpoll:
                        r = subprocess.run(mbpoll + ["-p", str(nb.port_tcp), "127.0.0.1", "77"],
                                           capture_output=True, text=True, timeout=30)
                        self.assertNotEqual(r.returncode, 0, r.stdout)  # no answer
                        self.assertTrue(nb.wait_stdout_line(
                            "PC->BUF:12 -> 00 01 00 00 00 06 02 06 00 05 00 4D", 5),
                            nb.stdout()[-500:])
                    else:
                        pc = Pc(nb.port_tcp)
                        pc.send(request)
                        self.assertTrue(sim.wait_line(reaches, 10, mark), sim.since(mark)[-5:])
                        # As a gateway answers for a target that failed to respond.
                        self.assertEqual(pc.recv_answer(5), bytes.fromhex("00070000000302830B"))
                    for cmd in ("silent 2 off", "badcrc 2 0"):
                        self.assertEqual(sim.command(cmd), "ok")
                    # Polls of reader 2 resume: the door is not dead.
                    self.assertTrue(sim.wait_line("poll address 2", 20, sim.mark()))
                    if not reaches:
                        self.assertFalse([l for l in sim.since(mark) if "write" in l])
                finally:
                    if pc:
                        pc.close()
                    site.stop()


class ReaderListTest(unittest.TestCase):
    """Readers 1 (own relay), 2 and 3 answered by the test itself; the PC
    writes registers while cards are decided. The tests run in order."""

    @classmethod
    def setUpClass(cls):
        def prepare(nb):
            configure_readers(nb, [(1, 0, 0x0C), (2, 0, 0), (3, 0, 0)])
            card0_all_day(nb)

        cls.site = Installation(
            Netbuf(com=3, delay=30, n_card=N_CARD), prepare=prepare,
            readers=lambda device: RawReaders(device, [1, 2, 3]),
            polled=lambda readers: readers.wait_frame(poll_frame(3), 2, 15) is not None)
        cls.nb, cls.line, cls.readers = cls.site.nb, cls.site.line, cls.site.readers
        # Time zones count from the first write-back tick, 3 s after start.
        time.sleep(4)

    @classmethod
    def tearDownClass(cls):
        cls.site.stop()

    def pc_write(self, start, values):
        pc = Pc(self.nb.port_tcp)
        try:
            self.assertEqual(len(pc.write_regs(start, values)), 12)
        finally:
            pc.close()

    def test_1_a_pc_write_keeps_what_it_did_not_change(self):
        readers = self.readers
        # Granted at reader 1, whose relay goes unacknowledged for now: the
        # relay frame is repeated at every turn ...
        readers.relay_unanswered.add(1)
        mark = readers.mark()
        readers.present(1, GRANTED)
        self.assertIsNotNone(readers.wait_frame(relay_frame(1), 1, 10, mark), self.nb.stderr())
        # ... and still after a PC write that rebuilds the reader list.
        self.pc_write(3000, [7])
        mark = readers.mark()
        self.assertIsNotNone(readers.wait_frame(relay_frame(1), 2, 10, mark))
        readers.relay_unanswered.discard(1)
        self.assertTrue(wait_for(lambda: readers.acknowledged, 10))

        # A card right after a PC write is decided, not taken as a reference.
        self.pc_write(3000, [8])
        mark = readers.mark()
        readers.present(2, UNKNOWN)
        self.assertIsNotNone(readers.wait_frame(buzzer_frame(2, N_CARD), 1, 10, mark))
        rows = wait_for(lambda: len(self.nb.peek("SELECT * FROM event")) == 2 and
                        self.nb.peek("SELECT ID, ADR485, status FROM event ORDER BY rowid"), 10)
        self.assertEqual(rows, [(1, 1, 4), (2, 2, 0)])

    def test_2_a_reader_that_moved_down_is_served_there(self):
        readers = self.readers
        # Reader 1 leaves the first slot: 2 and 3 move down one entry.
        self.pc_write(1400, [0])
        mark = readers.mark()
        self.assertIsNotNone(readers.wait_frame(poll_frame(3), 2, 10, mark))
        mark = readers.mark()
        readers.present(3, UNKNOWN)
        buzz = readers.wait_frame(buzzer_frame(3, N_CARD), 1, 10, mark)
        self.assertIsNotNone(buzz, self.nb.peek("SELECT * FROM event"))
        self.assertIsNotNone(readers.wait_frame(poll_frame(3), 1, 10, buzz))
        mark = readers.mark()
        # The address field is the RS485 address less one. A buzzer
        # acknowledgement that comes after the relay is queued leaves it queued.
        self.assertEqual(remote(self.nb.service, "#x,y,1,2,2$"), b"OK")
        readers.send(with_crc(bytes.fromhex("031000970001")))
        self.assertIsNotNone(readers.wait_frame(relay_frame(3), 1, 10, mark))
        # Reader 1 is no longer configured: the command is answered, fires nothing.
        mark = readers.mark()
        self.assertEqual(remote(self.nb.service, "#x,y,1,2,0$"), b"OK")
        self.assertIsNotNone(readers.wait_frame(poll_frame(3), 3, 10, mark))
        self.assertEqual({f for _, f in readers.since(mark)}, {poll_frame(2), poll_frame(3)})
        # A pass-through to the moved reader is forwarded and answered.
        pc = Pc(self.nb.port_tcp)
        try:
            pc.send(mbap(0x0109, 3, bytes.fromhex("1000050001021234")))
            self.assertEqual(pc.recv_answer(10), bytes.fromhex("000900000006031000050001"))
        finally:
            pc.close()


def event_row(i, rowid_tag):
    """An event row with Id i; rowid_tag (in ADR485) tells rows of one Id apart."""
    return (i, 80, rowid_tag, 1_700_000_000 + i, 5, 42, 1, 2, 3, 4, i & 255, 4, i, 0, 0, 0)


# Stored in this order: Ids 1 ... 12 without 3, then Ids 1 and 2 again, as
# after the PC set the counter back.
EARLIER = [event_row(i, 1) for i in range(1, 13) if i != 3]
LATER = [event_row(i, 2) for i in (1, 2)]


class PcLinkTest(unittest.TestCase):
    """netbuf without a reader line, on a net.db with events and a register
    row out of range; the PC is raw Modbus TCP. The tests run in order; the
    last one kills netbuf."""

    @classmethod
    def setUpClass(cls):
        cls.nb = Netbuf()
        try:
            for row in EARLIER + LATER:
                cls.nb.execute("INSERT INTO event VALUES (%s)" % ",".join("?" * 16), row)
            for adres, val in ((804, 0), (805, 12), (800, 0), (801, 1)):
                cls.nb.execute("UPDATE register SET val=? WHERE adres=?", (val, adres))
            cls.nb.execute("INSERT INTO register VALUES (4294967296, 1234, 'out of range')")
            cls.nb.start()
            cls.pc = Pc(cls.nb.port_tcp)
        except BaseException:
            cls.nb.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.pc.close()
        cls.nb.cleanup()

    def setUp(self):
        # Each test starts on a quiet connection, whatever an earlier one left.
        self.pc.recv_quiet(0.3)

    def fetch(self, k):
        return self.pc.read_file_record(128, 0, k, tid=0x0A0B)

    def test_1_event_readout_skips_gaps_and_sends_each_id_once(self):
        none = bytes.fromhex("0A0B00000003FF9402")
        steps = (
            # records asked, rows expected, read pointer after
            (2, LATER, 3),
            (2, EARLIER[2:4], 6),  # Id 3 was never stored
            (8, EARLIER[4:11], 13),  # at most 7 fit the one-byte counts
            (1, [], 13),
        )
        for k, rows, pointer in steps:
            with self.subTest(k=k, pointer=pointer):
                body = b"".join(event_record(r) for r in rows)
                expected = (struct.pack(">HHHBBBBB", 0x0A0B, 0, len(body) + 5, 255, 20,
                                        len(body) + 2, len(body) + 1, 6) + body) if rows else none
                self.assertEqual(self.fetch(k), expected)
                self.assertEqual(self.pc.read_regs(800, 2), [0, pointer])
                # In the file with the next commit, not only after the next
                # tick: a crash then must not hand the PC these events again.
                stored = lambda: self.nb.peek("SELECT val FROM register WHERE adres IN "
                                              "(800, 801) ORDER BY adres")
                self.assertTrue(wait_for(lambda: stored() == [(0,), (pointer,)], 2.5), stored())
        # The PC sets counter and pointer back: the later rows come once each.
        self.assertEqual(len(self.pc.write_regs(804, [0, 2])), 12)
        self.assertEqual(len(self.pc.write_regs(800, [0, 1])), 12)
        body = b"".join(event_record(r) for r in LATER)
        self.assertEqual(self.fetch(7), bytes.fromhex("0A0B00000045FF14424106") + body)
        self.assertEqual(self.fetch(7), none)

    def test_2_write_behind_a_read_and_rows_out_of_range(self):
        with self.subTest("register row 4294967296"):
            self.assertEqual(self.pc.read_regs(0, 1), [0])
        with self.subTest("write behind a read in one send"):
            self.pc.send(mbap(0x0C, 255, bytes.fromhex("0300010001")) +
                         mbap(0x0D, 255, bytes.fromhex("100BB80001020055")))
            self.assertEqual(self.pc.recv_answer(), bytes.fromhex("000C00000005FF03020000"))
            self.assertEqual(self.pc.recv_answer(), bytes.fromhex("000D00000006FF100BB80001"))
            self.assertEqual(self.pc.read_regs(3000, 1), [0x55])

    def test_3_card_upload_is_in_net_db_within_a_tick(self):
        nb, pc = self.nb, self.pc
        self.assertEqual(len(pc.write_regs(3170, [100])), 12)
        cards = [card_record(i, 1, "%010X" % (0xC0DE000000 + i), 1, 1) for i in range(40)]
        for n in range(0, 40, 5):
            request, answer = pc.write_file_record(8, cards[n:n + 5])
            self.assertEqual(answer, request)
        # A register written after the upload: once it is in the file, a tick
        # went by after the last echo.
        self.assertEqual(len(pc.write_regs(3001, [4321])), 12)
        self.assertTrue(wait_for(lambda: nb.peek(
            "SELECT val FROM register WHERE adres=3001") == [(4321,)], 10))
        nb.kill()
        self.assertEqual(nb.query("SELECT numer, kod FROM karty WHERE numer <= 40 ORDER BY numer"),
                         [(i + 1, "%010X" % (0xC0DE000000 + i)) for i in range(40)])


if __name__ == "__main__":
    unittest.main()
