"""Starts the real netbuf binaries in a temporary directory and talks to them
with real peers. Every wait is bounded and every process is stopped."""

import os
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import tempfile
import time

BIN = os.environ.get("NETBUF_BIN", os.path.join(os.path.dirname(__file__), "../../build/bin"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def with_crc(frame):
    c = crc16(frame)
    return bytes(frame) + bytes([c & 0xFF, c >> 8])


class PtyPair:
    """Two linked pseudo-terminals made by socat: netbuf opens one end as COMn,
    the test or a simulated reader the other."""

    def __init__(self, directory, a_name, b_name):
        self.a = os.path.join(directory, a_name)
        self.b = os.path.join(directory, b_name)
        self.proc = subprocess.Popen(
            ["socat", "pty,raw,echo=0,link=" + self.a, "pty,raw,echo=0,link=" + self.b],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: os.path.exists(self.a) and os.path.exists(self.b), 10):
            self.close()
            raise RuntimeError("socat did not make the pty pair")

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Netbuf:
    """netbuf headless in its own directory with its own net.db."""

    def __init__(self, port_tcp=None, service=None, com=0, delay=30, n_card=0, s_card=0,
                 monitor="", create_db=True):
        self.dir = tempfile.mkdtemp(prefix="netbuf-sys-")
        self.exe = os.path.join(self.dir, "netbuf")
        shutil.copy2(os.path.join(BIN, "netbuf"), self.exe)
        self.db = os.path.join(self.dir, "net.db")
        self.port_tcp = free_port() if port_tcp is None else port_tcp
        self.service = free_port() if service is None else service
        self.monitor = monitor
        self.proc = None
        self.out_path = os.path.join(self.dir, "stdout.txt")
        self.err_path = os.path.join(self.dir, "stderr.txt")
        if create_db:
            self.netbuf_db("create", self.db, "--port-tcp", str(self.port_tcp), "--service",
                           str(self.service), "--com", str(com), "--delay", str(delay),
                           "--n-card", str(n_card), "--s-card", str(s_card))

    @staticmethod
    def netbuf_db(*args, check=True):
        return subprocess.run([os.path.join(BIN, "netbuf-db"), *args], capture_output=True,
                              text=True, timeout=60, check=check)

    def start(self, wait_port=True):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env["QT_QPA_PLATFORM"] = "offscreen"
        if self.monitor:
            env["NETBUF_MONITOR"] = self.monitor
        self.out = open(self.out_path, "ab")
        self.err = open(self.err_path, "ab")
        self.proc = subprocess.Popen([self.exe], cwd="/", env=env, stdout=self.out,
                                     stderr=self.err, stdin=subprocess.DEVNULL)
        if wait_port and self.port_tcp:
            if not wait_for(lambda: self.can_connect(self.port_tcp), 15):
                raise RuntimeError("netbuf did not listen: " + self.stderr())
        return self

    @staticmethod
    def can_connect(port):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            return False

    def stop(self, sig=signal.SIGTERM):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for f in ("out", "err"):
            if hasattr(self, f):
                getattr(self, f).close()
        return self.proc.returncode if self.proc else None

    def kill(self):
        return self.stop(signal.SIGKILL)

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def stdout(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def query(self, sql, args=()):
        con = sqlite3.connect(self.db, timeout=5)
        try:
            return con.execute(sql, args).fetchall()
        finally:
            con.close()

    def register_in_db(self, adres):
        rows = self.query("SELECT val FROM register WHERE adres=?", (adres,))
        return rows[0][0] if rows else None

    def link_com(self, n, device):
        """Makes COMn in netbuf's directory point at a device."""
        path = os.path.join(self.dir, "COM%d" % n)
        if os.path.lexists(path):
            os.remove(path)
        os.symlink(device, path)


class Pc:
    """A raw Modbus TCP client."""

    def __init__(self, port, timeout=3.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(timeout)

    def send(self, data):
        self.sock.sendall(bytes(data))

    def recv_exact(self, n, timeout=3.0):
        self.sock.settimeout(timeout)
        buf = b""
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                break
            buf += chunk
        return buf

    def recv_quiet(self, wait=0.5):
        """Whatever arrives within `wait` seconds (b"" when nothing)."""
        self.sock.settimeout(wait)
        try:
            return self.sock.recv(65536)
        except socket.timeout:
            return b""

    def read_regs(self, start, qty, tid=1):
        self.send(struct.pack(">HHHBBHH", tid, 0, 6, 255, 3, start, qty))
        head = self.recv_exact(9)
        body = self.recv_exact(head[8]) if len(head) == 9 else b""
        return list(struct.unpack(">%dH" % qty, body)) if len(body) == 2 * qty else None

    def write_regs(self, start, values, tid=1):
        data = struct.pack(">%dH" % len(values), *values)
        self.send(struct.pack(">HHHBBHHB", tid, 0, 7 + len(data), 255, 16, start, len(values),
                              len(data)) + data)
        return self.recv_exact(12)

    def close(self):
        self.sock.close()
