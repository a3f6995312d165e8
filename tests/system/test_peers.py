"""netbuf between Modbus stacks nobody here wrote, as a site would wire it:
libmodbus (through ctypes) as the PC client and as an RTU slave reader,
pymodbus as the PC client and as an RTU slave reader, a plain socket on the
service port. The reader line is an emulated RS485 bus at 19200 baud, so the
order of frames on it is that of a real wire. One table per surface."""

import contextlib
import ctypes
import math
import os
import select
import signal
import socket
import threading
import time
import tty
import unittest

from netbuf_harness import (Netbuf, Pc, PtyPair, PymodbusReaders, RawReaders, buzzer_frame,
                            configure_readers, poll_frame, relay_frame, remote, shut_down,
                            split_requests, wait_for, with_crc)

# -- libmodbus through ctypes ---------------------------------------------------

_lib = ctypes.CDLL("libmodbus.so.5", use_errno=True)
_lib.modbus_new_tcp.restype = ctypes.c_void_p
_lib.modbus_new_tcp.argtypes = [ctypes.c_char_p, ctypes.c_int]
_lib.modbus_new_rtu.restype = ctypes.c_void_p
_lib.modbus_new_rtu.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_char, ctypes.c_int,
                                ctypes.c_int]
for _name, _args in (("modbus_set_slave", [ctypes.c_void_p, ctypes.c_int]),
                     ("modbus_connect", [ctypes.c_void_p]),
                     ("modbus_set_response_timeout", [ctypes.c_void_p, ctypes.c_uint32,
                                                      ctypes.c_uint32]),
                     ("modbus_set_indication_timeout", [ctypes.c_void_p, ctypes.c_uint32,
                                                        ctypes.c_uint32]),
                     ("modbus_read_registers", [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                                ctypes.POINTER(ctypes.c_uint16)]),
                     ("modbus_write_registers", [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                                 ctypes.POINTER(ctypes.c_uint16)]),
                     ("modbus_receive", [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint8)]),
                     ("modbus_reply", [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint8),
                                       ctypes.c_int, ctypes.c_void_p])):
    getattr(_lib, _name).argtypes = _args
_lib.modbus_close.argtypes = [ctypes.c_void_p]
_lib.modbus_free.argtypes = [ctypes.c_void_p]
_lib.modbus_mapping_free.argtypes = [ctypes.c_void_p]
EMBXILADD = 112345678 + 2  # MODBUS_ENOBASE + illegal data address


class _Mapping(ctypes.Structure):
    _fields_ = [(n, ctypes.c_int) for n in ("nb_bits", "start_bits", "nb_input_bits",
                                            "start_input_bits", "nb_input_registers",
                                            "start_input_registers", "nb_registers",
                                            "start_registers")] + \
               [("tab_bits", ctypes.c_void_p), ("tab_input_bits", ctypes.c_void_p),
                ("tab_input_registers", ctypes.c_void_p),
                ("tab_registers", ctypes.POINTER(ctypes.c_uint16))]


_lib.modbus_mapping_new.restype = ctypes.POINTER(_Mapping)
_lib.modbus_mapping_new.argtypes = [ctypes.c_int] * 4


class LibmodbusPc:
    """libmodbus as the management PC: a TCP client that checks the whole
    transaction identifier of every answer."""

    def __init__(self, port):
        self.ctx = _lib.modbus_new_tcp(b"127.0.0.1", port)
        _lib.modbus_set_response_timeout(self.ctx, 3, 0)
        if _lib.modbus_connect(self.ctx) != 0:
            _lib.modbus_free(self.ctx)
            raise RuntimeError("libmodbus did not connect")

    def read(self, unit, start, count):
        """The registers, or the errno of a failure (EMBXILADD for exception 2)."""
        _lib.modbus_set_slave(self.ctx, unit)
        dest = (ctypes.c_uint16 * count)()
        if _lib.modbus_read_registers(self.ctx, start, count, dest) != count:
            return ctypes.get_errno()
        return list(dest)

    def write(self, unit, start, values):
        """0, or the errno of a failure."""
        _lib.modbus_set_slave(self.ctx, unit)
        src = (ctypes.c_uint16 * len(values))(*values)
        if _lib.modbus_write_registers(self.ctx, start, len(values), src) != len(values):
            return ctypes.get_errno()
        return 0

    def close(self):
        _lib.modbus_close(self.ctx)
        _lib.modbus_free(self.ctx)


