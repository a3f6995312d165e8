"""The reader bus of the real netbuf on a socat pty pair: the frames it
writes, byte for byte and in poll order; relay commands repeated until
acknowledged; readers played by pymodbus RTU slaves (an independent Modbus
implementation) with mbpoll as the PC talking through netbuf; and a line that
carries garbage and then goes away."""

import os
import random
import statistics
import subprocess
import time
import unittest

from netbuf_harness import (Installation, LineTap, Netbuf, Pc, PtyPair, PymodbusReaders, RawReaders,
                            ReaderSim, buzzer_frame, card0_all_day, configure_readers,
                            cpu_seconds, poll_frame, reader_slots, relay_frame, remote, wait_for,
                            with_crc, shut_down)

POLL_1 = bytes.fromhex("0103000A0005A5CB")
N_CARD = 0x8001
EVENT = ("SELECT ID,typ,ADR485,timezone,typ_kodu,kod1,kod2,kod3,kod4,kod5,status,code_no,"
         "alarm,event,q5 FROM event ORDER BY rowid")


class RawLineTest(unittest.TestCase):
    """Readers 1, 5 and 300 (slot 1 left empty) answered by the test itself,
    which sees every byte netbuf writes and when."""

    DELAY = 50

    def setUp(self):
        self.nb = Netbuf(com=3, delay=self.DELAY, n_card=N_CARD, monitor="rs,zd")
        self.site = Installation(
            self.nb,
            prepare=lambda nb: configure_readers(nb, [(1, 0, 0), None, (5, 0, 0x0C), (300, 0, 0)]),
            # 300 goes out as its low byte.
            readers=lambda device: RawReaders(device, [1, 5, 0x2C]))
        self.line, self.readers = self.site.line, self.site.readers

    def tearDown(self):
        self.site.stop()

    def test_one_poll_per_tick_in_reader_list_order(self):
        self.assertTrue(self.readers.wait_count(40, 30), self.nb.stderr())
        seen = self.readers.since()
        frames = [f for _, f in seen]
        # The test's own frame builders against known vectors.
        self.assertEqual(poll_frame(1), POLL_1)
        self.assertEqual(relay_frame(1), bytes.fromhex("0110009600010200FE3AE6"))
        self.assertEqual(buzzer_frame(1, 0), bytes.fromhex("011000970001020000BAB7"))
        self.assertEqual(set(frames), {POLL_1, poll_frame(5), poll_frame(0x2C)})
        order = [f[0] for f in frames]
        first = order.index(1)
        self.assertEqual(order[first:], ([1, 5, 0x2C] * 20)[:len(order) - first])
        # One frame per tick: frames never come in bursts. (How late a loaded
        # machine fires the timer is the latency benchmark's business.)
        gaps = [b[0] - a[0] for a, b in zip(seen, seen[1:])]
        self.assertGreater(statistics.median(gaps), 0.5 * self.DELAY / 1000, gaps)
        # Each answer is appended to the line of its poll.
        self.assertIn("BUF->READER:0103000A0005A5CB" "READER->BUF:*01*03*0A" + "*00" * 10 +
                      "*24*B6", self.nb.stdout_lines())

    def test_relay_repeated_until_acknowledged_and_buzzer_for_unknown_card(self):
        readers = self.readers
        readers.relay_unanswered.add(5)
        self.assertIsNotNone(readers.wait_frame(poll_frame(0x2C), 2, 20), self.nb.stderr())
        mark = readers.mark()
        self.assertEqual(remote(self.nb.service, "#x,y,1,2,4$"), b"OK")
        third = readers.wait_frame(relay_frame(5), 3, 15, mark)
        self.assertIsNotNone(third)
        frames = [f for _, f in readers.since(mark)][:third - mark + 1]
        first = frames.index(relay_frame(5))
        second = frames.index(relay_frame(5), first + 1)
        # The opening goes out ahead of the round robin, before reader 5's own
        # turn; unacknowledged, it is repeated at every turn of reader 5 in
        # place of its poll, and the others are polled as before.
        self.assertLess(second - first, 3)
        self.assertEqual(frames[second:],
                         [relay_frame(5), poll_frame(0x2C), POLL_1, relay_frame(5)])

        # Once an acknowledgement comes back the repetition stops and reader 5
        # is polled again.
        readers.relay_unanswered.discard(5)
        self.assertTrue(wait_for(lambda: any(i > third for i in readers.acknowledged), 10))
        acked = min(i for i in readers.acknowledged if i > third)
        self.assertIsNotNone(readers.wait_frame(poll_frame(5), 2, 10, acked))
        frames = [f for _, f in readers.since()]
        last = max(i for i, f in enumerate(frames) if f == relay_frame(5))
        self.assertIn(last, readers.acknowledged)
        self.assertEqual(frames[last + 1:last + 4], [poll_frame(0x2C), POLL_1, poll_frame(5)])
        self.assertEqual(self.nb.stdout_lines().count(
            "Wyzwolenie przekażnika w czytnkiu o adresie:5"), frames.count(relay_frame(5)))

        # Reader 1's first answers only set its reference code; the next code
        # is an unknown card: an event row, and at reader 1's next turn the
        # N_CARD buzzer (pattern low byte first) in place of one poll.
        mark = readers.mark()
        readers.present(1, bytes.fromhex("A50A1B2C3D4E"))
        buzzer = with_crc(bytes.fromhex("011000970001020180"))
        buzz = readers.wait_frame(buzzer, 1, 10, mark)
        self.assertIsNotNone(buzz, [f.hex() for _, f in readers.since(mark)])
        self.assertTrue(readers.wait_count(3, 10, buzz + 1))
        self.assertEqual([f for _, f in readers.since(buzz + 1)][2], POLL_1)
        rows = wait_for(lambda: self.nb.peek(EVENT), 10)
        self.assertEqual(rows, [(1, 80, 1, 0, 42, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0, 65535,
                                 0, 0, 0)])
        self.assertTrue(self.nb.wait_stdout_line("Buzzer w czytnkiu o adresie:1"))
        self.assertEqual([f for _, f in readers.since()].count(buzzer), 1)


