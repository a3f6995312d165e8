"""netbuf as a site runs it: who may use each port (IPv4 and IPv6 loopback),
the journal's account of a remote opening, a restarted PC taking over from
a connection that trickles, and two reader lines on one box side by side."""

import os
import socket
import tempfile
import time
import unittest

from hostile_peers import GOOD_COMMAND, closed_by_peer
from netbuf_harness import Netbuf, Pc, PtyPair, ReaderSim, shut_down, wait_for


def connect(host, port, source=None):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    s = socket.socket(family, socket.SOCK_STREAM)
    s.settimeout(5)
    if source:
        s.bind((source, 0))
    s.connect((host, port))
    return s


def served(port, service, host, source):
    """What each port gives this peer: the PC port's answer to a read of two
    registers, the remote port's answer to a command; None once closed."""
    out = []
    for p, request, size in ((port, bytes.fromhex("000100000006FF0300000002"), 13),
                             (service, GOOD_COMMAND, 2)):
        with connect(host, p, source) as s:
            try:
                s.sendall(request)
                data = s.recv(size)
            except OSError:
                data = b""
            out.append(data or None)
    return out


class AccessListTest(unittest.TestCase):
    def start(self, **kw):
        nb = Netbuf()
        self.addCleanup(nb.cleanup)
        return nb.start(**kw)

    def test_each_port_lets_in_its_own_list_and_says_whom_it_refused(self):
        pc_answer = bytes.fromhex("000100000007FF030400000000")
        # How netbuf is started, then (peer, source, PC port's answer, remote port's answer).
        runs = [
            (dict(args=["--allow-pc", "127.0.0.2, ::1", "--allow-remote", "127.0.0.0/30"]),
             [("127.0.0.1", "127.0.0.2", pc_answer, b"OK"),
              ("::1", None, pc_answer, None),
              ("127.0.0.1", "127.0.0.1", None, b"OK"),
              ("127.0.0.1", "127.0.0.4", None, None)]),
            # From the unit's environment file; the option wins over it.
            (dict(args=["--allow-pc", "::/0"],
                  env_extra={"NETBUF_ALLOW_PC": "127.0.0.9", "NETBUF_ALLOW_REMOTE": "::1"}),
             [("::1", None, pc_answer, b"OK"),
              ("127.0.0.1", "127.0.0.1", pc_answer, None)]),
        ]
        for how, peers in runs:
            with self.subTest(how):
                nb = self.start(**how)
                for host, source, pc, remote in peers:
                    self.assertEqual(served(nb.port_tcp, nb.service, host, source), [pc, remote],
                                     (host, source))
                def refused():
                    return sorted(l for l in nb.stderr_lines() if l.startswith("refused "))
                expected = sorted(
                    "refused %s on port %d: not in --allow-%s"
                    % (source or host, port, name)
                    for host, source, pc, remote in peers
                    for port, name, answer in ((nb.port_tcp, "pc", pc), (nb.service, "remote", remote))
                    if answer is None)
                # Journal lines go out through the output thread: wait for them.
                wait_for(lambda: refused() == expected, 5)
                self.assertEqual(refused(), expected)
                self.assertNotIn("remote control open to every address", nb.stderr())
        # The remote opening of an allowed peer is in the journal with the
        # monitor off (no reader 5 is configured here).
        opening = "remote opening from ::1: name Jan, reader 5, typ 1, rozkaz 2, no such reader"
        wait_for(lambda: opening in nb.stderr_lines(), 5)
        self.assertIn(opening, nb.stderr_lines())

    def test_without_lists_everyone_is_served_with_a_warning_and_bad_lists_stop_the_start(self):
        nb = self.start()
        self.assertEqual(served(nb.port_tcp, nb.service, "::1", None)[1], b"OK")
        self.assertEqual(nb.stderr_lines().count("remote control open to every address"), 1)
        for args, said in ((["--allow-remote", "127.0.0.1/33"], "--allow-remote"),
                           (["--allow-pc", ""], "--allow-pc")):
            other = Netbuf()
            self.addCleanup(other.cleanup)
            other.start(wait_port=False, args=args)
            self.assertEqual(other.proc.wait(10), 2)
            self.assertTrue(other.stderr().startswith("netbuf: %s: not an address or block: "
                                                      % said), other.stderr())


