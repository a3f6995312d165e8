"""The window is a program of its own: whatever happens to it or to its X
server, the doors, the PC and the remote port go on. netbuf on a reader line
(netbuf-readersim) with its window on a private X server; a window attached
to a running headless netbuf; strangers and garbage on the control socket.
No timing is measured: the frames and answers either come while the window
(or X) is stopped, or the loop is stuck."""

import os
import signal
import socket
import struct
import subprocess
import time
import unittest

from netbuf_harness import (BIN, Installation, Netbuf, Pc, ReaderSim, Xvfb, remote,
                            stop_process, wait_for)

N_CARD = 0x8001
STOP_S = 5
# The window's Hello in the protocol's own words: length, kind 1, the magic
# as a text (u32 length and bytes), version 1.
HELLO = (struct.pack(">IB", 1 + 4 + 13 + 2, 1) + struct.pack(">I", 13) + b"netbuf-window" +
         struct.pack(">H", 1))


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


class WindowProcess(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.x = Xvfb()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def xdotool(self, *args):
        return self.x.run("xdotool", *args, check=False).stdout.decode()

    def windows(self):
        return self.xdotool("search", "--onlyvisible", "--name", "^Brennik").split()

    def site(self, display=None, control=False):
        def prepare(nb):
            # Reader 1 on the line.
            nb.execute("UPDATE register SET val=? WHERE adres=1400", (1 << 8,))
            nb.execute("UPDATE register SET val=? WHERE adres=1401", (0x0C << 8,))
        nb = Netbuf(com=3, delay=30, n_card=N_CARD)
        nb.control = os.path.join(nb.dir, "control")
        site = Installation(nb, prepare=prepare,
                            readers=lambda dev: ReaderSim(dev, "--readers", "1"),
                            polled=lambda sim: sim.wait_line("poll address 1", 10),
                            display=display, args=["--control", nb.control] if control else [])
        self.addCleanup(site.stop)
        return site.nb, site.readers

    def doors_go_on(self, nb, sim, tag, until):
        """Until `until`: every unknown card buzzes, every remote command
        fires its relay, every PC read is answered."""
        pc = Pc(nb.port_tcp)
        try:
            while time.monotonic() < until:
                mark = sim.mark()
                self.assertEqual(sim.command("card 1 DEAD%04X%02X" % (tag, int(until) % 256)),
                                 "ok")
                self.assertTrue(sim.wait_line("buzzer pattern 0x%04x at address 1" % N_CARD,
                                              STOP_S, mark), sim.since(mark)[-5:])
                mark = sim.mark()
                self.assertEqual(remote(nb.service, "#Jan,x,1,2,0$"), b"OK")
                self.assertTrue(sim.wait_line("relay fired at address 1", STOP_S, mark))
                for _ in range(10):
                    self.assertIsNotNone(pc.read_regs(0, 125))
                tag += 1
        finally:
            pc.close()
        self.assertTrue(nb.alive())

    def wait_window(self, count=1):
        found = wait_for(lambda: len(self.windows()) == count and self.windows(), 20, 0.2)
        self.assertTrue(found, self.x.log())
        return found

    def test_window_stopped_then_killed(self):
        nb, sim = self.site(display=self.x.display)
        [form] = self.wait_window()
        [window] = children(nb.proc.pid)
        # Its monitor log on: netbuf has lines to send it all along.
        self.xdotool("mousemove", "--window", form, "23", "426", "click", "1")
        os.kill(window, signal.SIGSTOP)
        try:
            self.doors_go_on(nb, sim, 1, time.monotonic() + STOP_S)
        finally:
            os.kill(window, signal.SIGKILL)
        # netbuf starts a new window, which attaches.
        self.assertTrue(wait_for(lambda: children(nb.proc.pid) not in ([], [window]), 20))
        self.wait_window()
        self.doors_go_on(nb, sim, 100, time.monotonic() + 1)
        self.assertIn("netbuf: window was killed; started again in 1 s", nb.stderr_lines())

    def test_x_server_stopped(self):
        x = Xvfb()
        try:
            nb, sim = self.site(display=x.display)
            self.assertTrue(wait_for(lambda: x.run("xdotool", "search", "--onlyvisible",
                                                   "--name", "^Brennik", check=False).stdout, 20))
            x.proc.send_signal(signal.SIGSTOP)
            try:
                self.doors_go_on(nb, sim, 200, time.monotonic() + STOP_S)
            finally:
                x.proc.send_signal(signal.SIGCONT)
            # The window lived through it, and still shows.
            self.assertTrue(wait_for(lambda: x.run("xdotool", "search", "--onlyvisible",
                                                   "--name", "^Brennik", check=False).stdout, 20))
            self.assertEqual(len(children(nb.proc.pid)), 1)
        finally:
            x.stop()

    def test_windows_attach_to_a_running_headless_netbuf(self):
        nb, sim = self.site(control=True)
        control = nb.control
        self.assertTrue(wait_for(lambda: os.path.exists(control), 10), nb.stderr())
        self.assertEqual(os.stat(control).st_mode & 0o777, 0o660)
        windows = [subprocess.Popen([os.path.join(BIN, "netbuf-window"), "--connect", control],
                                    env=self.x.env(), stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL) for _ in range(2)]
        try:
            self.wait_window(2)
            self.assertEqual(children(nb.proc.pid), [])
            # One goes; netbuf and the other stay.
            stop_process(windows[0])
            self.wait_window(1)
            self.doors_go_on(nb, sim, 300, time.monotonic() + 1)
            self.assertIsNone(windows[1].poll())
        finally:
            for w in windows:
                stop_process(w)
        self.assertEqual(nb.stop(), 0, nb.stderr())
        self.assertFalse(os.path.exists(control))

    def test_strangers_and_garbage_are_turned_away(self):
        nb, sim = self.site(control=True)
        control = nb.control
        self.assertTrue(wait_for(lambda: os.path.exists(control), 10), nb.stderr())

        def client(payload, uid=None):
            """What netbuf answers a client that says payload, until it closes."""
            code = ("import socket,sys\n"
                    "s=socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); got=b''\n"
                    "try: s.sendall(bytes.fromhex(sys.argv[2]))\n"
                    "except OSError: pass\n"
                    "s.settimeout(20)\n"
                    "while True:\n"
                    "  try: b=s.recv(65536)\n"
                    "  except OSError: b=b''\n"
                    "  if not b: break\n"
                    "  got+=b\n"
                    "  if b'netbuf-window' in got and sys.argv[3]=='hello': break\n"
                    "print(got.hex())")
            cmd = ["/usr/bin/python3", "-c", code, control, payload.hex(),
                   "hello" if payload == HELLO else "other"]
            if uid is not None:
                # Another user that the socket's mode lets in (group root):
                # only netbuf's own check can turn it away.
                os.chmod(nb.dir, 0o755)
                cmd = ["setpriv", "--reuid=%d" % uid, "--regid=0", "--clear-groups", "--"] + cmd
            r = subprocess.run(cmd, capture_output=True, text=True, timeout=20)
            self.assertEqual(r.returncode, 0, r.stderr)
            return bytes.fromhex(r.stdout.strip())

        # netbuf's own user is answered Hello and the state; garbage or a
        # request before Hello is closed at once, with nothing said back.
        hello = client(HELLO)
        self.assertEqual(hello[4:24], b"\x01" + struct.pack(">I", 13) + b"netbuf-window" +
                         b"\x00\x01")
        self.assertEqual(client(b"\x00\x00\x00\x02\x63\x00"), b"")
        self.assertEqual(client(struct.pack(">IB", 1, 4)), b"")  # "add event" before Hello
        self.assertEqual(client(b"\xff\xff\xff\xff" + bytes(64)), b"")
        # One that says nothing does not keep its place.
        self.assertEqual(client(b""), b"")
        # One line for each kind, however often it happens.
        closed = [l for l in nb.stderr_lines() if l.startswith("netbuf: window closed: ")]
        self.assertEqual(closed, ["netbuf: window closed: it sent what is not a request of this "
                                  "version", "netbuf: window closed: it said no Hello"])
        if os.geteuid() == 0:
            for _ in range(3):
                self.assertEqual(client(HELLO, uid=65534), b"")
            refused = [l for l in nb.stderr_lines() if "65534" in l]
            self.assertEqual(refused, ["netbuf: control socket: uid 65534 is not in the "
                                       "operators' group; refused"])
        self.doors_go_on(nb, sim, 400, time.monotonic() + 1)


if __name__ == "__main__":
    unittest.main()
