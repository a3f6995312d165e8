"""Starts the real netbuf binaries in a temporary directory and talks to them
with real peers. Every wait is bounded and every process is stopped."""

import os
import random
import select
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import tempfile
import threading
import time
import tty
import urllib.parse

BIN = os.environ.get("NETBUF_BIN", os.path.join(os.path.dirname(__file__), "../../build/bin"))


def _ephemeral_ports():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(x) for x in f.read().split())
            return low, high
    except (OSError, ValueError):
        return 32768, 60999


_picked_ports = set()


def free_port():
    """A port free on every address and outside the kernel's ephemeral
    range: a port the kernel handed out for bind(0) may meanwhile become the
    local end of another test's outgoing connection, and netbuf then finds
    it taken. Ports are drawn at random so that tests running side by side
    rarely meet, and never twice in one process."""
    low, high = _ephemeral_ports()
    ranges = [r for r in ((10000, low), (high + 1, 65536)) if r[1] - r[0] > 1000]
    if not ranges:
        ranges = [(1024, 65536)]
    for _ in range(200):
        start, end = random.choice(ranges)
        port = random.randrange(start, end)
        if port in _picked_ports:
            continue
        try:
            with socket.socket() as s:
                s.bind(("", port))
        except OSError:
            continue
        _picked_ports.add(port)
        return port
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


def mbap(tid, unit, pdu):
    """A Modbus TCP frame: the MBAP header in front of the PDU."""
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + bytes(pdu)


def card_record(index, typ, code, time_zone, geo_zone, rest=bytes(16)):
    """A 32-byte card record as the PC uploads it (function 21, file 8); code
    is 10 hex digits."""
    return struct.pack(">HB5sII16s", index, typ, bytes.fromhex(code), time_zone, geo_zone, rest)


EVENT_COLUMNS = ("ID", "typ", "ADR485", "time", "timezone", "typ_kodu", "kod1", "kod2", "kod3",
                 "kod4", "kod5", "status", "code_no", "alarm", "event", "q5")
# Bytes of each column in a 32-byte event record, in column order.
EVENT_WIDTHS = (4, 1, 1, 4, 4, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 4)


def event_record(row):
    """The 32-byte record the PC gets for one `event` row (values in
    EVENT_COLUMNS order): big-endian, the low bytes of each value."""
    return b"".join((v & ((1 << 8 * w) - 1)).to_bytes(w, "big")
                    for v, w in zip(row, EVENT_WIDTHS))


def stop_process(proc, timeout=5, sig=signal.SIGTERM):
    """Ends a process started by a test: the signal, then SIGKILL when it
    does not go within timeout seconds. Returns its exit code."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


def shut_down(nb, *parts, cleanup=True):
    """Stops netbuf first (so it sees no peer vanish while it runs on), then
    each peer or line (stop() or close(); None is skipped), then removes
    netbuf's directory unless cleanup is false."""
    nb.stop()
    for p in parts:
        if p is not None:
            (getattr(p, "stop", None) or p.close)()
    if cleanup:
        nb.cleanup()


