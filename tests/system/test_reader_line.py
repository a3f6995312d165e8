"""The reader line as a wire sees it: netbuf on the emulated 19200-baud RS485
bus of test_peers, readers that answer late, a third-party RTU slave behind
the pass-through, a line that stops taking bytes, and the RS485 direction
control recorded on a pty by an LD_PRELOAD shim."""

import contextlib
import os
import termios
import time
import unittest

from netbuf_harness import (BIN, Netbuf, Pc, PtyPair, RawReaders, configure_readers, mbap,
                            poll_frame, relay_frame, remote, shut_down, wait_for)
from test_peers import LibmodbusReader, WireBus

SILENCE_S = 3.5 * WireBus.CHAR_S


class LineOrderTest(unittest.TestCase):
    """Eight readers that each start answering 15 ms after the request."""

    def test_commands_go_ahead_and_late_readers_are_not_talked_over(self):
        addresses = list(range(1, 9))
        nb = Netbuf(com=3, delay=20)
        bus = raw = None
        try:
            configure_readers(nb, [(a, 0, 0) for a in addresses])
            bus = WireBus(nb.dir, {"r": addresses})
            raw = RawReaders(bus.ports["r"], addresses)
            raw.late = {a: 0.015 for a in addresses}
            nb.start()
            self.assertIsNotNone(bus.wait_frame("master", poll_frame(8), 0, 15), nb.stderr())
            start = bus.mark()
            # A remote opening goes at the line's next free moment: the frame
            # on the line when it came may finish, then the relay, whichever
            # reader's turn it is.
            for a in (8, 4, 6, 2):
                mark = bus.mark()
                self.assertEqual(remote(nb.service, "#x,y,1,2,%d$" % (a - 1)), b"OK")
                self.assertIsNotNone(bus.wait_frame("master", relay_frame(a), mark, 5))
                sent = [f for _, _, f in bus.frames("master", mark)]
                self.assertLessEqual(sent.index(relay_frame(a)), 1, [f.hex() for f in sent])
                time.sleep(0.3)

            with bus.cond:
                runs = [tuple(t) for t in bus.transmissions[start:]]
            self.assertGreater(sum(1 for w, *_ in runs if w == "master"), 20)
            for i, (who, t0, _, data) in enumerate(runs):
                if who != "master" or i == 0:
                    continue
                # Never over a reader's answer, and only after 3.5 characters
                # of silence.
                self.assertGreaterEqual(t0 - runs[i - 1][2], SILENCE_S - 1e-4,
                                        (runs[i - 1][0], runs[i - 1][3].hex(), data.hex()))
                # Every frame but the last one is answered before the next.
                if i + 1 < len(runs) - 1:
                    self.assertEqual(runs[i + 1][0], "reader", data.hex())
        finally:
            shut_down(nb, raw, bus)