class PymodbusLineTest(unittest.TestCase):
    """Readers 1, 2 and 3 are pymodbus RTU slaves; socat records what netbuf
    writes. The PC configures the readers with function 16 after start-up and
    talks to reader 2 through netbuf with mbpoll."""

    def setUp(self):
        self.nb = Netbuf(com=3, delay=100, n_card=N_CARD, monitor="rs,tcp")
        self.line = self.tap = self.slaves = None
        try:
            sniff = os.path.join(self.nb.dir, "line.bin")
            self.line = PtyPair(self.nb.dir, "COM3", "readers", sniff=sniff)
            self.tap = LineTap(sniff)
            card0_all_day(self.nb)
            self.slaves = PymodbusReaders(self.line.b, [1, 2, 3])
            self.nb.start()
            self.started = time.monotonic()
        except BaseException:
            self.tearDown()
            raise

    def tearDown(self):
        shut_down(self.nb, self.slaves, self.tap, self.line)

    def run_mbpoll(self, *args, values=()):
        """mbpoll as the PC, asking again after a time-out: a slave that
        stalls answers two frames at once, and netbuf drops an accumulation
        that long whole, as a real PC would then see too."""
        cmd = ["mbpoll", "-m", "tcp", "-a", "2", "-p", str(self.nb.port_tcp), "-0", "-1",
               "-o", "3", *args, "127.0.0.1", *values]
        for _ in range(3):
            r = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
            if r.returncode == 0:
                break
        return r

    def frames_between(self, t0, t1):
        return [f for t, f in self.tap.since() if t0 <= t <= t1]

    def test_polls_commands_and_pass_through_with_pymodbus_readers(self):
        tap, slaves = self.tap, self.slaves
        # No reader configured: nothing on the line.
        time.sleep(0.5)
        self.assertEqual(tap.since(), [])
        pc = Pc(self.nb.port_tcp)
        try:
            slots = reader_slots([(1, 0, 0x0C), (2, 0, 0), (3, 0, 0)])
            self.assertEqual(pc.write_regs(1400, slots, tid=9).hex(),
                             "000900000006ff100578000c")
        finally:
            pc.close()
        self.assertIsNotNone(tap.wait_frame(poll_frame(3), 2, 15), self.nb.stderr())
        # The cycle goes on from where it stood; the list is served in order.
        order = [f[0] for _, f in tap.since()]
        self.assertEqual(order, ([1, 2, 3] * 30)[order[0] - 1:][:len(order)])
        self.assertEqual(set(f for _, f in tap.since()), {POLL_1, poll_frame(2), poll_frame(3)})

        # Pass-through read: mbpoll gets reader 2's registers, which netbuf
        # fetched with the forwarded frame at reader 2's turn.
        slaves.set(2, 0, [1234, 5678])
        mark = tap.mark()
        r = self.run_mbpoll("-r", "0", "-c", "2")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("[0]: \t1234", r.stdout)
        self.assertIn("[1]: \t5678", r.stdout)
        self.assertIsNotNone(tap.wait_frame(bytes.fromhex("020300000002C438"), 1, 5, mark))
        # The reader's answer continues the line of the forwarded frame.
        answer = bytes.fromhex("02030404D2162E")
        self.assertTrue(self.nb.wait_stdout_line(
            "PC->BUF->READER.02.03.00.00.00.02.C4.38READER->BUF:" +
            "".join("*%02X" % b for b in with_crc(answer))), self.nb.stdout()[-3000:])
        # The same read as raw bytes: only the low byte of the transaction
        # identifier comes back.
        pc = Pc(self.nb.port_tcp)
        try:
            for _ in range(3):
                pc.send(bytes.fromhex("010700000006" "020300000002"))
                got = pc.recv_answer(3)
                if got:
                    break
            self.assertEqual(got, bytes.fromhex("000700000007") + answer)
        finally:
            pc.close()
        self.assertTrue(self.nb.wait_stdout_line(
            "BUF->PC:03:13-> 00 07 00 00 00 07 02 03 04 04 D2 16 2E"), self.nb.stdout()[-3000:])
        # A write, while polls of reader 2 are held off: the forwarded frame
        # still goes out at its turn.
        mark = tap.mark()
        # (Two values: mbpoll writes a single one with function 6, which
        # netbuf does not forward.)
        w = self.run_mbpoll("-r", "5", "-t", "4", values=["77", "4660"])
        self.assertEqual(w.returncode, 0, w.stdout + w.stderr)
        self.assertEqual(slaves.get(2, 5, 2), [77, 0x1234])
        fwd = tap.wait_frame(with_crc(bytes.fromhex("0210000500020400" "4D1234")), 1, 5, mark)
        self.assertIsNotNone(fwd)
        t_fwd = tap.since(fwd)[0][0]

        # Cards meanwhile, at the readers not held off. Reader 3: unknown
        # card, buzzer pattern 0x8001 sent low byte first, so pymodbus holds
        # 0x0180 in register 151. (Time zones count from the first write-back
        # tick, 3 s after start.)
        time.sleep(max(0.0, self.started + 4.5 - time.monotonic()))
        mark = tap.mark()
        slaves.set(3, 12, [0x0055, 0x6677, 0x8899])
        self.assertIsNotNone(tap.wait_frame(buzzer_frame(3, N_CARD), 1, 10, mark))
        self.assertTrue(wait_for(lambda: slaves.get(3, 151) == [0x0180], 5))
        # Reader 1, own relay bits: card 0 is granted, the relay frame goes
        # out until pymodbus acknowledges it, then reader 1 is polled again.
        mark = tap.mark()
        slaves.set(1, 12, [0x000A, 0x1B2C, 0x3D4E])
        first = tap.wait_frame(relay_frame(1), 1, 10, mark)
        self.assertIsNotNone(first, (self.nb.peek(EVENT), self.nb.stdout()[-1500:]))
        self.assertTrue(wait_for(lambda: slaves.get(1, 150) == [0x00FE], 5))
        back = tap.wait_frame(POLL_1, 1, 10, first)
        self.assertIsNotNone(back)
        self.assertTrue(tap.wait_count(6, 10, back))
        self.assertNotIn(relay_frame(1), [f for _, f in tap.since(back)])
        rows = wait_for(lambda: len(self.nb.peek(EVENT)) == 2 and self.nb.peek(EVENT), 10)
        self.assertEqual(rows, [(1, 80, 3, 1, 42, 0x55, 0x66, 0x77, 0x88, 0x99, 0, 65535, 0, 0, 0),
                                (2, 80, 1, 1, 42, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 4, 0, 0, 0, 0)])

        # Reader 2 is polled again only after 6 to 9 s; the others go on.
        back = tap.wait_frame(poll_frame(2), 1, 20, fwd)
        self.assertIsNotNone(back, self.nb.stderr())
        t_back = tap.since(back)[0][0]
        self.assertGreater(t_back - t_fwd, 5.5)
        held = self.frames_between(t_fwd + 0.1, t_back - 0.1)
        self.assertGreater(held.count(POLL_1), 3)
        self.assertGreater(held.count(poll_frame(3)), 3)
        self.assertNotIn(poll_frame(2), held)


