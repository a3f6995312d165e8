#!/usr/bin/python3
"""Modbus TCP round trips on loopback, one request at a time: netbuf
(headless) beside a plain libmodbus server and a blocking C server that does
the least any server can (the floor), all measured by the same C client
(build/bin/modbus_client).

    /usr/bin/python3 bench/roundtrip.py [--rounds 5] [--requests 20000] [--json]

Rows: function 3 (10 registers) netbuf / libmodbus / floor; function 16 (10
new values each request) netbuf / libmodbus; function 20 (7 event records per
request) netbuf on a net.db with 1 k and with 1 M event rows. Client and
server share CPU 0 (taskset): a wake-up on another CPU costs more than the
round trip itself. The rows are measured in turn within each round; the table
gives the median of the rounds and their min-max, requests/s and the server's
CPU time per request (/proc schedstat, all threads). Requests/s is the whole
run, so a stall from other work on the machine shows in it; the p50 latency
and the CPU time per request are the steadier figures.

--json runs one round and prints one JSON object of named figures, for a
script that runs it round by round beside other benches.

NETBUF_BIN names the directory of the netbuf binaries measured (default
build/bin), so a kept build can be measured by the same script;
NETBUF_BENCH_BIN the directory of modbus_client, fc3_floor_server and
libmodbus_server (default build/bin). The filled 1 M-row net.db is kept in
the temporary directory between runs (--fresh makes it again)."""

import argparse
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
os.environ.setdefault("NETBUF_BIN", os.path.join(HERE, "..", "build", "bin"))
BENCH_BIN = os.environ.get("NETBUF_BENCH_BIN", os.path.join(HERE, "..", "build", "bin"))

from event_fetch import fill  # noqa: E402
from netbuf_harness import Netbuf, free_port, stop_process  # noqa: E402

SMALL, LARGE = 1_000, 1_000_000
CPU = "0"


def run_client(port, mode, requests, pid, rows=0):
    cmd = ["taskset", "-c", CPU, os.path.join(BENCH_BIN, "modbus_client"), str(port), mode,
           str(requests), "--pid", str(pid)]
    if rows:
        cmd += ["--rows", str(rows)]
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    if r.returncode != 0:
        raise RuntimeError("modbus_client %s: %s" % (mode, r.stderr.strip()))
    return json.loads(r.stdout)