class LibmodbusReader:
    """libmodbus as a card reader: an RTU slave with 256 holding registers on
    a line device, served from a thread of the test."""

    def __init__(self, device, address):
        self.ctx = _lib.modbus_new_rtu(device.encode(), 19200, b"N", 8, 1)
        _lib.modbus_set_slave(self.ctx, address)
        if _lib.modbus_connect(self.ctx) != 0:
            _lib.modbus_free(self.ctx)
            raise RuntimeError("libmodbus did not open " + device)
        # Wakes up now and then to see whether the test is over.
        _lib.modbus_set_indication_timeout(self.ctx, 0, 200000)
        self.mapping = _lib.modbus_mapping_new(0, 0, 256, 0)
        self.registers = self.mapping.contents.tab_registers
        self._stop = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def set(self, register, values):
        for i, v in enumerate(values):
            self.registers[register + i] = v

    def _serve(self):
        req = (ctypes.c_uint8 * 260)()
        while not self._stop.is_set():
            n = _lib.modbus_receive(self.ctx, req)
            if n > 0:
                _lib.modbus_reply(self.ctx, req, n, self.mapping)

    def stop(self):
        self._stop.set()
        self.thread.join(5)
        _lib.modbus_close(self.ctx)
        _lib.modbus_mapping_free(self.mapping)
        _lib.modbus_free(self.ctx)


# -- the RS485 bus --------------------------------------------------------------

