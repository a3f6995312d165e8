"""The Debian package and its service: what the .deb holds, that the unit runs
the packaged executable where its data is writable, that the installed tree
runs headless as the unit runs it, and what the maintainer scripts do on
install, upgrade, removal and purge (against recording stand-ins for the
system commands). The package tests need build-pkg/netbuf_*.deb from
scripts/package.sh and are skipped without it; the unit and script tests
always run."""

import glob
import io
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import tarfile
import tempfile
import unittest

from netbuf_harness import free_port, wait_for

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
PACKAGING = os.path.join(ROOT, "packaging")
UNIT = os.path.join(PACKAGING, "netbuf.service")
SCRIPTS = ("postinst", "prerm", "postrm")

EXPECTED_FILES = {
    "./opt/netbuf/bin/netbuf": 0o755,
    "./usr/bin/netbuf-db": 0o755,
    "./usr/bin/netbuf-readersim": 0o755,
    "./lib/systemd/system/netbuf.service": 0o644,
    "./usr/share/doc/netbuf/README.md": 0o644,
}


def project_version():
    return re.search(r"project\(netbuf VERSION ([0-9.]+)",
                     read(os.path.join(ROOT, "CMakeLists.txt"))).group(1)


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def find_deb():
    debs = glob.glob(os.path.join(ROOT, "build-pkg", "netbuf_%s_*.deb" % project_version()))
    return debs[0] if len(debs) == 1 else None