def one_client_server(program, mode, requests):
    """libmodbus_server or fc3_floor_server serve one client and exit, so
    each measurement starts its own."""
    port = free_port()
    proc = subprocess.Popen(["taskset", "-c", CPU, os.path.join(BENCH_BIN, program), str(port)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        if proc.stdout.readline().strip() != "ready":
            raise RuntimeError(program + " did not start")
        return run_client(port, mode, requests, proc.pid)
    finally:
        stop_process(proc)


def events_db(rows, fresh):
    """A net.db holding `rows` events, the pointer at 1 and the counter at the
    last Id; made once and kept."""
    cache = os.path.join(tempfile.gettempdir(), "netbuf-roundtrip-%d" % os.getuid())
    os.makedirs(cache, exist_ok=True)
    path = os.path.join(cache, "events-%d.db" % rows)
    if not fresh and os.path.exists(path):
        con = sqlite3.connect(path)
        try:
            if con.execute("SELECT count(*) FROM event").fetchone()[0] == rows:
                return path
        finally:
            con.close()
    maker = Netbuf(port_tcp=0, service=0)
    try:
        fill(maker, rows)
        shutil.copyfile(maker.db, path + ".tmp")
        os.replace(path + ".tmp", path)
    finally:
        maker.cleanup()
    return path


def start_netbuf(rows, fresh):
    nb = Netbuf(service=0)
    shutil.copyfile(events_db(rows, fresh), nb.db)
    con = sqlite3.connect(nb.db)
    try:
        with con:
            con.execute("UPDATE setings SET val=? WHERE PARAMETR='PORT_TCP'", (nb.port_tcp,))
    finally:
        con.close()
    nb.start()
    subprocess.run(["taskset", "-a", "-p", "-c", CPU, str(nb.proc.pid)], check=True,
                   capture_output=True, timeout=10)
    return nb


def one_round(small, large, requests):
    """Every row once; the figures of one round by name."""
    f = {}

    def put(name, r, cpu=True):
        f[name + "_rps"] = r["rps"]
        f[name + "_p50_us"] = r["p50_us"]
        if cpu:
            f[name + "_cpu_us"] = r["server_cpu_us"]

    put("fc3_netbuf", run_client(small.port_tcp, "fc3", requests, small.proc.pid))
    put("fc3_libmodbus", one_client_server("libmodbus_server", "fc3", requests))
    put("fc3_floor", one_client_server("fc3_floor_server", "fc3", requests))
    put("fc16_netbuf", run_client(small.port_tcp, "fc16", requests, small.proc.pid))
    put("fc16_libmodbus", one_client_server("libmodbus_server", "fc16", requests))
    fc20 = max(1000, requests // 2)
    put("fc20_1k", run_client(small.port_tcp, "fc20", fc20, small.proc.pid, SMALL))
    put("fc20_1m", run_client(large.port_tcp, "fc20", fc20, large.proc.pid, LARGE))
    f["fc20_cpu_us"] = max(f["fc20_1k_cpu_us"], f["fc20_1m_cpu_us"])
    f["loopback_floor_rtt_us"] = f["fc3_floor_p50_us"]
    return f


ROWS = [
    ("function 3, 10 registers", "netbuf", "fc3_netbuf"),
    ("", "libmodbus", "fc3_libmodbus"),
    ("", "blocking C floor", "fc3_floor"),
    ("function 16, 10 new values", "netbuf", "fc16_netbuf"),
    ("", "libmodbus", "fc16_libmodbus"),
    ("function 20, 7 events", "netbuf, 1 k rows", "fc20_1k"),
    ("", "netbuf, 1 M rows", "fc20_1m"),
]


def spread(values, fmt):
    return "%s (%s-%s)" % (fmt % statistics.median(values), fmt % min(values), fmt % max(values))


def print_table(rounds, requests):
    def col(key):
        return [r[key] for r in rounds]

    def med(key):
        return statistics.median(col(key))

    print("Modbus TCP round trips on loopback, one request at a time, client and server on CPU %s;"
          % CPU)
    print("%d requests per row and round (function 20: %d), %d rounds: median (min-max)"
          % (requests, max(1000, requests // 2), len(rounds)))
    print("%-27s %-17s %-24s %-20s %s" % ("figure", "server", "requests/s", "server CPU us/req",
                                          "p50 us"))
    for figure, server, key in ROWS:
        print("%-27s %-17s %-24s %-20s %.1f" % (figure, server, spread(col(key + "_rps"), "%.0f"),
                                               spread(col(key + "_cpu_us"), "%.1f"),
                                               med(key + "_p50_us")))
    checks = [
        ("function 3, netbuf / libmodbus", med("fc3_netbuf_rps") / med("fc3_libmodbus_rps"), 1.05),
        ("function 3, netbuf / floor", med("fc3_netbuf_rps") / med("fc3_floor_rps"), 0.9),
        ("function 16, netbuf / libmodbus",
         med("fc16_netbuf_rps") / med("fc16_libmodbus_rps"), 1.05),
        ("function 20, 1 M rows / 1 k rows", med("fc20_1m_rps") / med("fc20_1k_rps"), 0.9),
    ]
    print()
    for name, ratio, target in checks:
        print("%-34s %5.2f  (target >= %.2f: %s)"
              % (name, ratio, target, "met" if ratio >= target else "MISSED"))
    slowest = min(med("fc20_1k_rps"), med("fc20_1m_rps"))
    print("%-34s %5.0f  (target >= 45000: %s)"
          % ("function 20, requests/s", slowest, "met" if slowest >= 45000 else "MISSED"))
    print("loopback round trip of the floor: %.1f us (p50)" % med("loopback_floor_rtt_us"))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--requests", type=int, default=20000)
    ap.add_argument("--json", action="store_true", help="one round, one JSON object")
    ap.add_argument("--fresh", action="store_true", help="fill the 1 M-row net.db again")
    args = ap.parse_args()

    small = large = None
    rounds = []
    try:
        small = start_netbuf(SMALL, args.fresh)
        large = start_netbuf(LARGE, args.fresh)
        for _ in range(1 if args.json else args.rounds):
            rounds.append(one_round(small, large, args.requests))
    finally:
        for nb in (small, large):
            if nb:
                nb.cleanup()
    if args.json:
        print(json.dumps({k: round(v, 2) for k, v in rounds[0].items()}))
    else:
        print_table(rounds, args.requests)


if __name__ == "__main__":
    main()
