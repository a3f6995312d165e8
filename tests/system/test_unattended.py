"""netbuf as an unattended service under systemd: its command line, a port
that is taken at start, stops by SIGHUP and with a closed log pipe, a net.db
that is read-only at start, what systemd and its journal get, that a
netbuf loads nothing that draws, and that a display without a working window
still gets a buffer."""

import fcntl
import os
import re
import signal
import socket
import sqlite3
import subprocess
import tempfile
import unittest

from netbuf_harness import BIN, Netbuf, Pc, free_port, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))


def project_version():
    with open(os.path.join(HERE, "../../CMakeLists.txt")) as f:
        return re.search(r"project\(netbuf VERSION (\S+)", f.read()).group(1)


class CommandLineTest(unittest.TestCase):
    def test_help_version_and_anything_else(self):
        directory = tempfile.mkdtemp(prefix="netbuf-cli-")
        exe = os.path.join(directory, "netbuf")
        os.symlink(os.path.join(BIN, "netbuf"), exe)
        try:
            cases = [
                # arguments, exit status, stdout holds, stderr holds
                (["--help"], 0, "Usage: netbuf [--db PATH] [--device PATH]", ""),
                (["--version"], 0, "netbuf %s\n" % project_version(), ""),
                (["--port", "502"], 2, "", "Usage: netbuf"),
                (["net.db"], 2, "", "Usage: netbuf"),
            ]
            for args, status, out, err in cases:
                with self.subTest(args):
                    r = subprocess.run([exe] + args, capture_output=True, text=True, timeout=10,
                                       cwd=directory, env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
                    self.assertEqual(r.returncode, status, r.stderr)
                    self.assertIn(out, r.stdout)
                    self.assertIn(err, r.stderr)
                    if not out:
                        self.assertEqual(r.stdout, "")
                    if not err:
                        self.assertEqual(r.stderr, "")
                    # Nothing started, nothing created.
                    self.assertEqual(os.listdir(directory), ["netbuf"])
        finally:
            os.remove(exe)
            os.rmdir(directory)


class ServiceTest(unittest.TestCase):
    def setUp(self):
        # COM3 stands for a device that does not exist.
        self.nb = Netbuf(com=3)
        self.nb.link_com(3, os.path.join(self.nb.dir, "no-such-tty"))
        self.com3 = os.path.join(self.nb.dir, "COM3")
        self.parts = []

    def tearDown(self):
        self.nb.stop()
        for p in self.parts:
            p.close()
        subprocess.run(["chattr", "-i", self.nb.db], capture_output=True)
        self.nb.cleanup()

    def test_pc_port_taken_at_start_opens_once_freed(self):
        holder = socket.socket()
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("0.0.0.0", self.nb.port_tcp))
        holder.listen()
        self.parts.append(holder)
        self.nb.start(wait_port=False)
        failed = "PC port %d cannot be opened: " % self.nb.port_tcp
        self.assertTrue(wait_for(lambda: any(l.startswith(failed) for l in self.nb.stderr_lines()),
                                 10), self.nb.stderr())
        holder.close()
        self.assertTrue(wait_for(lambda: Netbuf.can_connect(self.nb.port_tcp), 10))
        pc = Pc(self.nb.port_tcp)
        self.parts.append(pc)
        self.assertEqual(pc.read_regs(804, 2), [0, 0])
        # Failing ticks left no line of their own; without the journal no
        # level prefix either.
        ports = [l for l in self.nb.stderr_lines() if l.startswith("PC port")]
        self.assertEqual(len(ports), 2, ports)
        self.assertTrue(ports[0].startswith(failed))
        self.assertEqual(ports[1], "PC port %d open" % self.nb.port_tcp)

    def test_sighup_and_a_closed_stdout_pipe_store_pending_changes(self):
        r, w = os.pipe()
        self.nb.monitor = "tcp"  # every PC frame is a line on stdout
        try:
            self.nb.start(stdout=w)
        finally:
            os.close(w)
        os.close(r)  # nobody reads the log any more
        pc = Pc(self.nb.port_tcp)
        self.parts.append(pc)
        # Answered although each frame's log line meets a closed pipe.
        self.assertEqual(pc.write_regs(4000, [7, 8, 9])[7:], bytes.fromhex("100FA00003"))
        self.assertEqual(pc.read_regs(4000, 3), [7, 8, 9])
        self.assertTrue(self.nb.alive())
        # Before any tick could store them.
        self.assertEqual(self.nb.stop(signal.SIGHUP), 0, self.nb.stderr())
        self.assertEqual([self.nb.register_in_db(a) for a in (4000, 4001, 4002)], [7, 8, 9])

    def test_read_only_database_at_start_is_stored_to_once_writable(self):
        if subprocess.run(["chattr", "+i", self.nb.db], capture_output=True).returncode != 0:
            self.skipTest("chattr +i is not available here")
        self.nb.start()
        said = "%s can only be read: " % self.nb.db
        self.assertTrue(any(l.startswith(said) for l in self.nb.stderr_lines()),
                        self.nb.stderr())
        pc = Pc(self.nb.port_tcp)
        self.parts.append(pc)
        pc.write_regs(4100, [1, 2])
        subprocess.run(["chattr", "-i", self.nb.db], check=True)
        self.assertTrue(wait_for(lambda: self.nb.register_in_db(4101) == 2, 10),
                        self.nb.stderr())
        self.assertTrue(wait_for(lambda: "%s is writable again" % self.nb.db
                                 in self.nb.stderr_lines(), 5), self.nb.stderr())

    def test_net_db_removed_then_restored_is_followed(self):
        self.nb.start()
        pc = Pc(self.nb.port_tcp)
        self.parts.append(pc)
        backup = self.nb.db + ".backup"
        src, dst = sqlite3.connect(self.nb.db), sqlite3.connect(backup)
        src.backup(dst)
        src.close()
        dst.close()
        os.remove(self.nb.db)
        gone = "%s is gone: changes and events wait until it is back" % self.nb.db
        self.assertTrue(wait_for(lambda: gone in self.nb.stderr_lines(), 10), self.nb.stderr())
        pc.write_regs(4300, [3, 4])
        # A restore moves the copy into place: the change goes to the new file.
        os.replace(backup, self.nb.db)
        self.assertTrue(wait_for(lambda: self.nb.register_in_db(4301) == 4, 10),
                        self.nb.stderr())
        self.assertTrue(wait_for(lambda: "%s was replaced: writing to the new file" % self.nb.db
                                 in self.nb.stderr_lines(), 5), self.nb.stderr())

    def test_a_stop_that_cannot_store_says_what_and_fails(self):
        # Also with the monitor log on a stdout pipe that nobody reads: the
        # last line is on stderr all the same.
        for stuck in (False, True):
            with self.subTest(stuck_stdout=stuck):
                nb = self.nb
                pipe = None
                if stuck:
                    nb = Netbuf(com=3, monitor="tcp")
                    nb.link_com(3, os.path.join(nb.dir, "no-such-tty"))
                    self.addCleanup(nb.cleanup)
                    pipe = os.pipe()
                    self.addCleanup(os.close, pipe[0])
                    fcntl.fcntl(pipe[1], 1031, 4096)  # F_SETPIPE_SZ: full after a few lines
                nb.start(stdout=pipe[1] if pipe else None)
                if pipe:
                    os.close(pipe[1])
                pc = Pc(nb.port_tcp)
                self.parts.append(pc)
                for _ in range(50 if stuck else 0):
                    self.assertIsNotNone(pc.read_regs(0, 125))
                holder = sqlite3.connect(nb.db, isolation_level=None, timeout=5)
                self.parts.append(holder)
                holder.execute("BEGIN EXCLUSIVE")
                pc.write_regs(4200, [5, 6])
                self.assertEqual(nb.stop(), 1)
                self.assertEqual(nb.stderr_lines()[-1],
                                 "stopping: not stored in net.db: 2 registers")

    def test_systemd_gets_ready_status_and_journal_levels(self):
        notify_path = os.path.join(self.nb.dir, "notify")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(notify_path)
        notify.settimeout(10)
        self.parts.append(notify)
        # The journal is recognised by the device and inode of stderr.
        open(self.nb.err_path, "ab").close()
        err = os.stat(self.nb.err_path)
        self.nb.start(env_extra={"NOTIFY_SOCKET": notify_path,
                                 "JOURNAL_STREAM": "%d:%d" % (err.st_dev, err.st_ino),
                                 "WATCHDOG_USEC": "2000000"})
        first = notify.recv(4096).decode()
        self.assertTrue(first.startswith("READY=1\nSTATUS=PC none \u00b7 COM3 "), first)
        self.assertTrue(first.endswith(" closed \u00b7 readers answering 0/0 \u00b7 db ok"
                                       " \u00b7 0 events waiting \u00b7 0 items waiting for storage"
                                       " \u00b7 0 remote openings"
                                       " \u00b7 remote control open to every address"), first)
        pc = Pc(self.nb.port_tcp)
        self.parts.append(pc)
        # The status follows (the PC is seen at the next update), and the
        # event loop keeps the watchdog fed.
        later = []
        while not any(m.startswith("STATUS=PC 127.0.0.1 \u00b7 ") for m in later):
            later.append(notify.recv(4096).decode())
        self.assertIn("WATCHDOG=1", later)

        lines = self.nb.stderr_lines()
        self.assertIn("<6>PC port %d open" % self.nb.port_tcp, lines)
        self.assertIn("<4>COM3 %s cannot be opened: No such file or directory" % self.com3, lines)
        start = [l for l in lines if l.startswith("<6>netbuf ")]
        self.assertEqual(len(start), 1, lines)
        self.assertIn("<6>netbuf %s \u00b7 net.db %s \u00b7 COM1=3 (COM3 %s) DELAY1=30 "
                      "PORT_TCP=%d SERVICE=%d N_CARD=0 S_CARD=0 \u00b7 time zone "
                      % (project_version(), os.path.realpath(self.nb.db), self.com3, self.nb.port_tcp,
                         self.nb.service), start[0])
        self.assertTrue(all(re.match(r"<[346]>", l) for l in lines), lines)

    def test_netbuf_draws_nothing_and_a_window_that_cannot_start_costs_it_nothing(self):
        """Whatever the display: netbuf maps no GUI library, platform plugin or
        font cache. A missing window program is one line; a window that
        cannot reach its display (none answers at :4242) dies and is started
        again later and later, while netbuf serves on."""
        for case in ("headless", "missing", "no display"):
            with self.subTest(case):
                nb = Netbuf()
                try:
                    if case == "missing":
                        os.remove(nb.window_program)
                    nb.start(display=None if case == "headless" else ":4242")
                    pc = Pc(nb.port_tcp)
                    try:
                        self.assertEqual(pc.write_regs(4200, [5])[7:], bytes.fromhex("1010680001"))
                        if case == "no display":
                            self.assertTrue(wait_for(lambda: "netbuf: window" in nb.stderr(), 15))
                        self.assertEqual(pc.read_regs(4200, 1), [5])
                    finally:
                        pc.close()
                    with open("/proc/%d/maps" % nb.proc.pid) as f:
                        paths = {l.split()[5] for l in f if len(l.split()) > 5}
                    drawing = sorted(p for p in paths
                                     if "/platforms/" in p or "fontconfig" in p or "libQt6Gui" in p
                                     or "libQt6Widgets" in p or "libxcb" in p)
                    self.assertEqual(drawing, [])
                    self.assertEqual(nb.stop(), 0, nb.stderr())
                    said = [l for l in nb.stderr_lines() if l.startswith("netbuf: ")]
                    if case == "headless":
                        self.assertEqual(said, [])
                    elif case == "missing":
                        self.assertEqual(said, ["netbuf: no window program %s; running without a "
                                                "window" % nb.window_program])
                    else:
                        self.assertRegex(said[0], r"^netbuf: window (was killed|ended with status "
                                                  r"\d+); started again in 1 s$")
                    # The monitor log went where a server's goes.
                    self.assertIn("Port TCP nr: %d otwarty." % nb.port_tcp, nb.stdout())
                finally:
                    nb.cleanup()


if __name__ == "__main__":
    unittest.main()
