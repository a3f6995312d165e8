"""The Debian package as an installer gets it. scripts/package.sh builds it
from this tree (dpkg-buildpackage: a Release build with the hardening flags
and without -Werror); then lintian, the files, modes and links of the .deb,
the unit under systemd-analyze, the installed tree running through its
net.db link as the unit runs it, and the package's own removal and purge
scripts with the database in place."""

import glob
import gzip
import os
import re
import shutil
import signal
import socket
import sqlite3
import stat
import subprocess
import tempfile
import unittest

from netbuf_harness import Netbuf, Pc, Xvfb, free_port, stop_process, wait_for

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
OUT = os.path.join(ROOT, "build-pkg")
UNIT = "lib/systemd/system/netbuf.service"
TEMPLATE = "lib/systemd/system/netbuf@.service"
DEFAULTS = "etc/default/netbuf"
EXE = "usr/lib/netbuf/netbuf"
WINDOW = "usr/lib/netbuf/netbuf-window"
STATE = "/var/lib/netbuf"
MAX_EXPOSURE = 2.5

# Every file of each package and its mode; all root's.
EXPECTED_FILES = {
    EXE: 0o755,
    "usr/bin/netbuf-db": 0o755,
    "usr/bin/netbuf-readersim": 0o755,
    UNIT: 0o644,
    TEMPLATE: 0o644,
    DEFAULTS: 0o644,
    "usr/lib/sysusers.d/netbuf.conf": 0o644,
    "usr/lib/tmpfiles.d/netbuf.conf": 0o644,
    "usr/lib/udev/rules.d/60-netbuf.rules": 0o644,
    "usr/share/man/man8/netbuf.8.gz": 0o644,
    "usr/share/man/man1/netbuf-db.1.gz": 0o644,
    "usr/share/man/man1/netbuf-readersim.1.gz": 0o644,
    "usr/share/doc/netbuf/README.md.gz": 0o644,
    "usr/share/doc/netbuf/changelog.gz": 0o644,
    "usr/share/doc/netbuf/copyright": 0o644,
}
WINDOW_FILES = {
    WINDOW: 0o755,
    "usr/share/man/man1/netbuf-window.1.gz": 0o644,
    "usr/share/applications/netbuf-window.desktop": 0o644,
    "usr/share/icons/hicolor/scalable/apps/netbuf-window.svg": 0o644,
    "usr/share/doc/netbuf-window/changelog.gz": 0o644,
    "usr/share/doc/netbuf-window/copyright": 0o644,
}
# What a display needs; none of it may come with the server package.
GUI_LIBRARY = re.compile(r"libQt6(Gui|Widgets|DBus|XcbQpa)|libX|libxcb|libxkb|libfontconfig"
                         r"|libfreetype|libGL[X.]|libEGL|libOpenGL|libwayland")
EXPECTED_LINKS = {"usr/lib/netbuf/net.db": STATE + "/net.db",
                  "usr/sbin/netbuf": "../lib/netbuf/netbuf"}
PROGRAMS = (EXE, "usr/bin/netbuf-db", "usr/bin/netbuf-readersim")
# Everything the package holds that was compiled.
OBJECTS = PROGRAMS + (WINDOW,)


