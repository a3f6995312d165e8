"""The remote-control port of the real netbuf with real peers: plain sockets
as remote clients, netbuf-readersim with reader 5 on a socat pty pair as the
reader line, and the monitor log on netbuf's stdout."""

import signal
import socket
import time
import unittest

from netbuf_harness import Netbuf, Pc, simulated_readers, wait_for

RELAY_5 = "relay fired at address 5"


class Client:
    """A remote-control client on the service port."""

    def __init__(self, port, timeout=10.0, source=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                             source_address=(source, 0) if source else None)

    def send(self, text):
        self.sock.sendall(text.encode("latin-1") if isinstance(text, str) else text)

    def answer(self, wait=3.0):
        """What arrives within `wait` s: bytes, b"" when closed, None when silent."""
        self.sock.settimeout(wait)
        try:
            return self.sock.recv(100)
        except socket.timeout:
            return None
        except ConnectionError:
            return b""

    def ask(self, text, wait=5.0):
        self.send(text)
        return self.answer(wait)

    def close(self):
        self.sock.close()


class RemoteControlTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Reader 5 in slot 0, geo zone 0.
        cls.site = simulated_readers(Netbuf(com=3, monitor="zd,tcp"), [(5, 0, 0)])
        cls.nb, cls.line, cls.sim = cls.site.nb, cls.site.line, cls.site.readers

    @classmethod
    def tearDownClass(cls):
        cls.site.stop()

    def setUp(self):
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()

    def client(self):
        c = Client(self.nb.service)
        self.clients.append(c)
        return c

    def assert_still_serving(self):
        self.assertTrue(self.nb.alive())
        self.assertEqual(self.client().ask("#Jan,x,1,2,4$"), b"OK")
        pc = Pc(self.nb.port_tcp)
        try:
            self.assertIsNotNone(pc.read_regs(1400, 1))
        finally:
            pc.close()

    def test_command_opens_the_relay_once_and_is_logged(self):
        c = self.client()
        mark = self.sim.mark()
        c.send("#Jan,x,1,2,4$")
        # Exactly "OK": no line end follows.
        self.assertEqual(c.answer(), b"OK")
        self.assertIsNone(c.answer(0.5))
        self.assertTrue(self.sim.wait_line(RELAY_5, 10, mark))
        zd = "Przekaznik otwarty zdalnie przez:Jan, w czytniku o adresie:5"
        tcp = "Remote control->:Jan, x typ: 1 rozkaz:2 adres:5"
        self.assertTrue(self.nb.wait_stdout_line(tcp))
        lines = self.nb.stdout_lines()
        self.assertEqual(lines[lines.index(zd) + 1], tcp)
        self.assertIn("Wyzwolenie przekażnika w czytnkiu o adresie:5", lines)
        # The reader's acknowledgement ends the command: polls resume and the
        # relay frame is not repeated.
        self.assertTrue(self.sim.wait_line("poll address 5", 10, mark + 1))
        time.sleep(0.5)
        self.assertEqual(self.sim.since(mark).count(RELAY_5), 1)

        # typ and rozkaz change nothing; an address without a reader is still
        # answered; two commands in one segment are both carried out.
        self.assertEqual(c.ask("#Ewa,yy,99,-1,4$"), b"OK")
        self.assertTrue(self.nb.wait_stdout_line(
            "Remote control->:Ewa, yy typ: 99 rozkaz:-1 adres:5"))
        self.assertEqual(c.ask("#Ola,z,0,0,7$"), b"OK")
        self.assertTrue(self.nb.wait_stdout_line(
            "Przekaznik otwarty zdalnie przez:Ola, w czytniku o adresie:8"))
        got = c.ask("#Ala,a,1,2,4$#Ela,e,1,2,4$")
        if got == b"OK":
            got += c.answer() or b""
        self.assertEqual(got, b"OKOK")
        self.assertTrue(self.nb.wait_stdout_line(
            "Remote control->:Ala, a typ: 1 rozkaz:2 adres:5"))
        self.assertTrue(self.nb.wait_stdout_line(
            "Remote control->:Ela, e typ: 1 rozkaz:2 adres:5"))

    def test_malformed_commands_get_no_answer_and_change_nothing(self):
        c = self.client()
        mark = self.sim.mark()
        for bad, report in (("#a,b,x,2,4$", "'x' is not a valid integer value"),
                            ("#a,b,1,2,4", "'' is not a valid integer value")):
            before = self.nb.stderr().count(report)
            c.send(bad)
            self.assertIsNone(c.answer(1.0), bad)
            self.assertTrue(wait_for(lambda: self.nb.stderr().count(report) > before, 10), bad)
        self.assertNotIn("przez:a,", self.nb.stdout())
        self.assertNotIn("Remote control->:a,", self.nb.stdout())
        # Reader 5 would have had its relay fired had either been queued.
        self.assertTrue(self.sim.wait_line("poll address 5", 10, mark))
        time.sleep(0.5)
        self.assertNotIn(RELAY_5, self.sim.since(mark))
        # The same connection goes on, and so does everything else.
        self.assertEqual(c.ask("#Jan,x,1,2,4$"), b"OK")
        self.assertTrue(self.sim.wait_line(RELAY_5, 10, mark))
        self.assert_still_serving()

    def test_good_command_behind_a_malformed_one_is_still_answered(self):
        older, newer = self.client(), self.client()
        self.assertEqual(older.ask("#Jan,x,1,2,4$"), b"OK")
        self.assertEqual(newer.ask("#Jan,x,1,2,4$"), b"OK")
        # Both arrive while netbuf is stopped, so its first read event meets
        # the older connection's bad text first. The bad text is longer than
        # one read, so it takes two failing events.
        self.nb.proc.send_signal(signal.SIGSTOP)
        try:
            newer.send("#Bob,x,1,2,4$")
            older.send("#a,b,x,2,4$" + " " * 1500)
            time.sleep(0.3)
        finally:
            self.nb.proc.send_signal(signal.SIGCONT)
        self.assertEqual(newer.answer(5.0), b"OK")
        self.assertIsNone(older.answer(0.5))
        self.assertTrue(self.nb.wait_stdout_line(
            "Remote control->:Bob, x typ: 1 rozkaz:2 adres:5"))

    def test_connections_beyond_101_are_closed_at_accept(self):
        clients = []
        try:
            # From 19 hosts, as one address holds only 8 places.
            for i in range(150):
                clients.append(Client(self.nb.service, source="127.0.1.%d" % (i // 8 + 1)))
            for i, c in enumerate(clients):
                try:
                    c.send("#K%d,x,1,2,4$" % i)
                except OSError:
                    pass  # already reset by netbuf
            answers = [c.answer(5.0 if i < 101 else 2.0) for i, c in enumerate(clients)]
        finally:
            for c in clients:
                c.close()
        # Accepted oldest first: positions 0 ... 100 are served, the rest are
        # closed without a word.
        self.assertEqual(answers[:101], [b"OK"] * 101)
        self.assertEqual(answers[101:], [b""] * 49)
        self.assertTrue(self.nb.wait_stdout_line(
            "Remote control->:K100, x typ: 1 rozkaz:2 adres:5"))
        self.assertNotIn("Remote control->:K101,", self.nb.stdout())
        # The closed clients' places are free again.
        self.assertTrue(wait_for(lambda: self._answered(), 15, 0.5))
        self.assert_still_serving()

    def _answered(self):
        c = Client(self.nb.service)
        try:
            return c.ask("#Jan,x,1,2,4$", 2.0) == b"OK"
        finally:
            c.close()


if __name__ == "__main__":
    unittest.main()
