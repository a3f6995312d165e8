"""The real netbuf, headless, against clients that misuse its two ports:
answers never read, control bytes in commands, a stream of garbage beside a
well-behaved remote controller, silent connections, descriptors running out,
and a long monitor log with no window. Each run is bounded in time and count
on loopback; netbuf must stay up and keep serving."""

import re
import subprocess
import unittest

from hostile_peers import (GOOD_COMMAND, GoodRemoteClient, closed_by_peer, command_flood,
                           connect, control_bytes_command, garbage_stream, open_fds,
                           silent_connections, unread_answers)
from netbuf_harness import Netbuf, Pc, vm_kb, wait_for

RAW_CONTROL = re.compile(rb"[\x00-\x09\x0b-\x1f\x7f]")


class HostileClientsTest(unittest.TestCase):
    def start(self, **kw):
        nb = Netbuf(**kw)
        self.addCleanup(nb.cleanup)
        return nb.start()

    def assert_pc_served(self, nb):
        pc = Pc(nb.port_tcp)
        try:
            self.assertEqual(pc.read_regs(0, 2), [0, 0])
        finally:
            pc.close()

    def assert_remote_served(self, nb):
        with connect(nb.service, 10) as s:
            s.sendall(GOOD_COMMAND)
            s.settimeout(10)
            self.assertEqual(s.recv(2), b"OK")

    def test_memory_stays_bounded_per_connection(self):
        nb = self.start()
        rss_before = vm_kb(nb.proc.pid, "VmRSS")
        # 4 MB of requests ask for 85 MB of answers.
        sent, closed = unread_answers(nb.port_tcp, 30, limit=4 << 20)
        self.assertTrue(closed, "still open after %d bytes of requests" % sent)
        self.assertLess(vm_kb(nb.proc.pid, "VmRSS") - rss_before, 32 * 1024)
        # The line goes out through the output thread: wait for it.
        line = "netbuf: connection closed, answers not read: 127.0.0.1:%d\n" % nb.port_tcp
        wait_for(lambda: line in nb.stderr(), 5)
        self.assertEqual(nb.stderr().count(line), 1)
        self.assert_pc_served(nb)
        # Commands sent faster than they are served wait in the network.
        sent, _ = command_flood(nb.service, 5, limit=64 << 20)
        self.assertLess(vm_kb(nb.proc.pid, "VmRSS") - rss_before, 32 * 1024,
                        "after %d bytes of commands" % sent)
        self.assert_remote_served(nb)

    def test_control_bytes_from_the_network_are_escaped_in_every_line(self):
        nb = self.start(monitor="zd,tcp")
        with connect(nb.service) as s:
            s.sendall(control_bytes_command())
            self.assertEqual(s.recv(2), b"OK")
            s.sendall(b"#a,b,\x1b]0;x\x07\nq,2,3$")  # malformed, reported on stderr
            self.assertTrue(wait_for(lambda: "not a valid" in nb.stderr(), 10))
        sender = r"Jan\x1B[31m\x0D\x0Anetbuf: forged\x07,"
        self.assertTrue(nb.wait_stdout_line(
            "Przekaznik otwarty zdalnie przez:" + sender + " w czytniku o adresie:5"))
        self.assertTrue(nb.wait_stdout_line(
            "Remote control->:" + sender + " x typ: 1 rozkaz:2 adres:5"))
        self.assertIn("'\\x1B]0;x\\x07 q' is not a valid integer value\n", nb.stderr())
        with open(nb.out_path, "rb") as f:
            self.assertIsNone(RAW_CONTROL.search(f.read()))
        with open(nb.err_path, "rb") as f:
            self.assertIsNone(RAW_CONTROL.search(f.read()))

    def test_a_client_streaming_garbage_neither_starves_others_nor_floods_stderr(self):
        nb = self.start()
        good = GoodRemoteClient(nb.service, count=10)
        good.start()
        # From another host: netbuf also limits how often one address may
        # connect, and the good client must not share the garbage's limit.
        closed = garbage_stream(nb.service, 4, source="127.0.0.2")
        good.join(60)
        self.assertEqual(len(good.latencies), 10)
        self.assertGreater(closed, 0)  # the garbage sender is shown the door
        # Identical reports collapse and the rest are capped per second.
        self.assertLess(nb.stderr().count("\n"), 60)
        self.assert_remote_served(nb)

    def test_silent_connections_are_closed_from_accept_and_kept_alive(self):
        nb = self.start()
        silent_pc = connect(nb.port_tcp)
        silent_remote = connect(nb.service)
        self.addCleanup(silent_pc.close)
        self.addCleanup(silent_remote.close)
        def ss(port):
            return subprocess.run(["ss", "-tnoH", "state", "established", "( sport = :%d )" % port],
                                  capture_output=True, text=True, timeout=10).stdout

        # Until netbuf has taken the connection from the queue it has no options.
        for port in (nb.port_tcp, nb.service):
            self.assertTrue(wait_for(lambda: "keepalive" in ss(port), 10), ss(port))
        # A second PC is turned away while the silent one holds the place...
        with connect(nb.port_tcp) as second:
            self.assertTrue(closed_by_peer(second, 5))
        # ... until its 120 s run out.
        self.assertTrue(closed_by_peer(silent_pc, 130))
        self.assert_pc_served(nb)

    def test_one_address_fills_its_own_places_and_no_more(self):
        nb = self.start()
        squatters = [connect(nb.service, source="127.0.0.2") for _ in range(12)]
        for s in squatters:
            self.addCleanup(s.close)
        # Eight are held; the rest are closed as they come, said once.
        closed = [closed_by_peer(s, 0.3) for s in squatters]
        self.assertEqual(closed, [False] * 8 + [True] * 4)
        self.assert_remote_served(nb)
        refused = "refused 127.0.0.2 on port %d: already holds 8 connections" % nb.service
        self.assertEqual([l for l in nb.stderr_lines() if l.startswith("refused")], [refused])
        # A place given back is taken again.
        squatters[0].close()
        again = connect(nb.service, source="127.0.0.2")
        self.addCleanup(again.close)
        self.assertFalse(closed_by_peer(again, 0.3))

    def test_running_out_of_descriptors_pauses_accepting_and_resumes(self):
        nb = self.start()
        pid = nb.proc.pid
        limit = open_fds(pid) + 3
        subprocess.run(["prlimit", "--pid", str(pid), "--nofile=%d:%d" % (limit, limit)],
                       check=True, timeout=10)
        clients = silent_connections(nb.service, 20)
        try:
            self.assertTrue(wait_for(lambda: "netbuf: cannot accept" in nb.stderr(), 10),
                            "%d descriptors of %d: %s" % (open_fds(pid), limit, nb.stderr()))
        finally:
            for c in clients:
                c.close()
        self.assert_remote_served(nb)
        said = [l for l in nb.stderr().split("\n") if l.startswith("netbuf: cannot accept")]
        self.assertEqual(said, ["netbuf: cannot accept connections, retrying every second: "
                                "%d: Too many open files" % nb.service])
        self.assert_pc_served(nb)

    def test_headless_monitor_log_is_not_kept_in_memory(self):
        nb = self.start(monitor="tcp")
        pc = Pc(nb.port_tcp)
        try:
            # Each request writes two lines, the answer's some 800 bytes long.
            for _ in range(500):
                pc.read_regs(0, 125)
            rss_before = vm_kb(nb.proc.pid, "VmRSS")
            for _ in range(16000):
                self.assertIsNotNone(pc.read_regs(0, 125))
        finally:
            pc.close()
        self.assertLess(vm_kb(nb.proc.pid, "VmRSS") - rss_before, 8 * 1024)
        # The last line goes out whole once it is ended.
        self.assertTrue(wait_for(lambda: nb.stdout().count("BUF->PC:03:259->") >= 16500, 5))


if __name__ == "__main__":
    unittest.main()