def cpu_ms(pid):
    """CPU time the process has used so far, all threads, from schedstat (ns
    resolution, so it stays meaningful on a loaded machine where wall time
    does not)."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e6


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

    def __init__(self, directory, a_name, b_name, sniff=None):
        """sniff: a file that receives, raw, every byte going from end a to end b."""
        self.a = os.path.join(directory, a_name)
        self.b = os.path.join(directory, b_name)
        self.proc = subprocess.Popen(
            ["socat"] + (["-r", sniff] if sniff else []) +
            ["pty,raw,echo=0,link=" + self.a, "pty,raw,echo=0,link=" + self.b],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: os.path.exists(self.a) and os.path.exists(self.b), 10):
            self.close()
            raise RuntimeError("socat did not make the pty pair")

    def close(self):
        stop_process(self.proc)


class Netbuf:
    """netbuf headless in its own directory with its own net.db."""

    def __init__(self, port_tcp=None, service=None, com=0, delay=30, n_card=0, s_card=0,
                 monitor="", create_db=True):
        self.dir = tempfile.mkdtemp(prefix="netbuf-sys-")
        self.exe = os.path.join(self.dir, "netbuf")
        shutil.copy2(os.path.join(BIN, "netbuf"), self.exe)
        # The window is a program netbuf starts from beside itself.
        self.window_program = os.path.join(self.dir, "netbuf-window")
        if os.path.exists(os.path.join(BIN, "netbuf-window")):
            shutil.copy2(os.path.join(BIN, "netbuf-window"), self.window_program)
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

    def start(self, wait_port=True, display=None, env_extra=None, stdout=None, args=()):
        """Headless unless `display` (":N") names an X server; then with a
        real window on it. env_extra adds to the environment; stdout (a file
        descriptor) replaces stdout.txt; args go on the command line."""
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        if display:
            env["DISPLAY"] = display
            env.pop("QT_QPA_PLATFORM", None)
        else:
            env["QT_QPA_PLATFORM"] = "offscreen"
        if self.monitor:
            env["NETBUF_MONITOR"] = self.monitor
        env.update(env_extra or {})
        self.out = open(self.out_path, "ab")
        self.err = open(self.err_path, "ab")
        self.proc = subprocess.Popen([self.exe, *args], cwd="/", env=env,
                                     stdout=self.out if stdout is None else stdout,
                                     stderr=self.err, stdin=subprocess.DEVNULL)
        if wait_port and self.port_tcp:
            if not wait_for(lambda: self.can_connect(self.port_tcp), 15):
                raise RuntimeError("netbuf did not listen: " + self.stderr())
            # The service port opens just after the PC port, and a test may
            # use it at once. Its journal line says so without a connection
            # of the test's own; a test of a port that cannot open goes on.
            if self.service:
                opened = "service port %d open" % self.service
                wait_for(lambda: opened in self.stderr(), 5)
        return self

    @staticmethod
    def can_connect(port):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            return False

    def stop(self, sig=signal.SIGTERM):
        if self.proc:
            stop_process(self.proc, 15, sig)
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

    def execute(self, sql, args=()):
        """A data statement, committed (query() leaves none standing)."""
        con = sqlite3.connect(self.db, timeout=5)
        try:
            con.execute(sql, args)
            con.commit()
        finally:
            con.close()

    def stderr_lines(self):
        """stderr's lines, without Qt's complaint about a missing runtime
        directory (the unit gives it one)."""
        return [l for l in self.stderr().split("\n") if l and "XDG_RUNTIME_DIR" not in l]

    def stdout_lines(self):
        return self.stdout().split("\n")

    def wait_stdout_line(self, line, timeout=10.0, count=1):
        """True once `line` stands `count` times as a whole line on stdout."""
        return bool(wait_for(lambda: self.stdout_lines().count(line) >= count, timeout, 0.1))

    def peek(self, sql, args=(), attempts=50):
        """A read of net.db beside netbuf, as a report or a backup reads it:
        in WAL mode it neither waits for netbuf's commits nor holds them up.
        A read that meets a file half replaced is tried again."""
        uri = "file:%s?mode=ro" % urllib.parse.quote(self.db)
        for attempt in range(attempts):
            try:
                con = sqlite3.connect(uri, uri=True, timeout=1)
                try:
                    return con.execute(sql, args).fetchall()
                finally:
                    con.close()
            except sqlite3.DatabaseError:
                if attempt == attempts - 1:
                    raise
                time.sleep(0.02)
        return []

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

    def recv_answer(self, timeout=3.0):
        """One whole answer, as long as its MBAP header says; shorter (or b"")
        when the connection closes or stays quiet."""
        head = self.recv_exact(6, timeout)
        if len(head) < 6:
            return head
        return head + self.recv_exact(struct.unpack(">H", head[4:6])[0], timeout)

    @staticmethod
    def file_request(function, file_no, record_no, registers, data=b"", tid=1, unit=255):
        """A function 20/21 request with one sub-request (reference type 6);
        registers is the record length in 16-bit words."""
        pdu = struct.pack(">BBBHHH", function, 7 + len(data), 6, file_no, record_no,
                          registers) + bytes(data)
        return mbap(tid, unit, pdu)

    def write_file_record(self, file_no, records, record_no=0, tid=1):
        """Function 21 carrying the 32-byte records; returns (request, answer)."""
        data = b"".join(records)
        request = self.file_request(21, file_no, record_no, len(data) // 2, data, tid)
        self.send(request)
        return request, self.recv_answer()

    def read_file_record(self, file_no, record_no, count, tid=1):
        """Function 20 for count 32-byte records; the raw answer."""
        self.send(self.file_request(20, file_no, record_no, 16 * count, tid=tid))
        return self.recv_answer()

    def close(self):
        self.sock.close()


class ReaderSim:
    """netbuf-readersim on one end of a line, its stdout collected line by line."""

    def __init__(self, device, *args, stdin=subprocess.PIPE):
        self.proc = subprocess.Popen([os.path.join(BIN, "netbuf-readersim"), device, *args],
                                     stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, bufsize=1)
        self.lines = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._collect, daemon=True)
        self.reader.start()
        if not self.wait_line(lambda l: l.startswith("ready on "), 10):
            self.stop()
            raise RuntimeError("simulator not ready: %r" % self.lines)

    def _collect(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def mark(self):
        with self.cond:
            return len(self.lines)

    def since(self, start):
        with self.cond:
            return list(self.lines[start:])

    def wait_line(self, match, timeout=5.0, start=0):
        """The first line from index start on that matches (a text or a
        predicate); None on time-out."""
        if isinstance(match, str):
            text = match
            match = lambda l: l == text
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines[start:]:
                    if match(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def command(self, text, timeout=5.0):
        """Sends one console line; returns its closing "ok" / "error: ..." line."""
        start = self.mark()
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        return self.wait_line(lambda l: l == "ok" or l.startswith("error: "), timeout, start)

    def stop(self):
        stop_process(self.proc)
        self.reader.join(5)
        for f in (self.proc.stdin, self.proc.stdout):
            if f:
                f.close()
        return self.proc.returncode


class Xvfb:
    """A private X server. Xvfb picks a free display number itself and names
    it on a pipe once it accepts clients, so two of them started at once
    cannot take the same number."""

    def __init__(self, size="1024x768x24", timeout=20.0):
        self.proc = None
        self.log_file = tempfile.TemporaryFile()
        r, w = os.pipe()
        try:
            self.proc = subprocess.Popen(
                # -noreset: the server resets whenever its last client leaves,
                # and refuses a client that comes during the reset; the short
                # xdotool and import clients would make that happen often.
                ["Xvfb", "-displayfd", str(w), "-screen", "0", size, "-nolisten", "tcp",
                 "-noreset"],
                pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=self.log_file)
            os.close(w)
            w = None
            text = b""
            deadline = time.monotonic() + timeout
            while not text.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([r], [], [], left)[0]:
                    break
                chunk = os.read(r, 16)
                if not chunk:
                    break
                text += chunk
        finally:
            if w is not None:
                os.close(w)
            os.close(r)
        if not text.strip().isdigit():
            log = self.log()
            self.stop()
            raise RuntimeError("Xvfb did not start: " + log)
        self.number = int(text)
        self.display = ":%d" % self.number
        if not wait_for(lambda: os.path.exists("/tmp/.X11-unix/X%d" % self.number), timeout):
            self.stop()
            raise RuntimeError("Xvfb has no socket for " + self.display)

    def env(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("QT_QPA_PLATFORM", None)
        return env

    def run(self, *args, timeout=20, check=True):
        """An X client (import, xdotool ...) on this display."""
        return subprocess.run(list(args), env=self.env(), capture_output=True, timeout=timeout,
                              check=check)

    def log(self):
        """What the server wrote on stderr, and whether it still runs."""
        self.log_file.seek(0)
        text = self.log_file.read().decode("utf-8", "replace")
        alive = self.proc is not None and self.proc.poll() is None
        return "Xvfb %s%s:\n%s" % (getattr(self, "display", "?"),
                                    "" if alive else " (ended)", text)

    def stop(self):
        if self.proc:
            stop_process(self.proc)
        self.log_file.close()


def vm_kb(pid, field):
    """A memory figure of /proc/PID/status in kB (VmHWM, VmRSS ...); None when gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


