"""netbuf-readersim on a socat pty pair, with the test as the bus master
writing raw RTU frames on the other end. CRCs of the frames come from the
harness's own Python CRC, not from the simulator."""

import os
import select
import signal
import subprocess
import tempfile
import termios
import time
import tty
import unittest

from netbuf_harness import BIN, PtyPair, ReaderSim, with_crc

POLL_1 = bytes.fromhex("0103000A0005A5CB")


class Master:
    """The test's end of the line, raw."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        attrs = termios.tcgetattr(self.fd)
        attrs[4] = attrs[5] = termios.B19200
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def send(self, frame):
        os.write(self.fd, bytes(frame))

    def receive(self, n, timeout=2.0):
        """Up to n bytes; fewer when the line stays quiet until the timeout."""
        buf = b""
        deadline = time.monotonic() + timeout
        while len(buf) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            buf += os.read(self.fd, n - len(buf))
        return buf

    def ask(self, frame, n, timeout=2.0):
        self.send(frame)
        return self.receive(n, timeout)

    def quiet(self, wait=0.3):
        return self.receive(1, wait) == b""

    def close(self):
        os.close(self.fd)


class ReaderSimTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="readersim-")
        self.line = PtyPair(self.tmp.name, "master", "readers")
        self.sims = []
        self.master = None

    def tearDown(self):
        for s in self.sims:
            s.stop()
        if self.master:
            self.master.close()
        self.line.close()
        self.tmp.cleanup()

    def start(self, *args, **kw):
        sim = ReaderSim(self.line.b, *args, **kw)
        self.sims.append(sim)
        self.master = Master(self.line.a)
        return sim

    def test_poll_card_and_relay_as_the_buffer_sees_them(self):
        sim = self.start("--readers", "1,5")
        # Five zero registers: status, spare, no card.
        self.assertEqual(self.master.ask(POLL_1, 15),
                         with_crc(bytes.fromhex("01030A") + bytes(10)))
        self.assertTrue(sim.wait_line("poll address 1"))

        self.assertEqual(sim.command("card 1 0A1B2C3D4E5F"), "ok")
        self.assertEqual(self.master.ask(POLL_1, 15),
                         with_crc(bytes.fromhex("01030A000000000A1B2C3D4E5F")))
        # Bit 15 of the status word and a 10-digit code on reader 5.
        self.assertEqual(sim.command("status 5 0x8000"), "ok")
        self.assertEqual(sim.command("card 5 123456789A"), "ok")
        self.assertEqual(self.master.ask(with_crc(bytes.fromhex("0503000A0005")), 15),
                         with_crc(bytes.fromhex("05030A" "8000" "0000" "00123456789A")))

        mark = sim.mark()
        relay = with_crc(bytes.fromhex("0510009600010200FE"))
        self.assertEqual(self.master.ask(relay, 8), with_crc(bytes.fromhex("051000960001")))
        self.assertTrue(sim.wait_line("relay fired at address 5", start=mark))
        # The buzzer pattern 0x8001 travels low byte first.
        buzzer = with_crc(bytes.fromhex("011000970001020180"))
        self.assertEqual(self.master.ask(buzzer, 8), with_crc(bytes.fromhex("011000970001")))
        self.assertTrue(sim.wait_line("buzzer pattern 0x8001 at address 1", start=mark))

        # Reader 3 is not simulated.
        self.master.send(with_crc(bytes.fromhex("0303000A0005")))
        self.assertTrue(self.master.quiet())

    def test_misbehaviour_on_command(self):
        sim = self.start("--readers", "1")
        good = with_crc(bytes.fromhex("01030A") + bytes(10))

        self.assertEqual(sim.command("badcrc 1 1"), "ok")
        broken = self.master.ask(POLL_1, 15)
        self.assertEqual(broken[:13], good[:13])
        self.assertNotEqual(broken, good)
        self.assertEqual(self.master.ask(POLL_1, 15), good)

        self.assertEqual(sim.command("silent 1 on"), "ok")
        self.master.send(POLL_1)
        self.assertTrue(self.master.quiet(0.5))
        self.assertEqual(sim.command("silent 1 off"), "ok")

        self.assertEqual(sim.command("delay 1 400"), "ok")
        self.master.send(POLL_1)
        self.assertTrue(self.master.quiet(0.2))
        self.assertEqual(self.master.receive(15, 2.0), good)
        self.assertEqual(sim.command("delay 1 0"), "ok")

        # One byte at a time, 20 ms apart: it takes a while but arrives whole.
        self.assertEqual(sim.command("split 1 1 20"), "ok")
        t0 = time.monotonic()
        self.assertEqual(self.master.ask(POLL_1, 15, 3.0), good)
        self.assertGreater(time.monotonic() - t0, 14 * 0.02)
        self.assertEqual(sim.command("split 1 0"), "ok")

        # A half frame dies with the burst; the poll after the pause is
        # answered without the two being taken for one broken request.
        mark = sim.mark()
        self.master.send(POLL_1[:3])
        time.sleep(0.1)
        self.assertEqual(self.master.ask(POLL_1, 15), good)
        self.master.send(POLL_1[:6] + b"\xff\xff")
        self.assertTrue(self.master.quiet())
        self.assertEqual(sim.wait_line(lambda l: l == "crc error", start=mark), "crc error")
        self.assertEqual(sim.lines[mark:].count("crc error"), 1)

        self.assertEqual(sim.command("noise 00 FF 55"), "ok")
        self.assertEqual(self.master.receive(3), b"\x00\xff\x55")

        self.assertTrue(sim.command("card 9 0A1B2C3D4E5F").startswith("error: "))
        self.assertTrue(sim.command("status 1 banana").startswith("error: "))
        dump = sim.mark()
        self.assertEqual(sim.command("dump 1"), "ok")
        self.assertTrue(sim.wait_line(lambda l: l.startswith("registers 0-20 at address 1: "),
                                      start=dump))
        self.assertEqual(sim.command("quit"), "ok")
        self.assertEqual(sim.proc.wait(5), 0)

    def test_runs_on_without_stdin_and_ends_with_the_line(self):
        sim = self.start("--readers", "1", stdin=subprocess.DEVNULL)
        self.assertEqual(self.master.ask(POLL_1, 15),
                         with_crc(bytes.fromhex("01030A") + bytes(10)))
        self.line.close()
        self.assertEqual(sim.proc.wait(5), 3)
        self.assertTrue(sim.wait_line(lambda l: l.startswith("line lost: ")))

    def test_signal_stops_it_cleanly_and_usage(self):
        sim = self.start()
        self.assertEqual(self.master.ask(POLL_1, 15)[:3], bytes.fromhex("01030A"))
        sim.proc.send_signal(signal.SIGTERM)
        self.assertEqual(sim.proc.wait(5), 0)

        exe = os.path.join(BIN, "netbuf-readersim")
        usage = subprocess.run([exe, "--help"], capture_output=True, text=True, timeout=10)
        self.assertEqual(usage.returncode, 0)
        for text in ("relay fired at address N", "buzzer pattern 0xPPPP", "badcrc ADDR N",
                     "split ADDR K"):
            self.assertIn(text, usage.stdout)
        bad = subprocess.run([exe, self.line.b, "--readers", "0"], capture_output=True,
                             text=True, timeout=10)
        self.assertEqual(bad.returncode, 2)
        missing = subprocess.run([exe, os.path.join(self.tmp.name, "none")],
                                 capture_output=True, text=True, timeout=10)
        self.assertEqual(missing.returncode, 1)


if __name__ == "__main__":
    unittest.main()