def read_unit(text):
    """The unit as {section: {key: [values]}}; systemd keys may repeat."""
    units = {}
    section = None
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


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, timeout=30, check=True, **kw)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.deb = find_deb()
        if not cls.deb:
            raise unittest.SkipTest("no build-pkg/netbuf_%s_*.deb; build it with scripts/package.sh"
                                    % project_version())
        cls.tree = tempfile.mkdtemp(prefix="netbuf-pkg-")
        run("dpkg-deb", "-x", cls.deb, cls.tree)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tree, ignore_errors=True)

    def member(self, tar_bytes, name):
        with tarfile.open(fileobj=io.BytesIO(tar_bytes)) as t:
            return t.extractfile(t.getmember(name)).read()

    def test_files_modes_and_nothing_else(self):
        data = run("dpkg-deb", "--fsys-tarfile", self.deb).stdout
        with tarfile.open(fileobj=io.BytesIO(data)) as t:
            members = t.getmembers()
        files = {m.name: m for m in members if not m.isdir()}
        # net.db in particular must never come with the package: an upgrade
        # would overwrite the installation's data.
        self.assertEqual(set(files), set(EXPECTED_FILES))
        for name, mode in EXPECTED_FILES.items():
            m = files[name]
            self.assertEqual((stat.S_IMODE(m.mode), m.uname, m.gname), (mode, "root", "root"), name)
        self.assertEqual(self.member(data, "./lib/systemd/system/netbuf.service"),
                         read(UNIT, "rb"),
                         "the package's unit is stale; rebuild with scripts/package.sh")

    def test_control_dependencies_and_maintainer_scripts(self):
        fields = run("dpkg-deb", "-f", self.deb).stdout.decode()
        self.assertRegex(fields, r"(?m)^Package: netbuf$")
        self.assertRegex(fields, r"(?m)^Version: %s$" % re.escape(project_version()))
        depends = re.search(r"(?m)^Depends: (.*)$", fields).group(1)
        for lib in ("libqt6widgets6", "libqt6network6", "libqt6serialport6", "libsqlite3-0",
                    "libstdc++6", "passwd"):
            self.assertIn(lib, depends)
        ctrl = run("dpkg-deb", "--ctrl-tarfile", self.deb).stdout
        with tarfile.open(fileobj=io.BytesIO(ctrl)) as t:
            modes = {os.path.basename(m.name): stat.S_IMODE(m.mode) for m in t.getmembers()}
        for s in SCRIPTS:
            self.assertEqual(modes.get(s), 0o755, s)
            self.assertEqual(self.member(ctrl, "./" + s),
                             read(os.path.join(PACKAGING, "debian", s), "rb"),
                             s + " in the package is stale; rebuild with scripts/package.sh")

    def test_installed_tree_runs_as_the_unit_runs_it(self):
        exe = os.path.join(self.tree, "opt/netbuf/bin/netbuf")
        self.assertNotIn(b"not found", run("ldd", exe).stdout)
        tcp, service = free_port(), free_port()
        run(os.path.join(self.tree, "usr/bin/netbuf-db"), "create",
            os.path.join(self.tree, "opt/netbuf/bin/net.db"),
            "--port-tcp", str(tcp), "--service", str(service))
        unit = read_unit(read(UNIT))["Service"]
        env = {"PATH": "/usr/bin:/bin", "HOME": "/nonexistent"}
        runtime = os.path.join(self.tree, "run")
        os.mkdir(runtime, 0o700)
        for assignment in unit["Environment"]:
            k, _, v = assignment.partition("=")
            env[k] = runtime if k == "XDG_RUNTIME_DIR" else v
        proc = subprocess.Popen([exe], cwd="/", env=env, stdin=subprocess.DEVNULL,
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
            proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        self.assertEqual(proc.returncode, 0, err)
        self.assertIn("Port TCP nr: %d otwarty." % tcp, out.decode())
        # With the unit's environment Qt finds its runtime directory and has
        # nothing to complain about.
        self.assertEqual(err, b"")


class UnitTest(unittest.TestCase):
    def test_unit_verifies_and_keeps_its_paths_consistent(self):
        text = read(UNIT)
        unit = read_unit(text)
        svc = unit["Service"]
        exe = svc["ExecStart"][0]
        data_dir = os.path.dirname(exe)
        self.assertIn("." + exe, EXPECTED_FILES)
        self.assertEqual(unit["Unit"]["ConditionPathExists"], [data_dir + "/net.db"])
        self.assertIn(data_dir, svc["ReadWritePaths"][0].split())
        self.assertEqual(svc["ProtectSystem"], ["strict"])
        self.assertEqual((svc["User"], svc["KillSignal"], svc["Restart"]),
                         (["netbuf"], ["SIGTERM"], ["on-failure"]))
        self.assertIn("QT_QPA_PLATFORM=offscreen", svc["Environment"])
        for key in ("AmbientCapabilities", "CapabilityBoundingSet"):
            self.assertEqual(svc[key], ["CAP_NET_BIND_SERVICE"], key)
        # Each of these closes the device list and with it the reader line.
        for key in ("PrivateDevices", "DevicePolicy", "DeviceAllow", "ProtectClock"):
            self.assertNotIn(key, svc)

        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed")
        with tempfile.TemporaryDirectory() as d:
            # verify insists that the executable exists; point it at one that does.
            copy = os.path.join(d, "netbuf.service")
            with open(copy, "w") as f:
                f.write(text.replace("ExecStart=" + exe, "ExecStart=/bin/true"))
            r = subprocess.run(["systemd-analyze", "verify", copy], capture_output=True,
                               text=True, timeout=30)
        # Unknown keys and bad values are only warnings; any output is a fault.
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))


STUB = r"""#!/bin/sh
echo "$(basename "$0") $*" >> "$STATE/calls"
case "$(basename "$0") $1" in
  "getent passwd") [ -e "$STATE/user-$2" ] ;;
  "getent group") [ -e "$STATE/group-$2" ] ;;
  "useradd "*) for a; do n=$a; done; touch "$STATE/user-$n" "$STATE/group-$n" ;;
  "userdel "*) rm "$STATE/user-$1" ;;
  "groupdel "*) rm "$STATE/group-$1" ;;
  "dpkg-statoverride --list") [ -e "$STATE/override" ] ;;
  "dpkg-statoverride --update") touch "$STATE/override" ;;
  "dpkg-statoverride --remove") rm "$STATE/override" ;;
esac
"""


