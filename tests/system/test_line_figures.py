"""The line figures on the metrics port, against what the readers did: one
good reader, one silent, one that spoils the CRC of every fifth answer. The
port serves a plain GET of /metrics and refuses the rest."""

import re
import shutil
import socket
import subprocess
import threading
import unittest

from netbuf_harness import (Installation, Netbuf, RawReaders, configure_readers, free_port,
                            wait_for, with_crc)

GOOD, SILENT, NOISY = 1, 2, 3


class CountingReaders(RawReaders):
    """RawReaders that count what they answered; the noisy one sends every
    fifth answer with its CRC turned round."""

    def __init__(self, device):
        self.lock = threading.Lock()
        self.good = {GOOD: 0, NOISY: 0}
        self.spoilt = 0
        super().__init__(device, [GOOD, NOISY])

    def _answer(self, f):
        answer = super()._answer(f)
        if answer is None:
            return None
        with self.lock:
            if f[0] == NOISY and (self.good[NOISY] + self.spoilt) % 5 == 4:
                self.spoilt += 1
                return answer[:-2] + bytes([answer[-1], answer[-2] ^ 0x5A])
            self.good[f[0]] += 1
        return answer

    def polls(self, address):
        return sum(1 for _, f in self.since() if f == with_crc(bytes([address, 3, 0, 10, 0, 5])))

    def counts(self):
        with self.lock:
            return dict(self.good), self.spoilt


def http(port, request, source="127.0.0.1"):
    """Sends the request as it is; everything that comes back until the close."""
    with socket.create_connection(("127.0.0.1", port), timeout=5,
                                  source_address=(source, 0)) as s:
        s.sendall(request)
        data = b""
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            data += chunk
        return data


def samples(text):
    """{(name, frozenset of labels): value} of a scrape."""
    out = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        m = re.match(r'^([a-z_]+)(?:\{(.*)\})? (\S+)$', line)
        labels = frozenset(re.findall(r'(\w+)="([^"]*)"', m.group(2) or ""))
        out[(m.group(1), labels)] = float(m.group(3))
    return out


def of(s, name, **labels):
    return s[(name, frozenset((k, str(v)) for k, v in labels.items()))]