class GatewayTest(unittest.TestCase):
    """A libmodbus RTU slave as reader 9; reader 5 is configured but nobody
    answers for it; no reader slot has address 77."""

    @classmethod
    def setUpClass(cls):
        cls.nb = Netbuf(com=3, delay=30)
        cls.bus = cls.r9 = None
        try:
            configure_readers(cls.nb, [(9, 0, 0), (5, 0, 0)])
            cls.bus = WireBus(cls.nb.dir, {"r9": [9]})
            cls.r9 = LibmodbusReader(cls.bus.ports["r9"], 9)
            cls.r9.set(0, range(100, 140))
            cls.nb.start()
            if not cls.bus.wait_frame("master", poll_frame(9), 0, 15):
                raise RuntimeError("reader 9 is not polled")
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        shut_down(cls.nb, cls.r9, cls.bus)

    def test_pipelined_requests_are_each_answered_in_order(self):
        requests = [mbap(0x0100 + i, 9, bytes([3, 0, i, 0, 2])) for i in range(10)]
        expected = b"".join(mbap(i, 9, bytes([3, 4, 0, 100 + i, 0, 101 + i]))
                            for i in range(10))
        with contextlib.closing(Pc(self.nb.port_tcp)) as pc:
            with self.subTest("ten in one segment"):
                pc.send(b"".join(requests))
                self.assertEqual(b"".join(pc.recv_answer(5) for _ in requests), expected)
            with self.subTest("ten, 2 ms apart"):
                for r in requests:
                    pc.send(r)
                    time.sleep(0.002)
                self.assertEqual(b"".join(pc.recv_answer(5) for _ in requests), expected)

    def test_gateway_exceptions_with_pymodbus(self):
        from pymodbus.client import ModbusTcpClient
        c = ModbusTcpClient("127.0.0.1", self.nb.port_tcp, timeout=5)
        self.assertTrue(c.connect())
        try:
            for unit, code in ((5, 0x0B), (77, 0x0A)):
                with self.subTest(unit=unit):
                    r = c.read_holding_registers(0, 2, slave=unit)
                    self.assertEqual(getattr(r, "exception_code", None), code, r)
            # The line goes on: reader 9 answers the PC as before.
            self.assertEqual(c.read_holding_registers(3, 2, slave=9).registers, [103, 104])
        finally:
            c.close()

    def test_stalled_line_leaves_the_pc_served(self):
        # Output stopped on netbuf's end of the line: its frames go nowhere.
        fd = os.open(os.path.join(self.nb.dir, "COM3"), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            termios.tcflow(fd, termios.TCOOFF)
            with contextlib.closing(Pc(self.nb.port_tcp)) as pc:
                for i in range(20):
                    self.assertEqual(pc.read_regs(1400, 2, 0x0200 + i), [0x0900, 0])
                # A reader behind the stalled line fails as a gateway's does.
                pc.send(mbap(0x0301, 9, bytes([3, 0, 0, 0, 1])))
                self.assertEqual(pc.recv_answer(5), bytes.fromhex("00010000000309830B"))
            termios.tcflow(fd, termios.TCOON)
            mark = self.bus.mark()
            self.assertIsNotNone(self.bus.wait_frame("master", poll_frame(9), mark, 10))
        finally:
            termios.tcflow(fd, termios.TCOON)
            os.close(fd)


class DirectionControlTest(unittest.TestCase):
    """What netbuf asks of the port in each --rs485 mode, recorded by
    rs485_shim.so on a pty (which itself has no RS485 mode)."""

    SHIM = os.path.join(BIN, "rs485_shim.so")

    def run_mode(self, args, refuse=False):
        """The shim's lines once reader 1 has been polled twice; with refuse,
        netbuf's standard error once it has said why, no frame sent."""
        nb = Netbuf(com=3, delay=50)
        line = raw = None
        log = os.path.join(nb.dir, "shim.log")
        try:
            configure_readers(nb, [(1, 0, 0)])
            line = PtyPair(nb.dir, "COM3", "readers")
            raw = RawReaders(line.b, [1])
            env = {"LD_PRELOAD": self.SHIM, "NETBUF_SHIM_LOG": log}
            env.update({"NETBUF_SHIM_REFUSE": "1"} if refuse else {})
            nb.start(env_extra=env, args=args)
            if refuse:
                self.assertTrue(wait_for(lambda: "RS485" in nb.stderr(), 10))
                time.sleep(0.5)
                self.assertEqual(raw.since(), [])
                return nb.stderr()
            self.assertIsNotNone(raw.wait_frame(poll_frame(1), 2, 10))
            nb.stop()
            with open(log) as f:
                return f.read().splitlines()
        finally:
            shut_down(nb, raw, line)

    def test_modes(self):
        poll = "write " + poll_frame(1).hex().upper()
        # SER_RS485_ENABLED 1, RTS_ON_SEND 2, RTS_AFTER_SEND 4.
        for name, args, first in (
                ("kernel", ["--rs485", "kernel", "--rs485-delays", "2,3"],
                 "rs485 flags=3 before=2 after=3"),
                ("kernel-inverted", ["--rs485", "kernel-inverted"],
                 "rs485 flags=5 before=0 after=0")):
            with self.subTest(name):
                lines = self.run_mode(args)
                self.assertEqual(lines[0], first)
                self.assertIn(poll, lines)
                self.assertNotIn("rts on", lines)
        with self.subTest("rts"):
            lines = self.run_mode(["--rs485", "rts"])
            at = lines.index(poll)
            # RTS up, the frame, drained, RTS down: the transceiver talks only
            # while the frame is on the line.
            self.assertEqual(lines[at - 1:at + 3], ["rts on", poll, "drain", "rts off"])
        with self.subTest("refused"):
            self.assertIn("the port refuses RS485 mode kernel",
                          self.run_mode(["--rs485", "kernel"], refuse=True))


if __name__ == "__main__":
    unittest.main()