# -- the reader line seen from the readers' side ------------------------------

def poll_frame(address):
    return with_crc(bytes([address & 0xFF, 0x03, 0x00, 0x0A, 0x00, 0x05]))


def relay_frame(address):
    return with_crc(bytes([address & 0xFF, 0x10, 0x00, 0x96, 0x00, 0x01, 0x02, 0x00, 0xFE]))


def buzzer_frame(address, pattern):
    """The pattern travels low byte first."""
    return with_crc(bytes([address & 0xFF, 0x10, 0x00, 0x97, 0x00, 0x01, 0x02, pattern & 0xFF,
                           pattern >> 8 & 0xFF]))


def reader_slots(readers):
    """Register values for slots 0, 1, ... from (adr485, geo zone, flags)
    triples; None leaves a slot empty."""
    values = []
    for r in readers:
        values += [0, 0, 0, 0] if r is None else [r[0] << 8 | r[1], r[2] << 8, 0, 0]
    return values


def split_requests(data):
    """Cuts what a bus master wrote into frames: a function 3 request is 8
    bytes, a function 16 request 9 plus its byte count. A byte that starts
    neither is a frame of its own, so stray bytes stay visible. Returns the
    frames and the incomplete rest."""
    frames, i = [], 0
    while i + 2 <= len(data):
        fn = data[i + 1]
        if fn == 0x03:
            n = 8
        elif fn == 0x10:
            if i + 7 > len(data):
                break
            n = 9 + data[i + 6]
        else:
            frames.append(bytes(data[i:i + 1]))
            i += 1
            continue
        if i + n > len(data):
            break
        frames.append(bytes(data[i:i + n]))
        i += n
    return frames, bytes(data[i:])