class LineFiguresTest(unittest.TestCase):
    def setUp(self):
        self.metrics = free_port()
        # The silent reader lets 10 polls go by before it counts as silent:
        # at 60 ms a tick, two seconds.
        self.inst = Installation(
            Netbuf(com=3, delay=60),
            prepare=lambda nb: configure_readers(nb, [(GOOD, 0, 0), (SILENT, 0, 0),
                                                      (NOISY, 0, 0)]),
            readers=CountingReaders,
            polled=lambda r: r.wait_count(3),
            args=["--metrics", "127.0.0.1:%d" % self.metrics, "--allow-metrics", "127.0.0.1"])
        self.nb, self.readers = self.inst.nb, self.inst.readers

    def tearDown(self):
        self.inst.stop()

    def scrape(self):
        answer = http(self.metrics, b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
        head, _, body = answer.partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), head)
        self.assertIn(b"Content-Type: text/plain; version=0.0.4", head)
        self.assertIn(b"Content-Length: %d\r\n" % len(body), head)
        return body.decode()

    def test_figures_match_the_line_and_only_a_get_is_served(self):
        self.assertTrue(wait_for(lambda: self.readers.polls(NOISY) >= 30 and
                                 "reader 2 (entry 2) not answering" in self.nb.stderr(), 30))
        polls_before = {a: self.readers.polls(a) for a in (GOOD, SILENT, NOISY)}
        answered_before, spoilt_before = self.readers.counts()
        text = self.scrape()
        s = samples(text)
        # What the readers saw is the lower bound; a frame or answer still on
        # its way when the scrape was served is the only difference allowed.
        self.assertTrue(wait_for(lambda: all(self.readers.polls(a) >=
                                             of(s, "netbuf_reader_frames_sent_total", reader=a,
                                                kind="poll") for a in (GOOD, SILENT, NOISY)), 5))
        for a in (GOOD, SILENT, NOISY):
            sent = of(s, "netbuf_reader_frames_sent_total", reader=a, kind="poll")
            self.assertGreaterEqual(sent, polls_before[a], a)
            for kind in ("relay", "buzzer", "pass_through"):
                self.assertEqual(of(s, "netbuf_reader_frames_sent_total", reader=a, kind=kind), 0)
        answered_after, spoilt_after = self.readers.counts()
        crc = of(s, "netbuf_reader_crc_errors_total", reader=NOISY)
        for a in (GOOD, NOISY):
            answers = of(s, "netbuf_reader_answers_total", reader=a)
            self.assertTrue(answered_before[a] - 1 <= answers <= answered_after[a],
                            (a, answered_before, answers, answered_after))
            timed = of(s, "netbuf_reader_answer_time_seconds_count", reader=a)
            self.assertEqual(of(s, "netbuf_reader_answer_time_seconds_bucket", reader=a,
                                le="+Inf"), timed)
            # Each poll ended once: answered in time, broken, or timed out
            # (on a busy machine an answer may come after the next frame: it
            # counts, without an answer time); the last may still be open.
            timeouts = of(s, "netbuf_reader_timeouts_total", reader=a)
            broken = crc if a == NOISY else 0
            sent = of(s, "netbuf_reader_frames_sent_total", reader=a, kind="poll")
            self.assertTrue(sent - 1 <= timed + timeouts + broken <= sent + broken,
                            (a, sent, timed, timeouts, broken))
            self.assertLessEqual(answers - timed, timeouts)
            self.assertEqual(of(s, "netbuf_reader_answering", reader=a), 1)
            self.assertGreaterEqual(of(s, "netbuf_reader_last_answer_age_seconds", reader=a), 0)
        self.assertGreater(spoilt_before, 3)
        self.assertTrue(spoilt_before - 1 <= crc <= spoilt_after, (spoilt_before, crc))
        self.assertEqual(of(s, "netbuf_reader_crc_errors_total", reader=GOOD), 0)
        # Every poll to the silent reader but the last is a time-out: the
        # line moved on without its answer.
        silent_polls = of(s, "netbuf_reader_frames_sent_total", reader=SILENT, kind="poll")
        self.assertIn(of(s, "netbuf_reader_timeouts_total", reader=SILENT),
                      (silent_polls, silent_polls - 1))
        self.assertEqual(of(s, "netbuf_reader_answers_total", reader=SILENT), 0)
        self.assertEqual(of(s, "netbuf_reader_answering", reader=SILENT), 0)
        self.assertNotIn(("netbuf_reader_last_answer_age_seconds",
                          frozenset({("reader", str(SILENT))})), s)
        polls = sum(of(s, "netbuf_reader_frames_sent_total", reader=a, kind="poll")
                    for a in (GOOD, SILENT, NOISY))
        self.assertEqual(of(s, "netbuf_line_sent_bytes_total"), 8 * polls)
        self.assertEqual(of(s, "netbuf_line_stray_bytes_total"), 0)
        self.assertGreaterEqual(of(s, "netbuf_line_ticks_total"), polls)

        if shutil.which("promtool"):
            check = subprocess.run(["promtool", "check", "metrics"], input=text,
                                   capture_output=True, text=True, timeout=30)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

        # Anything but a plain GET of /metrics is refused, briefly, and closed.
        self.assertTrue(http(self.metrics, b"POST /metrics HTTP/1.1\r\n\r\n").startswith(
            b"HTTP/1.1 405 Method Not Allowed\r\nAllow: GET\r\n"))
        self.assertTrue(http(self.metrics, b"GET / HTTP/1.1\r\n\r\n").startswith(
            b"HTTP/1.1 404 Not Found\r\n"))
        long = b"GET /metrics HTTP/1.1\r\n" + b"X-Padding: " + b"a" * 4000 + b"\r\n\r\n"
        self.assertTrue(http(self.metrics, long).startswith(
            b"HTTP/1.1 431 Request Header Fields Too Large\r\n"))
        # A stranger is closed before a byte of it is read.
        self.assertEqual(http(self.metrics, b"GET /metrics HTTP/1.1\r\n\r\n", "127.0.0.3"), b"")
        refused = "refused 127.0.0.3 on port %d: not in --allow-metrics" % self.metrics
        self.assertTrue(wait_for(lambda: refused in self.nb.stderr(), 5), self.nb.stderr())
        s = samples(self.scrape())
        self.assertEqual(of(s, "netbuf_connections_refused_total", port="metrics",
                            reason="not_allowed"), 1)
        self.assertIn("metrics port 127.0.0.1:%d open" % self.metrics, self.nb.stderr())


if __name__ == "__main__":
    unittest.main()