class WireBus:
    """An RS485 line between netbuf (it opens COM3) and reader ports, each a pty
    pair of its own: a frame the master writes reaches the ports of the readers
    it addresses (libmodbus takes any frame it does not expect for the answer of
    another reader), every byte a reader writes reaches the master, each after
    its time on a 19200 baud wire (10 bits). Keeps every transmission with its
    times."""

    CHAR_S = 10 / 19200
    # A USB adapter's latency timer (seconds): the master is handed the
    # readers' bytes only at multiples of it. 0: at once, as a UART does.
    rx_latency = 0.0

    def __init__(self, directory, reader_ports):
        """reader_ports: {name: addresses}; the readers open directory/name."""
        self.pairs = []
        self.ports = {}
        self.routes = {}  # address -> fds
        self.readers = []
        try:
            self.pairs.append(PtyPair(directory, "COM3", "bus-master"))
            for name, addresses in reader_ports.items():
                self.pairs.append(PtyPair(directory, name + "-bus", name))
                self.ports[name] = os.path.join(directory, name)
                fd = self._open(self.pairs[-1].a)
                self.readers.append(fd)
                for a in addresses:
                    self.routes.setdefault(a, []).append(fd)
            self.master = self._open(self.pairs[0].b)
        except Exception:
            for fd in self.readers:
                os.close(fd)
            for p in self.pairs:
                p.close()
            raise
        # [who, start, end, bytes]: who is "master" or "reader".
        self.transmissions = []
        self.cond = threading.Condition()
        self._stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    @staticmethod
    def _open(path):
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(fd)
        return fd

    def _targets(self, data):
        """(bytes, fds) runs: each frame to the readers it addresses."""
        frames, rest = split_requests(data)
        runs = [(f, self.routes.get(f[0], [])) for f in frames]
        return runs + ([(rest, self.readers)] if rest else [])

    def _run(self):
        # Per direction: bytes waiting with the moment each has crossed the
        # wire and where it goes, when the wire is free again, and the
        # transmission being made.
        queues = {"master": [], "reader": []}
        free_at = {"master": 0.0, "reader": 0.0}
        current = {"master": None, "reader": None}
        while not self._stop.is_set():
            due = [q[0][0] for q in queues.values() if q]
            timeout = max(0.0, min(due) - time.monotonic()) if due else 0.05
            ready = select.select([self.master] + self.readers, [], [], timeout)[0]
            now = time.monotonic()
            for fd in ready:
                try:
                    data = os.read(fd, 4096)
                except OSError:
                    data = b""
                if not data:
                    continue
                who = "master" if fd == self.master else "reader"
                runs = self._targets(data) if who == "master" else [(data, [self.master])]
                with self.cond:
                    t = max(now, free_at[who])
                    if free_at[who] <= now:
                        current[who] = [who, t, t, b""]
                        self.transmissions.append(current[who])
                    for part, fds in runs:
                        for b in part:
                            t += self.CHAR_S
                            due = t
                            if who == "reader" and self.rx_latency:
                                due = math.ceil(t / self.rx_latency) * self.rx_latency
                            queues[who].append((due, bytes([b]), fds))
                    free_at[who] = t
                    current[who][2] = t
                    current[who][3] += data
                    self.cond.notify_all()
            for q in queues.values():
                k = 0
                while k < len(q) and q[k][0] <= now:
                    k += 1
                out = {}
                for _, b, fds in q[:k]:
                    for fd in fds:
                        out[fd] = out.get(fd, b"") + b
                del q[:k]
                for fd, chunk in out.items():
                    try:
                        os.write(fd, chunk)
                    except OSError:
                        pass

    def mark(self):
        with self.cond:
            return len(self.transmissions)

    def frames(self, who, start=0):
        """(start, end, frame) of everything `who` sent, frames cut apart."""
        with self.cond:
            out = []
            for w, t0, t1, data in self.transmissions[start:]:
                if w == who:
                    parts = split_requests(data)[0] if who == "master" else [data]
                    out += [(t0, t1, f) for f in parts]
            return out

    def wait_frame(self, who, frame, start=0, timeout=10.0):
        """The (start, end, frame) of the first `frame` sent by `who` from
        transmission `start` on, once its last byte has crossed the wire."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for t0, t1, f in self.frames(who, start):
                if f == frame and t1 <= time.monotonic():
                    return t0, t1, f
            time.sleep(0.01)
        return None

    def close(self):
        self._stop.set()
        self.thread.join(5)
        for fd in [self.master] + self.readers:
            os.close(fd)
        for p in self.pairs:
            p.close()


# -- the tests ----------------------------------------------------------------------

CODE_A = [0x000A, 0x1B2C, 0x3D4E]  # the code registers 12..14: 00 0A 1B 2C 3D 4E
CODE_B = [0x0011, 0x2233, 0x4455]


class PeersTest(unittest.TestCase):
    """Reader 7 a pymodbus slave, reader 9 a libmodbus slave, on one bus;
    registers 7000 and 7001 stored negative in net.db."""

    @classmethod
    def setUpClass(cls):
        cls.nb = Netbuf(com=3, delay=30, n_card=0x8001)
        cls.bus = cls.r7 = cls.r9 = None
        try:
            configure_readers(cls.nb, [(7, 0, 0), (9, 0, 0)])
            cls.nb.execute("UPDATE register SET val=-2 WHERE adres=7000")
            cls.nb.execute("UPDATE register SET val=-300 WHERE adres=7001")
            cls.bus = WireBus(cls.nb.dir, {"r7": [7], "r9": [9]})
            cls.r7 = PymodbusReaders(cls.bus.ports["r7"], [7])
            cls.r9 = LibmodbusReader(cls.bus.ports["r9"], 9)
            cls.r9.set(0, range(1000, 1125))
            cls.nb.start()
            for a in (7, 9):
                if not cls.bus.wait_frame("master", poll_frame(a), 0, 15):
                    raise RuntimeError("reader %d is not polled" % a)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        shut_down(cls.nb, cls.r7, cls.r9, cls.bus)

    @contextlib.contextmanager
    def pc(self, kind):
        """One PC client at a time: netbuf serves one PC."""
        if kind == "libmodbus":
            c = LibmodbusPc(self.nb.port_tcp)
        else:
            from pymodbus.client import ModbusTcpClient
            c = ModbusTcpClient("127.0.0.1", self.nb.port_tcp, timeout=3)
            self.assertTrue(c.connect())
        try:
            yield c
        finally:
            c.close()

    def test_pc_surface(self):
        """Negative register values as the device sends them, to libmodbus,
        pymodbus and a raw socket; requests a client writes in pieces."""
        with self.subTest("negative values"):
            with self.pc("libmodbus") as lib:
                self.assertEqual(lib.read(255, 7000, 2), [0x00FE, 0xFFD4])
            with self.pc("pymodbus") as py:
                self.assertEqual(py.read_holding_registers(7000, 2, slave=255).registers,
                                 [0x00FE, 0xFFD4])
            with contextlib.closing(Pc(self.nb.port_tcp)) as pc:
                pc.send(bytes.fromhex("002A00000006FF031B580002"))
                self.assertEqual(pc.recv_answer().hex(), "002a00000007ff030400feffd4")

        # Reader slot 0: reader 7, flags 0.
        request = bytes.fromhex("002B00000006FF0305780002")
        answer = bytes.fromhex("002B00000007FF030407000000")
        cases = [("whole", [12]), ("after byte 1", [1, 12]), ("after the header", [6, 12]),
                 ("after byte 11", [11, 12]), ("after bytes 1, 6 and 11", [1, 6, 11, 12])]
        with contextlib.closing(Pc(self.nb.port_tcp)) as pc:
            for name, cuts in cases:
                with self.subTest(name):
                    at = 0
                    for cut in cuts:
                        pc.send(request[at:cut])
                        at = cut
                        time.sleep(0.1)
                    self.assertEqual(pc.recv_answer(), answer)

    def test_reader_line(self):
        """What goes to the readers and comes back: the line timing of a long
        answer, exceptions through the pass-through, an all-zero code."""
        with self.subTest("long answer"), self.pc("libmodbus") as lib:
            # A 125-register read of reader 9: no frame of netbuf's starts from
            # the forwarded request until the last byte of the answer is in.
            mark = self.bus.mark()
            self.assertEqual(lib.read(9, 0, 125), list(range(1000, 1125)))
            sent = self.bus.wait_frame("master", with_crc(bytes.fromhex("09030000007D")), mark)
            self.assertIsNotNone(sent)
            answers = [f for f in self.bus.frames("reader", mark) if f[2][:3] == b"\x09\x03\xfa"]
            self.assertEqual(len(answers), 1)
            meanwhile = [f[2].hex() for f in self.bus.frames("master", mark)
                         if sent[0] < f[0] < answers[0][1]]
            self.assertEqual(meanwhile, [], "frames sent while reader 9 was answering")

        with self.subTest("exceptions"):
            # Reader 9 has 256 registers: the PC gets its refusals.
            with self.pc("libmodbus") as lib:
                self.assertEqual(lib.read(9, 600, 2), EMBXILADD)
                self.assertEqual(lib.write(9, 600, [1]), EMBXILADD)
            with self.pc("pymodbus") as py:
                refused = py.read_holding_registers(600, 2, slave=9)
                self.assertEqual(getattr(refused, "exception_code", None), 2, refused)
                self.assertEqual(py.read_holding_registers(0, 2, slave=9).registers, [1000, 1001])

        with self.subTest("zero code"):
            # A code that goes back to zeros is no card; the card after it is.
            mark = self.bus.mark()
            self.r7.set(7, 12, CODE_A)
            self.assertIsNotNone(self.bus.wait_frame("master", buzzer_frame(7, 0x8001), mark))
            zeros = with_crc(bytes([7, 3, 10]) + bytes(10))
            mark = self.bus.mark()
            self.r7.set(7, 12, [0, 0, 0])
            self.assertIsNotNone(self.bus.wait_frame("reader", zeros, mark))
            self.assertIsNotNone(self.bus.wait_frame("reader", zeros, self.bus.mark()))
            self.r7.set(7, 12, CODE_B)
            b = self.bus.wait_frame("master", buzzer_frame(7, 0x8001), self.bus.mark())
            self.assertIsNotNone(b)
            sql = "SELECT ADR485, kod1, kod2, kod3, kod4, kod5 FROM event ORDER BY ID"
            self.assertTrue(wait_for(lambda: len(self.nb.peek(sql)) >= 2, 10))
            time.sleep(0.5)
            self.assertEqual(self.nb.peek(sql), [(7, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E),
                                                 (7, 0x11, 0x22, 0x33, 0x44, 0x55)])
            buzzers = [f for f in self.bus.frames("master", mark)
                       if f[2] == buzzer_frame(7, 0x8001)]
            self.assertEqual(len(buzzers), 1)

    def test_service_surface(self):
        """Commands cut from the stream: two in one segment, one in two
        segments, two sent while netbuf is busy."""
        port = self.nb.service
        cases = [("two in one segment", ["#Jan,x,1,2,6$#Ola,y,1,2,8$"], b"OKOK", [7, 9]),
                 ("one in two segments", ["#Jan,x,1", ",2,6$"], b"OK", [7]),
                 ("two while busy", ["#Jan,x,1,2,6$", "#Ola,y,1,2,8$"], b"OKOK", [7, 9])]
        for name, pieces, answer, relays in cases:
            with self.subTest(name):
                mark = self.bus.mark()
                with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    busy = name.endswith("busy")
                    if busy:
                        self.nb.proc.send_signal(signal.SIGSTOP)
                    try:
                        for p in pieces:
                            s.sendall(p.encode())
                            time.sleep(0.005 if busy else 0.1)
                    finally:
                        if busy:
                            self.nb.proc.send_signal(signal.SIGCONT)
                    got = b""
                    deadline = time.monotonic() + 5
                    while len(got) < len(answer) and time.monotonic() < deadline:
                        s.settimeout(max(0.01, deadline - time.monotonic()))
                        try:
                            chunk = s.recv(16)
                        except socket.timeout:
                            break
                        if not chunk:
                            break
                        got += chunk
                    self.assertEqual(got, answer)
                for a in relays:
                    self.assertIsNotNone(self.bus.wait_frame("master", relay_frame(a), mark), a)


class MovedReaderTest(unittest.TestCase):
    def test_pass_through_to_a_reader_that_moved_down(self):
        """Readers 1, 2, 3 (raw, reader 3 never acknowledges a relay) and 9
        (libmodbus) in slots 0-3, reader 3 holding a remote relay; the PC
        clears slot 0, a card at reader 9 gets its buzzer, acknowledged; the
        PC's frame to reader 9 right after that is forwarded and answered."""
        # Three turns of 300 ms between the buzzer's acknowledgement and the
        # next poll of reader 9: the PC's frame comes in between.
        nb = Netbuf(com=3, delay=300, n_card=0x8001, monitor="rs")
        bus = raw = r9 = pc = None
        try:
            configure_readers(nb, [(1, 0, 0), (2, 0, 0), (3, 0, 0), (9, 0, 0)])
            bus = WireBus(nb.dir, {"r123": [1, 2, 3], "r9": [9]})
            raw = RawReaders(bus.ports["r123"], [1, 2, 3])
            raw.relay_unanswered.add(3)
            r9 = LibmodbusReader(bus.ports["r9"], 9)
            r9.set(0, [0x1234, 0x5678])
            nb.start()
            self.assertIsNotNone(bus.wait_frame("master", poll_frame(9), 0, 15))
            self.assertEqual(remote(nb.service, "#Jan,x,1,2,2$"), b"OK")
            self.assertIsNotNone(bus.wait_frame("master", relay_frame(3), 0, 10))
            pc = Pc(nb.port_tcp)
            self.assertEqual(pc.write_regs(1400, [0, 0, 0, 0]).hex(), "000100000006ff1005780004")
            mark = bus.mark()
            r9.set(12, CODE_A)
            self.assertIsNotNone(bus.wait_frame("master", buzzer_frame(9, 0x8001), mark))
            # netbuf has taken the acknowledgement.
            self.assertTrue(nb.wait_stdout_line(
                "F10 z czytnika READER->PC:-09-10-00-97-00-01-B1-6D", 10))
            pc.send(bytes.fromhex("000900000006090300000002"))
            self.assertEqual(pc.recv_answer().hex(), "000900000007090304" "12345678")
        finally:
            if pc:
                pc.close()
            shut_down(nb, raw, r9, bus)


if __name__ == "__main__":
    unittest.main()