class GarbageLineTest(unittest.TestCase):
    """netbuf-readersim plays readers 1, 2 and 3 and throws garbage onto the
    line; at the end the line goes away."""

    def setUp(self):
        self.nb = Netbuf(com=3, delay=30, n_card=N_CARD, monitor="rs")
        self.site = Installation(
            self.nb, prepare=lambda nb: configure_readers(nb, [(1, 0, 0), (2, 0, 0), (3, 0, 0)]),
            readers=lambda device: ReaderSim(device, "--readers", "1,2,3"))
        self.line, self.sim = self.site.line, self.site.readers

    def tearDown(self):
        self.site.stop()

    def noise_until(self, frame, text):
        """Writes frame until netbuf logs text: a chunk that meets a reader's
        answer in one read is dropped whole, so once may not be enough."""
        for _ in range(5):
            self.assertEqual(self.sim.command("noise " + frame.hex(" ")), "ok")
            if wait_for(lambda: text in self.nb.stdout(), 2):
                return True
        return False

    def test_garbage_then_lost_line(self):
        sim, nb = self.sim, self.nb
        self.assertTrue(sim.wait_line("poll address 3", 15), nb.stderr())
        pc = Pc(nb.port_tcp, timeout=5)
        try:
            rng = random.Random(485)
            for _ in range(30):
                burst = bytes(rng.randrange(256) for _ in range(rng.randint(1, 25)))
                self.assertEqual(sim.command("noise " + burst.hex(" ")), "ok")
            # Garbage left waiting in netbuf can swallow the next answer or two
            # (too long together: dropped whole); the rest show as CRC errors.
            errors = nb.stdout_lines().count("F03 CRC error!!!")
            self.assertEqual(sim.command("badcrc 2 5"), "ok")
            self.assertTrue(nb.wait_stdout_line("F03 CRC error!!!", 10, errors + 2),
                            nb.stdout()[-2000:])
            # A function 16 answer with a broken CRC, an exception answer, and a
            # good answer from an address no reader has.
            self.assertTrue(self.noise_until(bytes.fromhex("0210009600010000"),
                                             "F10 CRC error!!!"), nb.stdout()[-2000:])
            strays = (with_crc(bytes.fromhex("018302")) +
                      with_crc(bytes.fromhex("09030A" "8000" "0000" "0A1B2C3D4E5F")))
            self.assertTrue(self.noise_until(strays, "READER->BUF:*09*03*0A*80*00"),
                            nb.stdout()[-2000:])
            self.assertNotIn("*01*83", nb.stdout())
            self.assertTrue(nb.alive())

            # Every reader is still polled, and a card is still decided.
            mark = sim.mark()
            for a in (1, 2, 3):
                self.assertTrue(sim.wait_line("poll address %d" % a, 10, mark))
            self.assertEqual(pc.read_regs(1400, 5), [1 << 8, 0, 0, 0, 2 << 8])
            self.assertEqual(sim.command("card 1 000A1B2C3D4E"), "ok")
            self.assertTrue(sim.wait_line("buzzer pattern 0x8001 at address 1", 10, mark))
            rows = wait_for(lambda: nb.peek(EVENT), 10)
            self.assertEqual(rows, [(1, 80, 1, 0, 42, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0, 65535,
                                     0, 0, 0)])

            # The line goes away: netbuf stays up, answers the PC and the
            # remote port, and does not spin on the dead port.
            self.line.close()
            self.assertEqual(sim.proc.wait(10), 3)
            time.sleep(1)
            self.assertTrue(nb.alive())
            self.assertEqual(pc.read_regs(1404, 1), [2 << 8])
            self.assertEqual(remote(nb.service, "#x,y,1,2,0$"), b"OK")
            cpu = cpu_seconds(nb.proc.pid)
            time.sleep(3)
            self.assertLess(cpu_seconds(nb.proc.pid) - cpu, 1.5)
            self.assertEqual(pc.read_regs(1408, 1), [3 << 8])
        finally:
            pc.close()
        self.assertTrue(nb.alive())


if __name__ == "__main__":
    unittest.main()
