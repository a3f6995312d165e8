#!/usr/bin/python3
"""Function 3 round trip on loopback: one client reads 10 holding registers
from unit 255, one request at a time, from netbuf (headless) and from a plain
libmodbus server, with the same raw-socket client.

    /usr/bin/python3 bench/fc3_roundtrip.py [--requests N] [--rounds R]

Prints a table: median and 99th percentile latency, requests per second, and
the server's CPU time per request (CPU time stays meaningful when other work
shares the machine; wall figures do not). Each server is measured in R
alternating rounds; the table shows the round with the median rate.
NETBUF_BIN names the directory of the binaries (default build/bin)."""

import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/system"))
from netbuf_harness import BIN, Netbuf, cpu_ms, free_port, stop_process, wait_for  # noqa: E402

START, QTY = 3000, 10
ANSWER_LEN = 9 + 2 * QTY


def recv_exact(sock, n):
    buf = b""
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise RuntimeError("server closed the connection")
        buf += chunk
    return buf


def run_client(port, server_pid, requests, warmup=200):
    """Latencies in microseconds, requests per second, server CPU us per request."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        frames = [struct.pack(">HHHBBHH", t & 0xFFFF, 0, 6, 255, 3, START, QTY)
                  for t in range(requests + warmup)]
        head = struct.pack(">HBBB", 2 * QTY + 3, 255, 3, 2 * QTY)
        for f in frames[:warmup]:
            sock.sendall(f)
            recv_exact(sock, ANSWER_LEN)
        lat = []
        cpu0 = cpu_ms(server_pid)
        t_start = time.perf_counter_ns()
        for f in frames[warmup:]:
            t0 = time.perf_counter_ns()
            sock.sendall(f)
            a = recv_exact(sock, ANSWER_LEN)
            lat.append(time.perf_counter_ns() - t0)
            if a[:2] != f[:2] or a[4:9] != head:
                raise RuntimeError("unexpected answer " + a.hex(" "))
        elapsed = (time.perf_counter_ns() - t_start) / 1e9
        cpu = cpu_ms(server_pid) - cpu0
    finally:
        sock.close()
    lat_us = [x / 1000 for x in lat]
    return lat_us, requests / elapsed, cpu * 1000 / requests


class LibmodbusServer:
    def __init__(self):
        self.port = free_port()
        self.proc = subprocess.Popen([os.path.join(BIN, "libmodbus_server"), str(self.port)],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if self.proc.stdout.readline().strip() != "ready":
            self.stop()
            raise RuntimeError("libmodbus_server did not start")

    def stop(self):
        stop_process(self.proc)


def measure_netbuf(nb, requests):
    return run_client(nb.port_tcp, nb.proc.pid, requests)


def measure_libmodbus(requests):
    # The server serves one client and exits, so each round has its own.
    srv = LibmodbusServer()
    try:
        return run_client(srv.port, srv.proc.pid, requests)
    finally:
        srv.stop()


def pick(rounds):
    """The round with the median request rate."""
    return sorted(rounds, key=lambda r: r[1])[len(rounds) // 2]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=10000)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()

    nb = Netbuf(service=0)
    results = {"netbuf": [], "libmodbus": []}
    try:
        nb.start()
        if not wait_for(lambda: nb.can_connect(nb.port_tcp), 15):
            raise RuntimeError("netbuf did not listen")
        for _ in range(args.rounds):
            results["netbuf"].append(measure_netbuf(nb, args.requests))
            results["libmodbus"].append(measure_libmodbus(args.requests))
    finally:
        nb.cleanup()

    print("function 3, %d registers, one client on loopback, %d requests per round, %d rounds"
          % (QTY, args.requests, args.rounds))
    print("%-10s %10s %10s %12s %14s %s" % ("server", "median us", "p99 us", "requests/s",
                                            "server cpu us", "(rates of all rounds)"))
    rate = {}
    for name, rounds in results.items():
        lat, rps, cpu = pick(rounds)
        lat.sort()
        rate[name] = rps
        print("%-10s %10.1f %10.1f %12.0f %14.1f (%s)"
              % (name, statistics.median(lat), lat[int(len(lat) * 0.99)], rps, cpu,
                 ", ".join("%.0f" % r[1] for r in rounds)))
    ratio = rate["netbuf"] / rate["libmodbus"]
    print("netbuf / libmodbus requests per second: %.2f (target >= 1.00: %s)"
          % (ratio, "met" if ratio >= 1 else "MISSED"))


if __name__ == "__main__":
    main()