class _FrameLog:
    """Frames with the moment they were seen, shared with a collecting thread."""

    def __init__(self):
        self.frames = []  # (monotonic time, frame bytes)
        self.cond = threading.Condition()

    def _add(self, t, frames):
        with self.cond:
            self.frames.extend((t, f) for f in frames)
            self.cond.notify_all()

    def mark(self):
        with self.cond:
            return len(self.frames)

    def since(self, start=0):
        with self.cond:
            return list(self.frames[start:])

    def wait_frame(self, frame, count=1, timeout=10.0, start=0):
        """Index of the count-th occurrence of frame from index start on, or None."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                seen = 0
                for i in range(start, len(self.frames)):
                    if self.frames[i][1] == frame:
                        seen += 1
                        if seen == count:
                            return i
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def wait_count(self, n, timeout=10.0, start=0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while len(self.frames) - start < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
            return True


class LineTap(_FrameLog):
    """Follows the sniff file of a PtyPair: the master's frames, exact, each
    with the moment it was seen (within the 10 ms between looks)."""

    def __init__(self, path):
        super().__init__()
        self.path = path
        self._stop = threading.Event()
        self.thread = threading.Thread(target=self._follow, daemon=True)
        self.thread.start()

    def _follow(self):
        f, rest = None, b""
        try:
            while not self._stop.is_set():
                if f is None and os.path.exists(self.path):
                    f = open(self.path, "rb")
                data = f.read() if f else b""
                if data:
                    frames, rest = split_requests(rest + data)
                    self._add(time.monotonic(), frames)
                self._stop.wait(0.01)
        finally:
            if f:
                f.close()

    def stop(self):
        self._stop.set()
        self.thread.join(5)


class RawReaders(_FrameLog):
    """Card readers in a few lines of Python on the raw end of a line, for
    exact bytes and times: every frame the master writes is kept with the
    moment it arrived; polls get the status and code registers, relay and
    buzzer writes an acknowledgement, at once, from a thread of the test.
    Readers are keyed by the address byte on the wire."""

    def __init__(self, device, addresses):
        super().__init__()
        self.fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.codes = {a: bytes(6) for a in addresses}
        self.status = {a: 0 for a in addresses}
        self.relay_unanswered = set()  # readers that let relay frames go unacknowledged
        self.late = {}  # address -> seconds the reader waits before it answers
        self.acknowledged = []  # indexes of the relay frames that were acknowledged
        self.lost = False
        self._wake_r, self._wake_w = os.pipe()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def present(self, address, code):
        """From now on the reader answers with this 6-byte code; returns the moment."""
        self.codes[address] = bytes(code)
        return time.monotonic()

    def send(self, data):
        """Raw bytes onto the line, as if from some reader."""
        os.write(self.fd, bytes(data))

    def _answer(self, f):
        a = f[0]
        if a not in self.codes or len(f) < 8 or crc16(f[:-2]) != f[-2] | f[-1] << 8:
            return None
        if f[1] == 0x03 and f[2:6] == b"\x00\x0a\x00\x05":
            return with_crc(bytes([a, 0x03, 10]) + self.status[a].to_bytes(2, "big") +
                            bytes(2) + self.codes[a])
        if f[1] == 0x10:
            if f[2:4] == b"\x00\x96" and a in self.relay_unanswered:
                return None
            return with_crc(f[:6])
        return None

    def _serve(self):
        rest = b""
        while True:
            ready = select.select([self.fd, self._wake_r], [], [])[0]
            if self._wake_r in ready:
                return
            try:
                data = os.read(self.fd, 4096)
            except OSError:
                data = b""
            if not data:
                self.lost = True
                return
            t = time.monotonic()
            frames, rest = split_requests(rest + data)
            for f in frames:
                answer = self._answer(f)
                if answer:
                    if self.late.get(f[0]):
                        time.sleep(self.late[f[0]])
                    try:
                        os.write(self.fd, answer)
                    except OSError:
                        pass
                with self.cond:
                    if answer and f[1] == 0x10 and f[2:4] == b"\x00\x96":
                        self.acknowledged.append(len(self.frames))
                    self.frames.append((t, f))
                    self.cond.notify_all()

    def stop(self):
        if self.thread.is_alive():
            os.write(self._wake_w, b"x")
            self.thread.join(5)
        for fd in (self.fd, self._wake_r, self._wake_w):
            try:
                os.close(fd)
            except OSError:
                pass


class PymodbusReaders:
    """pymodbus RTU slaves, one per address, 256 holding registers each, on
    one end of a line. Their event loop runs on a thread of the test, so the
    test sets and reads their registers directly."""

    def __init__(self, device, addresses, size=256):
        import asyncio
        import logging
        from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                        ModbusSlaveContext)
        from pymodbus.framer.rtu_framer import ModbusRtuFramer
        from pymodbus.server.async_io import ModbusSerialServer

        self.asyncio = asyncio
        # pymodbus reports every request for an absent unit as an error.
        logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
        self.slaves = {a: ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [0] * size),
                                             zero_mode=True) for a in addresses}
        self.server = ModbusSerialServer(ModbusServerContext(slaves=self.slaves, single=False),
                                         ModbusRtuFramer, port=device, baudrate=19200,
                                         ignore_missing_slaves=True)
        self.loop = asyncio.new_event_loop()
        self.error = None
        started = threading.Event()

        def run():
            asyncio.set_event_loop(self.loop)
            try:
                self.loop.run_until_complete(self.server.start())
            except Exception as e:  # the test raises it below
                self.error = e
            started.set()
            if self.error is None:
                self.loop.run_forever()

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()
        if not started.wait(10) or self.error or self.server.transport is None:
            self.stop()
            raise RuntimeError("pymodbus did not open %s: %r" % (device, self.error))

    def set(self, address, register, values):
        self.slaves[address].setValues(3, register, list(values))

    def get(self, address, register, count=1):
        return self.slaves[address].getValues(3, register, count)

    def stop(self):
        asyncio = self.asyncio
        if self.loop.is_running():
            async def shutdown():
                await self.server.shutdown()
                me = asyncio.current_task()
                tasks = [t for t in asyncio.all_tasks() if t is not me]
                for t in tasks:
                    t.cancel()
                await asyncio.gather(*tasks, return_exceptions=True)
            try:
                asyncio.run_coroutine_threadsafe(shutdown(), self.loop).result(5)
            finally:
                self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)
        if not self.thread.is_alive():
            self.loop.close()


def cpu_seconds(pid):
    """User plus system CPU time of a process so far (/proc/PID/stat)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def remote(port, text):
    """One remote-control command on its own connection; the answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(text.encode())
        return s.recv(16)


def configure_readers(nb, readers):
    """Reader slots in net.db (before start) from reader_slots() triples."""
    for i, v in enumerate(reader_slots(readers)):
        nb.execute("UPDATE register SET val=? WHERE adres=?", (v, 1400 + i))


def card0_all_day(nb):
    """In net.db (before start): time zone 0 all day on every day, and card 0
    (code 0A1B2C3D4E) passing there in geo zone 0."""
    for i, v in enumerate([0, 1440] * 7):
        nb.execute("UPDATE register SET val=? WHERE adres=?", (v, 1700 + i))
    nb.execute("UPDATE karty SET typ=1, kod='0A1B2C3D4E', time_zone=1, geo_zone=1 WHERE numer=1")


class Installation:
    """netbuf on a reader line, as the system tests set it up: a pty pair
    named COM`com` in netbuf's directory, `prepare(nb)` (net.db before the
    start), the readers `readers(device)` on the line's far end, netbuf
    started, `polled(readers)` true once netbuf polls them, and with
    pc_timeout a PC connected; `start` goes to nb.start(). stop() takes it down in the other order:
    the PC, netbuf, the readers, the line; then netbuf's directory unless
    told to keep it. A set-up that fails takes down what it made, keeping the
    directory only with keep_dir."""

    def __init__(self, nb, readers=None, prepare=None, polled=None, pc_timeout=None, com=3,
                 keep_dir=False, **start):
        self.nb = nb
        self.line = self.readers = self.pc = None
        try:
            self.line = PtyPair(nb.dir, "COM%d" % com, "readers")
            if prepare:
                prepare(nb)
            if readers:
                self.readers = readers(self.line.b)
            nb.start(**start)
            if polled and not polled(self.readers):
                raise RuntimeError("the readers are not polled: " + nb.stderr())
            if pc_timeout:
                self.pc = Pc(nb.port_tcp, timeout=pc_timeout)
        except BaseException:
            self.stop(cleanup=not keep_dir)
            raise

    def stop(self, cleanup=True):
        if self.pc:
            self.pc.close()
            self.pc = None
        shut_down(self.nb, self.readers, self.line, cleanup=cleanup)


def simulated_readers(nb, readers, **kw):
    """An Installation whose readers netbuf-readersim plays: their slots in
    net.db from reader_slots() triples, and polled once netbuf polls the last
    of them. Further arguments go to Installation."""
    addresses = [r[0] for r in readers if r is not None]
    return Installation(
        nb, prepare=lambda n: configure_readers(n, readers),
        readers=lambda device: ReaderSim(device, "--readers", ",".join(map(str, addresses))),
        polled=lambda sim: sim.wait_line("poll address %d" % addresses[-1], 15), **kw)
