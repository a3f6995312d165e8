#!/usr/bin/python3
"""Start-up to listening, headless, on a full net.db, against the anchor (the
same two tables read by the sqlite3 command-line tool) and the floor (a C
program that opens net.db and steps through both tables, startup_floor).
All of them are measured in the same run, interleaved. Then netbuf started on
a desktop (a private X server, Xvfb): to listening, and to its window shown.

    /usr/bin/python3 bench/startup.py [--runs N]
    /usr/bin/python3 bench/startup.py --json

Prints a table of medians, minima and maxima; with --json, one round on the
db with all cards coded as one JSON object of named figures. NETBUF_BIN
names the directory of netbuf (default build/bin); startup_floor is taken
from there or else from this tree's build/bin."""

import argparse
import json
import os
import socket
import sqlite3
import statistics
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/system"))
from netbuf_harness import BIN, Netbuf, Xvfb, cpu_ms  # noqa: E402

# A netbuf that loads its window as a module finds it beside itself.

FC3 = struct.pack(">HHHBBHH", 1, 0, 6, 255, 3, 3170, 1)


def try_connect(port):
    s = socket.socket()
    try:
        s.connect(("127.0.0.1", port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s
    except OSError:
        s.close()
        return None


def wait_listening(nb, t0, limit):
    """The first connection to the PC port, polled from t0 on."""
    while True:
        if time.monotonic() - t0 > limit or not nb.alive():
            raise RuntimeError("netbuf did not listen: " + nb.stderr())
        sock = try_connect(nb.port_tcp)
        if sock is not None:
            return sock
        time.sleep(0.001)


def netbuf_run(nb, limit=20.0):
    """Milliseconds from exec to the PC port accepting a connection, to the
    first function 3 answer on that connection, and the CPU time netbuf used
    until it listened."""
    t0 = time.monotonic()
    nb.start(wait_port=False)
    try:
        sock = wait_listening(nb, t0, limit)
        t_listen = time.monotonic()
        cpu = cpu_ms(nb.proc.pid)
        sock.settimeout(limit)
        sock.sendall(FC3)
        answer = b""
        while len(answer) < 11:
            chunk = sock.recv(11 - len(answer))
            if not chunk:
                break
            answer += chunk
        t_answer = time.monotonic()
        sock.close()
        if answer[:9] != struct.pack(">HHHBBB", 1, 0, 5, 255, 3, 2) or len(answer) != 11:
            raise RuntimeError("unexpected answer " + answer.hex(" "))
        return (t_listen - t0) * 1000, (t_answer - t0) * 1000, cpu
    finally:
        nb.stop()


def timed(argv):
    """Wall and CPU milliseconds of a command run to its end."""
    t0 = time.monotonic()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = (time.monotonic() - t0) * 1000
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError("%s failed: %d" % (argv[0], proc.returncode))
    return wall, (usage.ru_utime + usage.ru_stime) * 1000


def fill_cards(nb):
    """Every card with a ten-digit code and a display text, as in a site
    whose whole card table is in use."""
    con = sqlite3.connect(nb.db)
    try:
        con.execute("UPDATE karty SET typ = 1, time_zone = 1, geo_zone = 1,"
                    " kod = printf('%010X', (numer * 2654435761) % 1099511627776)")
        con.execute("UPDATE register SET val = 20000 WHERE adres = 3170")
        con.commit()
    finally:
        con.close()


def floor_exe():
    here = os.path.dirname(os.path.abspath(__file__))
    for d in (BIN, os.path.join(here, "..", "build", "bin")):
        exe = os.path.join(d, "startup_floor")
        if os.access(exe, os.X_OK):
            return exe
    raise RuntimeError("startup_floor not built (bench/startup_floor.c)")


def measure(nb, runs):
    cli_cmd = ["sqlite3", nb.db, "SELECT * FROM register; SELECT * FROM karty;"]
    floor_cmd = [floor_exe(), nb.db]
    # One round first to bring files and libraries into the page cache.
    netbuf_run(nb)
    timed(cli_cmd)
    timed(floor_cmd)
    m = {k: [] for k in ("listen", "answer", "cpu", "cli", "cli_cpu", "floor", "floor_cpu",
                         "bare", "bare_cpu")}
    for _ in range(runs):
        a, b, c = netbuf_run(nb)
        m["listen"].append(a)
        m["answer"].append(b)
        m["cpu"].append(c)
        for key, cmd in (("cli", cli_cmd), ("floor", floor_cmd), ("bare", [nb.exe, "--version"])):
            w, c = timed(cmd)
            m[key].append(w)
            m[key + "_cpu"].append(c)
    return m


def desktop(runs, limit=20.0):
    """exec -> PC port accepts, the CPU time until then, and exec -> window
    shown, with a display."""
    nb = Netbuf(service=0)
    x = Xvfb()
    m = {"listen": [], "cpu": [], "shown": []}
    try:
        for i in range(runs + 1):  # the first round warms the page cache
            t0 = time.monotonic()
            nb.start(wait_port=False, display=x.display)
            try:
                sock = wait_listening(nb, t0, limit)
                t_listen = time.monotonic()
                cpu = cpu_ms(nb.proc.pid)
                sock.close()
                while not x.run("xdotool", "search", "--onlyvisible", "--name", "^Brennik",
                                check=False).stdout:
                    if time.monotonic() - t0 > limit:
                        raise RuntimeError("no window: " + nb.stderr())
                    time.sleep(0.005)
                t_shown = time.monotonic()
            finally:
                nb.stop()
            if i:
                m["listen"].append((t_listen - t0) * 1000)
                m["cpu"].append(cpu)
                m["shown"].append((t_shown - t0) * 1000)
    finally:
        x.stop()
        nb.cleanup()
    return m


def row(label, wall, cpu=None):
    line = "%-44s %8.1f %7.1f %7.1f" % (label, statistics.median(wall), min(wall), max(wall))
    if cpu:
        line += " %8.1f" % statistics.median(cpu)
    return line


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=9)
    ap.add_argument("--json", action="store_true",
                    help="one round on the db with all cards coded, as one JSON object")
    args = ap.parse_args()
    nb = Netbuf(service=0)
    try:
        if args.json:
            fill_cards(nb)
            m = measure(nb, 1)
            print(json.dumps({
                "startup_netbuf_ms": round(m["listen"][0], 2),
                "startup_netbuf_cpu_ms": round(m["cpu"][0], 2),
                "startup_cli_ms": round(m["cli"][0], 2),
                "startup_c_floor_ms": round(m["floor"][0], 2),
                "startup_version_ms": round(m["bare"][0], 2),
            }))
            return
        results = []
        results.append(("net.db as created (empty card codes)", measure(nb, args.runs)))
        fill_cards(nb)
        results.append(("net.db with all 20001 cards coded", measure(nb, args.runs)))
    finally:
        nb.cleanup()
    on_desktop = desktop(args.runs)

    print("start-up, headless, 9000 register rows, 20001 card rows; %d runs, ms" % args.runs)
    for title, m in results:
        print()
        print("%-44s %8s %7s %7s %8s" % (title, "median", "min", "max", "cpu med"))
        print(row("netbuf: exec -> PC port accepts", m["listen"], m["cpu"]))
        print(row("netbuf: exec -> first function 3 answer", m["answer"]))
        print(row("anchor: sqlite3 CLI reads register, karty", m["cli"], m["cli_cpu"]))
        print(row("floor: C open + step both tables", m["floor"], m["floor_cpu"]))
        print(row("netbuf --version (exec, shared libraries)", m["bare"], m["bare_cpu"]))
        listen = statistics.median(m["listen"])
        ratio = listen / statistics.median(m["cli"])
        cpu_ratio = statistics.median(m["cpu"]) / statistics.median(m["cli_cpu"])
        print("netbuf / CLI: wall %.2fx, cpu %.2fx  (target: wall <= 1.5x: %s);"
              " netbuf / C floor: wall %.2fx"
              % (ratio, cpu_ratio, "met" if ratio <= 1.5 else "MISSED",
                 listen / statistics.median(m["floor"])))
    print()
    print("%-44s %8s %7s %7s %8s" % ("with a display (Xvfb), net.db as created", "median", "min",
                                     "max", "cpu med"))
    print(row("netbuf: exec -> PC port accepts", on_desktop["listen"], on_desktop["cpu"]))
    print(row("netbuf: exec -> window shown", on_desktop["shown"]))


if __name__ == "__main__":
    main()