class PcTakeOverTest(unittest.TestCase):
    def test_a_new_pc_takes_over_from_one_that_only_trickles(self):
        nb = Netbuf()
        self.addCleanup(nb.cleanup)
        nb.start()
        holder = connect("127.0.0.1", nb.port_tcp)
        self.addCleanup(holder.close)
        holder.sendall(b"\x00")
        # Within 10 s of its last served request the holder keeps the place.
        with connect("127.0.0.1", nb.port_tcp) as early:
            self.assertTrue(closed_by_peer(early, 5))
        # Bytes that make no request do not count.
        deadline = time.monotonic() + 10.5
        holder.sendall(b"\x01")
        time.sleep(max(0, deadline - time.monotonic()))
        pc = Pc(nb.port_tcp)
        try:
            self.assertEqual(pc.read_regs(0, 2), [0, 0])
        finally:
            pc.close()
        self.assertTrue(closed_by_peer(holder, 5))
        self.assertTrue(wait_for(lambda: any(
            l.startswith("PC 127.0.0.1 takes over from 127.0.0.1, served nothing for 1")
            for l in nb.stderr_lines()), 5), nb.stderr())


class TwoLinesTest(unittest.TestCase):
    def test_two_instances_side_by_side_keep_their_own_database_ports_and_line(self):
        """Line 1 as netbuf always ran, net.db and COM1 beside the executable;
        line 2 from the same executable with --db elsewhere and --device."""
        one = Netbuf(com=1)
        two = Netbuf(create_db=False)
        state = tempfile.TemporaryDirectory(prefix="netbuf-line2-")
        lines = []
        sims = []
        try:
            two.db = os.path.join(state.name, "net.db")
            two.netbuf_db("create", two.db, "--port-tcp", str(two.port_tcp), "--service",
                          str(two.service), "--com", "1", "--delay", "30")
            for nb, address in ((one, 5), (two, 6)):
                nb.execute("UPDATE register SET val=? WHERE adres=1400", (address << 8,))
            lines.append(PtyPair(one.dir, "COM1", "readers"))
            lines.append(PtyPair(state.name, "line2", "readers"))
            sims.append(ReaderSim(lines[0].b, "--readers", "5"))
            sims.append(ReaderSim(lines[1].b, "--readers", "6"))
            one.start()
            two.start(args=["--db", two.db, "--device", lines[1].a, "--instance", "line2"])
            for sim, address in zip(sims, (5, 6)):
                self.assertTrue(sim.wait_line("poll address %d" % address, 15))
            self.assertEqual(sims[0].command("card 5 0102030405"), "ok")
            self.assertEqual(sims[1].command("card 6 0A0B0C0D0E"), "ok")
            for nb, row in ((one, (5, 1, 2, 3, 4, 5)), (two, (6, 10, 11, 12, 13, 14))):
                self.assertTrue(wait_for(lambda: nb.peek(
                    "SELECT ADR485, kod1, kod2, kod3, kod4, kod5 FROM event") == [row], 15),
                    nb.stderr())
            # Nothing of line 2 beside the executable it ran from.
            self.assertEqual(sorted(os.listdir(two.dir)),
                             ["netbuf", "netbuf-window", "stderr.txt", "stdout.txt"])
            start = [l for l in two.stderr_lines() if l.startswith("netbuf ")]
            self.assertEqual(len(start), 1)
            self.assertIn(" instance line2 \u00b7 net.db %s \u00b7 COM1=1 (COM1 %s) "
                          % (os.path.realpath(two.db), lines[1].a), start[0])
        finally:
            two.stop()
            shut_down(one, *sims, *lines)
            two.cleanup()
            state.cleanup()


if __name__ == "__main__":
    unittest.main()
