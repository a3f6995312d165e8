#!/usr/bin/python3
"""netbuf, headless on loopback, under each kind of abuse in turn: answers
never read, commands sent faster than served, a remote client streaming garbage, 101 silent remote connections
and a silent PC, descriptors running out, and a monitor log flooded with PC
traffic, valid commands sent flat out, and a client reconnecting as fast as
it can. The abusers connect from 127.0.0.2, another host to netbuf.
Meanwhile a well-behaved remote controller sends a command every 200 ms and
a well-behaved PC reads two registers every 200 ms, both from 127.0.0.1. For
each abuse prints netbuf's peak RSS and CPU share during it, RSS and CPU share
over the quiet period after it, the controller's answers (count of sent,
worst latency) and the PC's worst latency.

    /usr/bin/python3 bench/abuse.py [--seconds 10] [--after 60]

NETBUF_BIN points at the binaries (default build/bin)."""

import argparse
import os
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
os.environ.setdefault("NETBUF_BIN", os.path.join(HERE, "..", "build", "bin"))

import hostile_peers  # noqa: E402
from hostile_peers import (GoodRemoteClient, command_flood, connect,  # noqa: E402
                           garbage_stream, open_fds, reconnect_flood, silent_connections,
                           unread_answers)
from netbuf_harness import Netbuf, Pc, cpu_seconds, vm_kb  # noqa: E402


def unread(nb, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        unread_answers(nb.port_tcp, deadline - time.monotonic())


def flood(nb, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        command_flood(nb.service, deadline - time.monotonic())


def garbage(nb, seconds):
    garbage_stream(nb.service, seconds)


def silent(nb, seconds):
    socks = silent_connections(nb.service, 101) + silent_connections(nb.port_tcp, 1)
    time.sleep(seconds)
    for s in socks:
        s.close()


def no_descriptors(nb, seconds):
    limit = open_fds(nb.proc.pid) + 3
    subprocess.run(["prlimit", "--pid", str(nb.proc.pid), "--nofile=%d:%d" % (limit, limit)],
                   check=True, timeout=10)
    socks = silent_connections(nb.service, 20)
    time.sleep(seconds)
    for s in socks:
        s.close()


def valid_flood(nb, seconds):
    """Valid commands on one connection, each sent as soon as the last one's
    answer is in (or 50 ms have passed without it)."""
    with connect(nb.service) as s:
        s.settimeout(0.05)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                s.sendall(b"#Jan,x,1,2,4$")
                if not s.recv(2):
                    return
            except socket.timeout:
                pass
            except OSError:
                return


def reconnects(nb, seconds):
    reconnect_flood(nb.service, seconds)


class GoodPc(threading.Thread):
    """Reads two registers every 200 ms, keeping the worst latency."""

    def __init__(self, port, seconds):
        super().__init__(daemon=True)
        self.port, self.seconds, self.worst = port, seconds, 0.0

    def run(self):
        pc = Pc(self.port)
        try:
            deadline = time.monotonic() + self.seconds
            while time.monotonic() < deadline:
                t0 = time.monotonic()
                if pc.read_regs(0, 2) is None:
                    self.worst = float("inf")
                self.worst = max(self.worst, time.monotonic() - t0)
                time.sleep(0.2)
        finally:
            pc.close()


def log_flood(nb, seconds):
    pc = Pc(nb.port_tcp)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        pc.read_regs(0, 125)
    pc.close()


ABUSES = [
    ("answers never read", unread, {}),
    ("commands faster than served", flood, {}),
    ("garbage on the service port", garbage, {}),
    ("101 silent remote + silent PC", silent, {}),
    ("descriptors run out", no_descriptors, {}),
    ("monitor log flood (headless)", log_flood, {"monitor": "tcp"}),
    ("valid commands flat out", valid_flood, {}),
    ("reconnecting flat out", reconnects, {}),
]


def sample_rss(pid, stop, peak):
    while not stop.is_set():
        rss = vm_kb(pid, "VmRSS")
        if rss:
            peak[0] = max(peak[0], rss)
        time.sleep(0.1)


def run(name, abuse, kw, seconds, after):
    nb = Netbuf(**kw).start()
    try:
        pid = nb.proc.pid
        time.sleep(1)
        rss0 = vm_kb(pid, "VmRSS")
        good = GoodRemoteClient(nb.service, count=int(seconds / 0.2), pause=0.2, wait=2.0)
        good_pc = GoodPc(nb.port_tcp, seconds) if abuse is not log_flood else None
        stop, peak = threading.Event(), [rss0]
        sampler = threading.Thread(target=sample_rss, args=(pid, stop, peak), daemon=True)
        sampler.start()
        t0, c0 = time.monotonic(), cpu_seconds(pid)
        good.start()
        if good_pc:
            good_pc.start()
        abuse(nb, seconds)
        good.join(60)
        if good_pc:
            good_pc.join(60)
        t1, c1 = time.monotonic(), cpu_seconds(pid)
        stop.set()
        sampler.join()
        time.sleep(after)
        t2, c2 = time.monotonic(), cpu_seconds(pid)
        rss2 = vm_kb(pid, "VmRSS")
        worst = max(good.latencies) * 1000 if good.latencies else float("nan")
        pc_worst = good_pc.worst * 1000 if good_pc else float("nan")
        print("%-32s %8d %8d %6.1f %8d %6.1f %5d/%-5d %8.1f %8.1f %6s" % (
            name, rss0, peak[0], 100 * (c1 - c0) / (t1 - t0), rss2, 100 * (c2 - c1) / (t2 - t1),
            len(good.latencies), good.count, worst, pc_worst, "yes" if nb.alive() else "NO"),
            flush=True)
    finally:
        nb.cleanup()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--after", type=float, default=60)
    ap.add_argument("--only", help="run only the abuses whose name holds this text")
    args = ap.parse_args()
    hostile_peers.SOURCE = "127.0.0.2"
    print("%-32s %8s %8s %6s %8s %6s %11s %8s %8s %6s" % (
        "abuse", "RSS0 kB", "peak kB", "CPU%", "after kB", "CPU%", "answered", "worst ms",
        "PC ms", "alive"))
    for name, abuse, kw in ABUSES:
        if args.only is None or args.only in name:
            run(name, abuse, kw, args.seconds, args.after)


if __name__ == "__main__":
    main()
