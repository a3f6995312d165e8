"""Clients that misuse netbuf's two ports the way a hostile or broken peer on
the network would, and a well-behaved remote-control client to measure what
the others are still given. Loopback only; every loop is bounded in time and
count, and every socket is closed."""

import os
import random
import socket
import struct
import threading
import time

from netbuf_harness import mbap

GOOD_COMMAND = b"#Jan,x,1,2,4$"


# Where the hostile peers connect from; a bench sets another loopback
# address, so that they stand for another host than the good clients.
SOURCE = None


def connect(port, timeout=3.0, source=None):
    source = source or SOURCE
    s = socket.socket()
    s.settimeout(timeout)
    if source:
        # The local port is chosen at connect, as without a source address,
        # so ports in TIME_WAIT towards other servers can be used again.
        s.setsockopt(socket.IPPROTO_IP, 24, 1)  # IP_BIND_ADDRESS_NO_PORT
        s.bind((source, 0))
    try:
        s.connect(("127.0.0.1", port))
    except OSError:
        s.close()
        raise
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def closed_by_peer(sock, wait):
    """True when the peer closes (or resets) the connection within `wait` s."""
    sock.settimeout(wait)
    try:
        while True:
            if not sock.recv(65536):
                return True
    except socket.timeout:
        return False
    except OSError:
        return True


def send_unread(port, blob, seconds, limit, timeout, pause):
    """Sends `blob` over and over, reading nothing, until netbuf closes the
    connection, `seconds` pass or `limit` bytes are sent. Returns (bytes
    sent, closed by netbuf)."""
    sent = 0
    with connect(port) as s:
        s.settimeout(timeout)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and sent < limit:
            try:
                sent += s.send(blob)
            except socket.timeout:
                continue
            except OSError:
                return sent, True
            if pause:
                time.sleep(pause)
        return sent, closed_by_peer(s, 1.0)


def unread_answers(port, seconds, limit=64 << 20):
    """Function 3 requests for 125 registers, answers never read. The
    requests go in batches whose answers fill netbuf's send buffer, with a
    breath between them so that each read of netbuf's takes one batch rather
    than a backlog it would drop."""
    batch = mbap(1, 255, struct.pack(">BHH", 3, 0, 125)) * 38
    return send_unread(port, batch, seconds, limit, timeout=0.5, pause=0.001)


def command_flood(port, seconds, limit=64 << 20):
    """Commands of exactly one read's size (1004 bytes) sent flat out, answers
    never read."""
    command = b"#" + b"J" * 994 + b",x,1,2,4$"
    return send_unread(port, command * 64, seconds, limit, timeout=0.2, pause=0)


def garbage_stream(port, seconds, seed=1, source=None):
    """Reconnects and streams bytes that are no command (random printable text
    with a "$" now and then) as fast as netbuf takes them, until `seconds`
    pass. Returns how many times netbuf closed it."""
    rnd = random.Random(seed)
    junk = bytes(rnd.choice(b"abcxyz<>,;0123456789 $") for _ in range(1 << 16))
    closed = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with connect(port, 1.0, source) as s:
                s.settimeout(0.2)
                while time.monotonic() < deadline:
                    try:
                        s.send(junk)
                    except socket.timeout:
                        pass
        except OSError:
            closed += 1
    return closed


def reconnect_flood(port, seconds):
    """Connects and closes again, sending nothing, as fast as it can, until
    `seconds` pass. Returns how many connections were made."""
    made = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            connect(port, 1.0).close()
            made += 1
        except OSError:
            pass
    return made


class GoodRemoteClient(threading.Thread):
    """Sends GOOD_COMMAND `count` times, one at a time, each on its own
    connection, waiting up to `wait` s for "OK"; keeps the answers' latencies."""

    def __init__(self, port, count=10, pause=0.2, wait=5.0):
        super().__init__(daemon=True)
        self.port, self.count, self.pause, self.wait = port, count, pause, wait
        self.latencies = []  # seconds, one per "OK"

    def run(self):
        for _ in range(self.count):
            try:
                with connect(self.port, self.wait, "127.0.0.1") as s:
                    t0 = time.monotonic()
                    s.sendall(GOOD_COMMAND)
                    s.settimeout(self.wait)
                    if s.recv(2) == b"OK":
                        self.latencies.append(time.monotonic() - t0)
            except OSError:
                pass
            time.sleep(self.pause)


def control_bytes_command():
    """A command whose sender carries a line break, a terminal sequence and a
    bell, as a forger of log lines would send it."""
    return b"#Jan\x1b[31m\r\nnetbuf: forged\x07,x,1,2,4$"


def silent_connections(port, n):
    """n connections that never send a byte."""
    return [connect(port) for _ in range(n)]


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))
