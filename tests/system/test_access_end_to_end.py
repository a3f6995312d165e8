"""The road of a card, all real: netbuf headless, readers played by
netbuf-readersim on a socat pty pair, the PC by raw Modbus TCP frames. The PC
configures readers, time zones and cards, cards are presented at the readers,
netbuf answers with relay and buzzer frames and event rows, and the PC fetches
the rows as file records; then across a clean restart and a kill -9.

The three tests share one installation and run in order: each goes on from
the events the one before left."""

import calendar
import datetime
import functools
import os
import struct
import tempfile
import time
import unittest

from pymodbus.file_message import (FileRecord, ReadFileRecordResponse,
                                   WriteFileRecordRequest)

from netbuf_harness import (EVENT_COLUMNS, Netbuf, Pc, PtyPair, ReaderSim, card_record,
                            event_record, wait_for)

N_CARD = 0x8001
S_CARD = 0x1203  # two different bytes: a swapped pattern shows as 0x0312

# Readers: RS485 address, geo zone, flags (relay bits 0x0C).
READERS = ((3, 1, 0x0C), (5, 2, 0x04), (7, 1, 0x00))

REST = bytes(range(0xA0, 0xB0))  # the uninterpreted tail must come back as sent
CARDS = (
    # index, type, code, time-zone mask, geo-zone mask
    (0, 1, "0A1B2C3D4E", 0b01, 0b110),  # zone 0 (always active), geo zones 1 and 2
    (1, 2, "1122334455", 0b01, 0b100),  # geo zone 2 only
    (2, 1, "99AABBCCDD", 0b10, 0b010),  # zone 1, never active
    (10, 1, "5566778899", 0b01, 0b110),  # beyond the card count of 4: never found
)
CARD_COUNT = 4
UNKNOWN = 65535


def last_sunday(year, month):
    d = datetime.date(year, month, calendar.monthrange(year, month)[1])
    return d.day - (d.weekday() + 1) % 7


def event_time(t):
    """The event time for the moment t: the local wall clock read as UTC+2 in
    summer (from the last Sunday of March up to the day before the last
    Sunday of October, whole days), else UTC+1."""
    lt = time.localtime(t)
    y, m, d = lt.tm_year, lt.tm_mon, lt.tm_mday
    summer = (4 <= m <= 9 or (m == 3 and d >= last_sunday(y, 3))
              or (m == 10 and d < last_sunday(y, 10)))
    return calendar.timegm(lt) - (7200 if summer else 3600)


def code_bytes(code):
    return tuple(bytes.fromhex(code))


def step(test):
    """A test that the later ones build on: when it fails they are skipped."""
    @functools.wraps(test)
    def run(self):
        try:
            test(self)
        except unittest.SkipTest:
            raise
        except BaseException:
            AccessEndToEndTest.broken = test.__name__
            raise
    return run


class AccessEndToEndTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="netbuf-e2e-")
        cls.line = cls.sim = cls.nb = None
        cls.broken = None
        try:
            cls.line = PtyPair(cls.tmp.name, "com3", "readers")
            cls.sim = ReaderSim(cls.line.b, "--readers", ",".join(str(r[0]) for r in READERS),
                                "--quiet")
            cls.nb = Netbuf(com=3, delay=20, n_card=N_CARD, s_card=S_CARD, monitor="zd")
            cls.nb.link_com(3, cls.line.a)
            cls.nb.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.nb:
            cls.nb.cleanup()
        if cls.sim:
            cls.sim.stop()
        if cls.line:
            cls.line.close()
        cls.tmp.cleanup()

    def setUp(self):
        if AccessEndToEndTest.broken:
            self.skipTest("needs the state left by " + AccessEndToEndTest.broken)
        self.pc = None

    def tearDown(self):
        if self.pc:
            self.pc.close()

    # -- helpers -------------------------------------------------------------

    def connect(self):
        if self.pc:
            self.pc.close()
        self.pc = Pc(self.nb.port_tcp, timeout=5)
        return self.pc

    def stored_id(self):
        high, low = self.pc.read_regs(804, 2)
        return high * 65536 + low

    def write_regs(self, start, values, tid):
        answer = self.pc.write_regs(start, values, tid)
        self.assertEqual(answer, struct.pack(">HHHBBHH", tid, 0, 6, 255, 16, start, len(values)))

    def rows(self, first_id=1):
        return self.nb.peek("SELECT %s FROM event WHERE ID >= ? ORDER BY rowid"
                            % ",".join(EVENT_COLUMNS), (first_id,))

    def present(self, address, code, expect_line, expected_row, not_lines=()):
        """Presents a card; waits for the reader command on the line and the
        event row. The row matches expected_row except for its time, which must
        lie between the moments before and after."""
        mark = self.sim.mark()
        id_ = expected_row[0]
        before = time.time()
        self.assertEqual(self.sim.command("card %d %s" % (address, code)), "ok")
        self.assertTrue(self.sim.wait_line(expect_line, 10, mark),
                        "no '%s' after card %s at %d: %r"
                        % (expect_line, code, address, self.sim.since(mark)))
        got = wait_for(lambda: self.rows(id_), 10)
        after = time.time()
        # The row is in the file a moment before the loop takes the commit's
        # result and shows its Id to the PC (804/805).
        self.assertTrue(wait_for(lambda: self.stored_id() >= id_, 5))
        self.assertEqual(len(got), 1, got)
        row = got[0]
        self.assertEqual(row[:3] + row[4:], expected_row[:3] + expected_row[4:])
        self.assertGreaterEqual(row[3], event_time(before) - 1)
        self.assertLessEqual(row[3], event_time(after) + 1)
        for line in not_lines:
            self.assertNotIn(line, self.sim.since(mark))
        return row

    @staticmethod
    def wait_first_tick(listening):
        """Until zone_mask is first computed, 3 s after start-up, every known
        card is outside its time zones. Nothing shows that tick outside, and a
        register write to show it would rebuild the reader list, so wait it
        out with room for a loaded machine."""
        time.sleep(max(0.0, listening + 4.5 - time.monotonic()))

    @staticmethod
    def expect_row(id_, address, status, code, code_no):
        """An event row; time (None here) is checked apart, zone mask 1 is
        zone 0 alone."""
        return (id_, 80, address, None, 1, 42, *code_bytes(code), status, code_no, 0, 0, 0)

    def fetch(self, tid, expected_rows):
        """One event request for 7 records: byte-exact against the rows."""
        answer = self.pc.read_file_record(128, 0, 7, tid)
        n = len(expected_rows)
        records = b"".join(event_record(r) for r in expected_rows)
        self.assertEqual(answer, struct.pack(">HHHBBBBB", tid, 0, 32 * n + 5, 255, 20,
                                             32 * n + 2, 32 * n + 1, 6) + records)
        # An independent decoder agrees on the framing.
        decoded = ReadFileRecordResponse()
        decoded.decode(answer[8:])
        self.assertEqual([r.record_data for r in decoded.records], [records])

    def assert_nothing_to_fetch(self, tid):
        self.assertEqual(self.pc.read_file_record(128, 0, 7, tid),
                         struct.pack(">H", tid) + bytes.fromhex("00000003FF9402"))

    # -- the road ------------------------------------------------------------

    @step
    def test_1_cards_are_decided_at_the_readers_and_fetched_by_the_pc(self):
        pc = self.connect()
        # Time zone 0 active all day on all seven days; zone 1 never.
        self.write_regs(1700, [0, 1440] * 7, 0x0101)
        self.write_regs(3170, [CARD_COUNT], 0x0102)
        self.write_regs(800, [0, 1], 0x0103)
        # The readers last: every register write rebuilds the reader list, and
        # after a rebuild a reader's next changed code only sets its reference.
        # New entries take the empty line of their first poll as that change.
        slots = []
        for address, geo, flags in READERS:
            slots += [address << 8 | geo, flags << 8, 0, 0]
        self.write_regs(1400, slots, 0x0104)

        records = [card_record(i, t, c, tz, g, REST) for i, t, c, tz, g in CARDS]
        request, echo = pc.write_file_record(8, records, tid=0x0201)
        pymodbus_pdu = WriteFileRecordRequest(
            [FileRecord(file_number=8, record_number=0, record_data=b"".join(records))]).encode()
        self.assertEqual(request[7:], bytes([21]) + pymodbus_pdu)
        self.assertEqual(echo, request)

        # Read back: file 8 from record 0 (entries 0-2), record 10; entry 3
        # was never uploaded.
        head = lambda tid, k: struct.pack(">HHHBBBBB", tid, 0, 32 * k + 5, 255, 20,
                                          32 * k + 2, 32 * k + 1, 6)
        self.assertEqual(pc.read_file_record(8, 0, 3, 0x0301),
                         head(0x0301, 3) + b"".join(records[:3]))
        self.assertEqual(pc.read_file_record(8, 10, 1, 0x0302), head(0x0302, 1) + records[3])
        self.assertEqual(pc.read_file_record(8, 3, 1, 0x0303), head(0x0303, 1) + bytes(32))

        # zone_mask is computed at the start of the 3 s tick that also stores
        # the changed registers: once the slots are in the file, the mask
        # knows the table.
        self.assertTrue(wait_for(lambda: [v for (v,) in self.nb.peek(
            "SELECT val FROM register WHERE adres BETWEEN 1400 AND 1411 ORDER BY adres")]
            == slots, 15))

        relay = "relay fired at address %d"
        buz_n = "buzzer pattern 0x%04X at address %%d" % N_CARD
        buz_s = "buzzer pattern 0x%04X at address %%d" % S_CARD
        card0, card1, card2, card10 = (c[2] for c in CARDS)
        expected = [
            # Reader 3 has both relay bits; reader 5 only 0x04, still its own relay.
            (3, card0, relay % 3, 4, 0),
            (5, card0, relay % 5, 4, 0),
            # Reader 7 has no relay: its geo-zone partner with both bits fires.
            (7, card0, relay % 3, 4, 0),
            (3, card1, buz_s % 3, 7, 1),
            (3, card2, buz_s % 3, 6, 2),
            (5, "0102030405", buz_n % 5, 0, UNKNOWN),
            (7, card10, buz_n % 7, 0, UNKNOWN),
            # Outside both its geo and its time zones: geo wins.
            (5, card2, buz_s % 5, 7, 2),
            (5, card1, relay % 5, 4, 1),
        ]
        rows = []
        for n, (address, code, line, status, code_no) in enumerate(expected, start=1):
            not_lines = [relay % 7] if address == 7 else []
            rows.append(self.present(address, code, line,
                                     self.expect_row(n, address, status, code, code_no),
                                     not_lines))
        self.assertNotIn(relay % 7, self.sim.since(0))
        # The monitor log (mirrored to stdout) tells each decision; the
        # partner case in full.
        self.assertTrue(wait_for(lambda: self.nb.stdout().count("\nKarta ") >= 9, 5))
        log = self.nb.stdout().splitlines()
        self.assertEqual([l for l in log if l.startswith("Karta ")], [
            "Karta ważna, przekaznik w tym czytniku: 3",
            "Karta ważna, przekaznik w tym czytniku: 5",
            "Karta ważna, przekaznik w innym czytniku:",
            "Karta poza strefą geograficzną",
            "Karta poza strefą czasową",
            "Karta nieznana",
            "Karta nieznana",
            "Karta poza strefą geograficzną",
            "Karta ważna, przekaznik w tym czytniku: 5"])
        self.assertIn("\n".join(["kod karty:" + card0, "ilosc kart:4", "id karty: 0",
                                 "karta przy czytniku o adresie: 7",
                                 "Karta ważna, przekaznik w innym czytniku:",
                                 "Wyzwolenie przekażnika w czytnkiu o adresie:3"]),
                      "\n".join(log))
        self.assertEqual(pc.read_regs(804, 2, 0x0401), [0, 9])

        # 7 per request from the pointer 1: 7 records, then 2, then none;
        # the pointer moves by the records sent.
        self.fetch(0x0501, rows[:7])
        self.assertEqual(pc.read_regs(800, 2, 0x0502), [0, 8])
        self.fetch(0x0503, rows[7:])
        self.assertEqual(pc.read_regs(800, 2, 0x0504), [0, 10])
        self.assert_nothing_to_fetch(0x0505)
        self.assertEqual(pc.read_regs(800, 2, 0x0506), [0, 10])
        self.assertNotIn("blad zapisu", self.nb.stderr())

    @step
    def test_2_restart_keeps_the_numbering_and_the_read_pointer(self):
        self.assertEqual(self.nb.stop(), 0)
        self.assertEqual(self.nb.query("SELECT adres, val FROM register WHERE adres IN "
                                       "(800, 801, 804, 805) ORDER BY adres"),
                         [(800, 0), (801, 10), (804, 0), (805, 9)])
        self.assertEqual(self.nb.query("SELECT numer, typ, kod, lcd, time_zone, geo_zone "
                                       "FROM karty WHERE numer IN (1, 2, 3, 11) ORDER BY numer"),
                         [(i + 1, t, c, "---", tz, g) for i, t, c, tz, g in CARDS])
        self.nb.start()
        listening = time.monotonic()
        pc = self.connect()
        self.assertEqual(pc.read_regs(800, 6, 0x0601), [0, 10, 0, 0, 0, 9])
        self.assert_nothing_to_fetch(0x0602)
        # The uploaded records live in memory only.
        self.assertEqual(pc.read_file_record(8, 0, 1, 0x0603),
                         struct.pack(">HHHBBBBB", 0x0603, 0, 37, 255, 20, 34, 33, 6) + bytes(32))

        self.wait_first_tick(listening)
        row = self.present(3, CARDS[0][2], "relay fired at address 3",
                           self.expect_row(10, 3, 4, CARDS[0][2], 0))
        self.fetch(0x0604, [row])
        self.assertEqual(pc.read_regs(800, 6, 0x0605), [0, 11, 0, 0, 0, 10])
        self.assert_nothing_to_fetch(0x0606)

    @step
    def test_3_kill_right_after_an_event_never_repeats_an_id(self):
        # Reader 5 last saw card 1; card 0 is a change. The row counts as
        # stored once it is in the file and the commit has removed its journal.
        journal = self.nb.db + "-journal"
        stored = lambda: (self.nb.peek("SELECT 1 FROM event WHERE ID = 11")
                          and not os.path.exists(journal))
        self.assertEqual(self.sim.command("card 5 " + CARDS[0][2]), "ok")
        self.assertTrue(wait_for(stored, 10, step=0.005))
        self.nb.kill()

        # The counter that numbers the row went to the file with it, well
        # before the next write-back tick.
        self.assertEqual(self.nb.query("SELECT MAX(ID) FROM event"), [(11,)])
        self.assertEqual(self.nb.query("SELECT val FROM register WHERE adres IN (804, 805) "
                                       "ORDER BY adres"), [(0,), (11,)])

        self.nb.start()
        self.connect()
        self.wait_first_tick(time.monotonic())
        # Reader 7 last saw card 10; after the restart card 0 is a change.
        self.present(7, CARDS[0][2], "relay fired at address 3",
                     self.expect_row(12, 7, 4, CARDS[0][2], 0))
        self.assertEqual(self.nb.peek("SELECT ID FROM event GROUP BY ID HAVING COUNT(*) > 1"),
                         [])
        self.assertEqual(self.nb.peek("SELECT val FROM register WHERE adres IN (804, 805) "
                                      "ORDER BY adres"),
                         [(0,), (12,)])
        pc = self.connect()
        self.assertEqual(pc.read_regs(804, 2, 0x0701), [0, 12])
        self.assertNotIn("blad zapisu", self.nb.stderr())


if __name__ == "__main__":
    unittest.main()