def run(*args, **kw):
    kw.setdefault("timeout", 60)
    kw.setdefault("text", True)
    return subprocess.run(args, capture_output=True, check=True, **kw)


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(netbuf VERSION ([0-9.]+)", f.read()).group(1)


def read_unit(text):
    """The unit as {section: {key: [values]}}; systemd keys may repeat."""
    units, section = {}, None
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            section = units.setdefault(line.strip("[]"), {})
            continue
        key, _, value = line.partition("=")
        section.setdefault(key, []).append(value)
    return units


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # NETBUF_REUSE_PACKAGE=1 tests what build-pkg/ holds, without building.
        if os.environ.get("NETBUF_REUSE_PACKAGE") != "1":
            r = subprocess.run(["bash", os.path.join(ROOT, "scripts/package.sh")], cwd=ROOT,
                               capture_output=True, text=True, timeout=1500)
            if r.returncode:
                raise AssertionError("scripts/package.sh failed:\n" + r.stdout + r.stderr)
        version = project_version()
        cls.deb = os.path.join(OUT, "netbuf_%s_amd64.deb" % version)
        cls.window_deb = os.path.join(OUT, "netbuf-window_%s_amd64.deb" % version)
        cls.dbgsym = os.path.join(OUT, "netbuf-dbgsym_%s_amd64.deb" % version)
        cls.window_dbgsym = os.path.join(OUT, "netbuf-window-dbgsym_%s_amd64.deb" % version)
        cls.changes = os.path.join(OUT, "netbuf_%s_amd64.changes" % version)
        # Both packages installed, as on a desktop; the server package alone.
        cls.tree = tempfile.mkdtemp(prefix="netbuf-pkg-")
        cls.lean = tempfile.mkdtemp(prefix="netbuf-pkg-lean-")
        for tree, debs in ((cls.tree, (cls.deb, cls.window_deb)), (cls.lean, (cls.deb,))):
            os.chmod(tree, 0o755)
            for deb in debs:
                run("dpkg-deb", "-x", deb, tree)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tree, ignore_errors=True)
        shutil.rmtree(cls.lean, ignore_errors=True)

    def path(self, rel):
        return os.path.join(self.tree, rel)

    def test_release_build_is_clean_and_lintian_has_nothing_to_say(self):
        with open(os.path.join(OUT, "build.log")) as f:
            log = f.read()
        self.assertIn("-DCMAKE_BUILD_TYPE=Release", log)
        self.assertNotRegex(log, r" -Werror( |$)", "warnings must not stop a plain build")
        # No compiler warning at all, the false ones of -O3 included.
        self.assertEqual(re.findall(r"^.*warning: .*\[-W[\w=+-]+\]$", log, re.M), [])
        # Both packages: the .changes names them.
        r = subprocess.run(["lintian", "--tag-display-limit", "0", self.changes],
                           capture_output=True, text=True, timeout=600)
        complaints = [l for l in r.stdout.splitlines() if l[:2] in ("E:", "W:")]
        self.assertEqual(complaints, [], r.stdout + r.stderr)

    def test_files_modes_links_and_metadata(self):
        files, links = {}, {}
        for top, dirs, names in os.walk(self.lean):
            for d in dirs:
                st = os.lstat(os.path.join(top, d))
                if not stat.S_ISLNK(st.st_mode):
                    rel = os.path.relpath(os.path.join(top, d), self.lean)
                    self.assertEqual(stat.S_IMODE(st.st_mode), 0o755, rel)
            for n in names:
                p = os.path.join(top, n)
                rel = os.path.relpath(p, self.lean)
                if os.path.islink(p):
                    links[rel] = os.readlink(p)
                else:
                    files[rel] = stat.S_IMODE(os.lstat(p).st_mode)
        # Nothing in /opt, no net.db of the package's own (an upgrade would
        # overwrite the operator's), nothing beside the executable but its
        # window program, where Qt would look for qt.conf or plugins.
        self.assertEqual(files, EXPECTED_FILES)
        self.assertEqual(links, EXPECTED_LINKS)
        window = {l.split()[5].lstrip("./"): l.split()[0]
                  for l in run("dpkg-deb", "-c", self.window_deb).stdout.splitlines()
                  if l.startswith("-")}
        self.assertEqual({f: stat.S_IMODE(os.stat(self.path(f)).st_mode) for f in window},
                         WINDOW_FILES)
        self.assertEqual(os.readlink(self.path("usr/bin/netbuf-window")),
                         "../lib/netbuf/netbuf-window")
        # The operators' group comes with the server package, which makes
        # the socket; the window is what a desktop finds in its menu.
        with open(self.path("usr/lib/sysusers.d/netbuf.conf")) as f:
            self.assertIn("g netbuf-operator -", f.read().splitlines())
        entry = subprocess.run(["desktop-file-validate", self.path(
            "usr/share/applications/netbuf-window.desktop")], capture_output=True, text=True,
            timeout=30)
        self.assertEqual((entry.returncode, entry.stdout + entry.stderr), (0, ""))
        for deb in (self.deb, self.window_deb):
            listing = run("dpkg-deb", "-c", deb).stdout
            self.assertEqual({l.split()[1] for l in listing.splitlines()}, {"root/root"})
        # The site's lists survive an upgrade, and ship with nothing in force.
        control = run("dpkg-deb", "--ctrl-tarfile", self.deb, text=False).stdout
        conffiles = subprocess.run(["tar", "-xO", "./conffiles"], input=control,
                                   capture_output=True, check=True, timeout=30).stdout.decode()
        self.assertEqual(conffiles.split(), ["/" + DEFAULTS])
        with open(self.path(DEFAULTS)) as f:
            settings = [l for l in f.read().splitlines() if l and not l.startswith("#")]
        self.assertEqual(settings, [])

        for rel in files:
            if rel.endswith(".gz"):  # gzip -9n: no name, no time stamp, best compression
                with open(self.path(rel), "rb") as f:
                    head = f.read(10)
                self.assertEqual((head[3] & 0x08, head[4:8], head[8]), (0, bytes(4), 2), rel)
        with gzip.open(self.path("usr/share/man/man8/netbuf.8.gz"), "rt") as f:
            self.assertRegex(f.read(), r"(?m)^\.TH NETBUF 8 ")

        fields = run("dpkg-deb", "-f", self.deb).stdout
        self.assertRegex(fields, r"(?m)^Version: %s$" % re.escape(project_version()))
        self.assertNotRegex(fields, r"(?m)@localhost|^Depends:.*passwd")
        # A server pulls in no X or font stack; the window package brings it,
        # for exactly this build of netbuf.
        depends = run("dpkg-deb", "-f", self.deb, "Depends").stdout
        self.assertRegex(depends, r"libqt6core6")
        self.assertRegex(depends, r"libqt6serialport6")
        self.assertNotRegex(depends, r"libqt6gui|libqt6widgets|libx|libfontconfig")
        window_depends = run("dpkg-deb", "-f", self.window_deb, "Depends").stdout
        self.assertIn("netbuf (= %s)" % project_version(), window_depends)
        self.assertRegex(window_depends, r"libqt6widgets6")
        for rel in PROGRAMS:
            libraries = run("ldd", self.path(rel)).stdout
            self.assertNotRegex(libraries, GUI_LIBRARY, rel)
        with gzip.open(self.path("usr/share/doc/netbuf/changelog.gz"), "rt") as f:
            self.assertTrue(f.readline().startswith("netbuf (%s) " % project_version()))

        # Hardened: full RELRO, stack protector, fortified calls; symbols only
        # in the -dbgsym package.
        fortified = False
        for rel in OBJECTS:
            exe = self.path(rel)
            self.assertIn("GNU_RELRO", run("readelf", "-lW", exe).stdout, rel)
            self.assertRegex(run("readelf", "-dW", exe).stdout, r"BIND_NOW|FLAGS.*\bNOW\b", rel)
            symbols = run("readelf", "--dyn-syms", "-W", exe).stdout
            self.assertIn("__stack_chk_fail", symbols, rel)
            fortified |= bool(re.search(r"__\w+_chk@", symbols.replace("__stack_chk_fail", "")))
            self.assertNotIn(".debug_info", run("readelf", "-SW", exe).stdout, rel)
        self.assertTrue(fortified)
        debug = [l for deb in (self.dbgsym, self.window_dbgsym)
                 for l in run("dpkg-deb", "-c", deb).stdout.splitlines()
                 if "/.build-id/" in l and l.endswith(".debug")]
        self.assertEqual(len(debug), len(OBJECTS), debug)

    def test_units_verify_and_are_locked_down(self):
        # The unit, then the template of further lines: its file, the name
        # it is verified under, and what it says that the unit does not.
        units = [
            (UNIT, "netbuf.service", {
                "ExecStart": ["/" + EXE],
                "ConditionPathExists": [EXPECTED_LINKS["usr/lib/netbuf/net.db"]],
                "StateDirectory": [os.path.basename(STATE)],
                "EnvironmentFile": ["-/" + DEFAULTS]}),
            (TEMPLATE, "netbuf@line2.service", {
                "ExecStart": ["/%s --db %s/%%i/net.db --instance %%i" % (EXE, STATE)],
                "ConditionPathExists": [STATE + "/%i/net.db"],
                "StateDirectory": ["netbuf/%i"],
                "EnvironmentFile": ["-/%s-%%i" % DEFAULTS],
                "SyslogIdentifier": ["netbuf-%i"]}),
        ]
        for rel, name, own in units:
            with self.subTest(name):
                unit_path = self.path(rel)
                with open(unit_path) as f:
                    unit = read_unit(f.read())
                svc = dict(unit["Service"], **unit["Unit"])
                self.assertEqual({k: svc.get(k) for k in own}, own)
                self.assertEqual((svc["Type"], svc["NotifyAccess"]), (["notify"], ["main"]))
                self.assertEqual(svc["AmbientCapabilities"], ["CAP_NET_BIND_SERVICE"])
                # No display is assumed or refused: netbuf finds out itself.
                self.assertEqual([e for e in svc.get("Environment", []) if "QT_QPA" in e], [])
                # The reader line stays reachable: devices are closed except
                # the serial ones.
                self.assertNotIn("PrivateDevices", svc)
                self.assertEqual(set(svc["DeviceAllow"]),
                                 {"char-ttyS rw", "char-ttyUSB rw", "char-ttyACM rw"})
                self.assertEqual(svc["SupplementaryGroups"], ["dialout netbuf-operator"])
                # Windows attach at control in here; the socket keeps strangers out.
                self.assertEqual(svc["RuntimeDirectory"], [own["StateDirectory"][0]])
                self.assertEqual(svc["RuntimeDirectoryMode"], ["0755"])

                # verify insists that the executable exists: the packaged one,
                # unpacked.
                with open(unit_path) as f:
                    text = f.read().replace("ExecStart=/" + EXE, "ExecStart=" + self.path(EXE))
                with tempfile.TemporaryDirectory() as d:
                    with open(os.path.join(d, os.path.basename(rel)), "w") as f:
                        f.write(text)
                    r = subprocess.run(["systemd-analyze", "verify", "--man=no",
                                        os.path.join(d, name)],
                                       capture_output=True, text=True, timeout=60)
                # Unknown keys and bad values are only warnings; any output is
                # a fault.
                self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))
                r = run("systemd-analyze", "security", "--offline=yes", "--no-pager", unit_path)
                exposure = float(re.search(r"Overall exposure level for \S+: ([0-9.]+)",
                                           r.stdout).group(1))
                self.assertLessEqual(exposure, MAX_EXPOSURE, r.stdout)

    def test_installed_tree_runs_through_its_links(self):
        """netbuf-db and netbuf from the package, netbuf started through its
        link on the PATH, the database in the state directory reached through
        the link beside the executable, run as the unit runs it; as an
        unprivileged user when the test runs as root, so that the executable's
        directory is not writable for it."""
        state = self.path(STATE.lstrip("/"))
        os.makedirs(state)
        db = os.path.join(state, "net.db")
        netbuf_db = self.path("usr/bin/netbuf-db")
        tcp, service = free_port(), free_port()
        run(netbuf_db, "create", db, "--port-tcp", str(tcp), "--service", str(service))
        self.assertEqual(stat.S_IMODE(os.stat(db).st_mode), 0o640)
        r = subprocess.run([netbuf_db, "set", db, "DELAY1", "19"], capture_output=True,
                           text=True, timeout=30)
        self.assertEqual((r.returncode, r.stderr),
                         (1, "netbuf-db: DELAY1 must be at least 20 (ms between two frames "
                             "on the reader line): 19\n"))
        run(netbuf_db, "set", db, "DELAY1", "20")
        link = self.path("usr/lib/netbuf/net.db")
        os.remove(link)
        os.symlink(db, link)
        exe_dir = sorted(os.listdir(os.path.dirname(link)))

        with open(self.path(UNIT)) as f:
            svc = read_unit(f.read())["Service"]
        runtime = self.path("run/netbuf")
        os.makedirs(runtime, 0o755)
        # What systemd gives the service for its RuntimeDirectory=.
        env = {"PATH": "/usr/bin:/bin", "HOME": "/nonexistent", "RUNTIME_DIRECTORY": runtime}
        for assignment in svc.get("Environment", []):
            k, _, v = assignment.partition("=")
            env[k] = v
        cmd = [self.path("usr/sbin/netbuf")]  # through the link on the PATH
        if os.geteuid() == 0:
            for p in (state, db, runtime):
                os.chown(p, 65534, 65534)
            cmd = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"] + cmd
        proc = subprocess.Popen(cmd, cwd="/", env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            def answer():
                try:
                    with socket.create_connection(("127.0.0.1", service), timeout=2) as s:
                        s.sendall(b"#Jan,x,1,2,4$")
                        return s.recv(16)
                except OSError:
                    return None
            self.assertEqual(wait_for(answer, 15), b"OK")
            control = os.path.join(runtime, "control")
            self.assertTrue(stat.S_ISSOCK(os.stat(control).st_mode))
            self.assertEqual(stat.S_IMODE(os.stat(control).st_mode), 0o660)
            pc = Pc(tcp)
            try:
                self.assertEqual(len(pc.write_regs(3000, [0x1357])), 12)
            finally:
                pc.close()
            stop_process(proc, 30, signal.SIGTERM)
            out, err = proc.communicate()
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        self.assertEqual(proc.returncode, 0, err)
        self.assertIn("Port TCP nr: %d otwarty." % tcp, out.decode())
        # Qt has nothing to complain about; what standard error has is
        # netbuf's own account of the start and the stop, nothing failed.
        self.assertNotIn(b"XDG_RUNTIME_DIR", err)
        self.assertIn(b"PC port %d open" % tcp, err)
        self.assertNotRegex(err, rb"cannot|not stored|Error|error")
        con = sqlite3.connect(db)
        try:
            self.assertEqual(con.execute("SELECT val FROM register WHERE adres=3000").fetchall(),
                             [(0x1357,)])
        finally:
            con.close()
        # SQLite kept its journal beside the real file, not the link; the
        # socket went with netbuf.
        self.assertEqual(sorted(os.listdir(os.path.dirname(link))), exe_dir)
        self.assertEqual(os.listdir(runtime), [])

    def test_installed_window_is_started_from_beside_the_real_executable(self):
        """With a display, netbuf started through its link on the PATH starts
        netbuf-window from beside the real executable."""
        x = Xvfb()
        env = dict(x.env(), HOME="/nonexistent")
        proc = subprocess.Popen([self.path("usr/sbin/netbuf")], cwd="/", env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        try:
            def window():
                try:
                    with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
                        return [os.readlink("/proc/%s/exe" % c) for c in f.read().split()]
                except OSError:  # it ended
                    return None
            self.assertTrue(wait_for(lambda: window() == [self.path(WINDOW)], 15), window())
            stop_process(proc, 30, signal.SIGTERM)
            err = proc.communicate()[1]
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
            x.stop()
        self.assertNotIn(b"netbuf: window", err)

    def test_server_package_alone_runs_headless_under_a_display(self):
        """Without netbuf-window, netbuf started with a working display runs
        headless and says so once."""
        state = tempfile.mkdtemp(prefix="netbuf-lean-db-")
        self.addCleanup(shutil.rmtree, state, True)
        db = os.path.join(state, "net.db")
        tcp = free_port()
        run(self.lean + "/usr/bin/netbuf-db", "create", db, "--port-tcp", str(tcp))
        x = Xvfb()
        proc = subprocess.Popen([self.lean + "/" + EXE, "--db", db], cwd="/",
                                env=dict(x.env(), HOME="/nonexistent"), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            self.assertTrue(wait_for(lambda: Netbuf.can_connect(tcp) or proc.poll() is not None,
                                     15))
            pc = Pc(tcp)
            try:
                self.assertEqual(pc.read_regs(0, 2), [0, 0])
            finally:
                pc.close()
            stop_process(proc, 30, signal.SIGTERM)
            err = proc.communicate()[1].decode()
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
            x.stop()
        self.assertEqual(proc.returncode, 0, err)
        window = [l for l in err.splitlines() if "window" in l]
        self.assertEqual(window, ["netbuf: no window program %s/%s; running without a window"
                                  % (self.lean, WINDOW)])

    def test_remove_and_purge_keep_the_database(self):
        """The package's own postrm, with the system's paths moved under a
        scratch root and the service helpers replaced by stand-ins."""
        scratch = tempfile.mkdtemp(prefix="netbuf-postrm-")
        self.addCleanup(shutil.rmtree, scratch, True)
        stubs = os.path.join(scratch, "stubs")
        os.makedirs(stubs)
        for cmd in ("deb-systemd-helper", "deb-systemd-invoke", "systemctl", "systemd-sysusers",
                    "systemd-tmpfiles", "userdel", "groupdel"):
            with open(os.path.join(stubs, cmd), "w") as f:
                f.write('#!/bin/sh\necho "$(basename "$0") $*" >> "%s/calls"\n' % scratch)
            os.chmod(os.path.join(stubs, cmd), 0o755)
        state = scratch + STATE
        os.makedirs(state)
        with open(state + "/net.db", "w") as f:
            f.write("history")
        control = run("dpkg-deb", "--ctrl-tarfile", self.deb, text=False).stdout
        text = subprocess.run(["tar", "-xO", "./postrm"], input=control, capture_output=True,
                              check=True, timeout=30).stdout.decode()
        text = text.replace(STATE, state).replace("/run/systemd", scratch + "/run/systemd")
        for action, told in (("remove", False), ("purge", True)):
            r = subprocess.run(["/bin/sh", "-c", text, "postrm", action],
                               env={"PATH": stubs + ":/usr/bin:/bin"}, capture_output=True,
                               text=True, timeout=30)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(state + "/net.db") as f:
                self.assertEqual(f.read(), "history", action)
            self.assertEqual(state in r.stderr, told, r.stderr)
        with open(scratch + "/calls") as f:
            calls = f.read()
        self.assertIn("deb-systemd-helper purge netbuf.service", calls)
        self.assertNotRegex(calls, r"userdel|groupdel")


if __name__ == "__main__":
    unittest.main()