class MaintainerScriptsTest(unittest.TestCase):
    """The scripts run by /bin/sh with the system's paths moved under a
    scratch root and the commands that change users, overrides and services
    replaced by stand-ins that record their arguments."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="netbuf-scripts-")
        self.state = os.path.join(self.root, "state")
        stubs = os.path.join(self.root, "stubs")
        os.makedirs(self.state)
        os.makedirs(stubs)
        for cmd in ("getent", "useradd", "usermod", "userdel", "groupdel", "dpkg-statoverride",
                    "systemctl", "chown", "chmod"):
            path = os.path.join(stubs, cmd)
            with open(path, "w") as f:
                f.write(STUB)
            os.chmod(path, 0o755)
        self.env = {"PATH": stubs + ":/usr/bin:/bin", "STATE": self.state}
        self.dir = self.root + "/opt/netbuf/bin"
        os.makedirs(self.dir)

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def systemd(self):
        os.makedirs(self.root + "/run/systemd/system")

    def script(self, name, *args):
        text = read(os.path.join(PACKAGING, "debian", name))
        for p in ("/opt/netbuf", "/run/systemd/system", "/etc/systemd"):
            text = text.replace(p, self.root + p)
        open(os.path.join(self.state, "calls"), "w").close()
        r = subprocess.run(["/bin/sh", "-c", text, name, *args], env=self.env,
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        calls = [c for c in read(os.path.join(self.state, "calls")).splitlines()
                 if not c.startswith("getent ")]
        return calls, r.stderr

    def test_install_then_upgrade(self):
        self.systemd()
        calls, _ = self.script("postinst", "configure", "")
        self.assertEqual(calls, [
            "useradd --system --user-group --home-dir %s/opt/netbuf --no-create-home "
            "--shell /usr/sbin/nologin --comment netbuf event buffer netbuf" % self.root,
            "usermod --append --groups dialout netbuf",
            "dpkg-statoverride --list " + self.dir,
            "dpkg-statoverride --update --add root netbuf 1775 " + self.dir,
            "systemctl daemon-reload",
        ])
        # Upgrade: user and override are there; a running service restarts.
        calls, _ = self.script("postinst", "configure", "1.5.0")
        self.assertEqual(calls, [
            "usermod --append --groups dialout netbuf",
            "dpkg-statoverride --list " + self.dir,
            "systemctl daemon-reload",
            "systemctl try-restart netbuf.service",
        ])
        self.assertEqual(self.script("prerm", "upgrade", "1.6.0")[0], [])
        self.assertEqual(self.script("prerm", "remove")[0], ["systemctl stop netbuf.service"])

    def test_without_systemd_nothing_touches_services(self):
        for name, args in (("postinst", ("configure", "")), ("prerm", ("remove",)),
                           ("postrm", ("remove",))):
            calls, _ = self.script(name, *args)
            self.assertFalse([c for c in calls if c.startswith("systemctl")], name)

    def test_purge_removes_user_and_override_and_hands_data_to_root(self):
        self.systemd()
        self.script("postinst", "configure", "")
        wants = self.root + "/etc/systemd/system/multi-user.target.wants"
        os.makedirs(wants)
        os.symlink("/lib/systemd/system/netbuf.service", wants + "/netbuf.service")
        open(self.dir + "/net.db", "w").close()
        os.symlink("/dev/ttyUSB0", self.dir + "/COM1")

        self.assertNotIn("userdel netbuf", self.script("postrm", "remove")[0])
        calls, err = self.script("postrm", "purge")
        self.assertFalse(os.path.lexists(wants + "/netbuf.service"))
        for c in ("dpkg-statoverride --remove " + self.dir,
                  "chown -h root:root %s/net.db" % self.dir,
                  "chown -h root:root %s/COM1" % self.dir,
                  "userdel netbuf", "groupdel netbuf"):
            self.assertIn(c, calls)
        self.assertIn("data left in", err)
        self.assertEqual(os.listdir(self.state), ["calls"])
        # A second purge (user already gone) still succeeds.
        self.assertNotIn("userdel netbuf", self.script("postrm", "purge")[0])


if __name__ == "__main__":
    unittest.main()
