#!/usr/bin/python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

Each seed is one meaningful input in the target's own input layout (see the
comment at the top of each fuzz_*.cpp). Run it again after changing a layout;
the files it writes are committed. Files named crash_* are inputs that once
crashed a target; they are kept as seeds, not written here.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The system tests' harness frames the reader line the same way.
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
from netbuf_harness import with_crc  # noqa: E402


def rtu(*b):
    return with_crc(bytes(b))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def mbap(tid, unit, pdu):
    return struct.pack(">HHH", tid, 0, len(pdu) + 1) + bytes([unit]) + pdu


# --- fuzz_pc_read: one read of the PC's connection --------------------------
def f03(tid, start, qty, unit=0xFF):
    return mbap(tid, unit, struct.pack(">BHH", 3, start, qty))


def f16(tid, start, values, unit=0xFF):
    data = b"".join(struct.pack(">H", v) for v in values)
    return mbap(tid, unit, struct.pack(">BHHB", 16, start, len(values), len(data)) + data)


def f20(tid, file_no, record, records):
    # One sub-request: reference type 6, file, record, length in words.
    return mbap(tid, 0xFF, struct.pack(">BBBHHH", 20, 7, 6, file_no, record, 16 * records))


def card_record(index, typ, kod, time_zone, geo_zone):
    r = struct.pack(">HB", index, typ) + kod + struct.pack(">II", time_zone, geo_zone)
    return r + bytes(32 - len(r))


def f21(tid, records):
    body = b"".join(records)
    sub = struct.pack(">BHHH", 6, 8, 0, 16 * len(records)) + body
    # The byte count is one byte; netbuf goes by the record length alone.
    return mbap(tid, 0xFF, bytes([21, len(sub) & 0xFF]) + sub)


T = "fuzz_pc_read"
write(T, "f03_read_two_registers", f03(1, 3000, 2))
write(T, "f03_two_frames_one_read", f03(1, 0, 1) + f03(2, 1, 1))
write(T, "f03_then_f16_one_read", f03(1, 0, 1) + f16(2, 3000, [5]))
write(T, "f03_max_quantity", f03(3, 0, 125))
write(T, "f03_past_register_image", f03(4, 8990, 20))
write(T, "f03_odd_register_values", f03(5, 10, 3))
write(T, "f16_write_reader_slot", f16(7, 1400, [0x1234]))
write(T, "f16_set_event_pointers", f16(8, 800, [0, 5, 0, 0, 0, 30]))
write(T, "f16_truncated_data", f16(9, 0, [1, 2, 3])[:-3])
write(T, "f20_event_read", f20(5, 0x80, 0, 4))
write(T, "f20_event_read_then_cards", f20(5, 0x80, 0, 15) + f20(6, 8, 0, 2))
write(T, "f20_card_read_last_file", f20(6, 23, 511, 1))
write(T, "f20_short_header", f20(6, 8, 0, 1)[:12])
write(T, "f21_card_upload",
      f21(9, [card_record(3, 1, bytes.fromhex("0102030405"), 0xFFFFFFFF, 1),
              card_record(20000, 2, bytes.fromhex("AABBCCDDEE"), 1, 0x80000000)]))
write(T, "f21_other_file", f21(9, [card_record(1, 1, b"\0" * 5, 0, 0)]).replace(
    bytes([6, 0, 8]), bytes([6, 0, 9]), 1))
write(T, "pass_through_read_unit5", f03(0x21, 10, 5, unit=5))
write(T, "pass_through_write_unit2", f16(0x22, 1, [0xABCD], unit=2))
write(T, "pass_through_other_function", mbap(0x23, 5, bytes([6, 0, 1, 0, 2])))
# Reads at the size limits: answers that outgrow the 10 004-byte send buffer,
# and a read larger than the receive buffer (its excess must be drained).
write(T, "f03_answers_fill_buffer", b"".join(f03(i, 0, 125) for i in range(40)))
write(T, "f20_card_reads_fill_buffer", b"".join(f20(i, 8 + i % 16, 0, 15) for i in range(22)))
write(T, "f21_full_uploads",
      b"".join(f21(i, [card_record(15 * i + r, 1, bytes([i, r, 0, 0, 1]), 1, 1) for r in range(15)])
               for i in range(3)))
big = mbap(1, 0xFF, struct.pack(">BHH", 4, 0, 1))
write(T, "read_larger_than_buffer", big + bytes(10100 - len(big)))
write(T, "f04_not_served", mbap(1, 0xFF, struct.pack(">BHH", 4, 0, 1)))

# --- fuzz_serial_chunks: reader setup, then (control, chunk) records ---------
PC = 1


def chunk(data, ticks=0):
    assert len(data) < 32 and ticks < 8
    return bytes([len(data) | ticks << 5]) + data


def poll_answer(addr, status, code):
    return rtu(addr, 3, 10, *struct.pack(">HH", status, 0), *code)


def ack(addr, reg):
    return rtu(addr, 16, *struct.pack(">HH", reg, 1))


ARMED = 0x20
WAIT, WRITE = 0x08, 0x10
RELAY, BUZZ_N = 2, 1
T = "fuzz_serial_chunks"
write(T, "poll_only", bytes([PC, 0, 0, 0, 0]) + chunk(b"", 4))
write(T, "reference_then_card",
      bytes([PC, 0, 0, 0, 0]) + chunk(poll_answer(5, 0x8000, bytes(6)), 1)
      + chunk(poll_answer(5, 0, bytes([0, 1, 2, 3, 4, 5])), 2))
write(T, "granted_card_then_relay_ack",
      bytes([PC, ARMED, 0, 0, 0]) + chunk(poll_answer(5, 0, bytes([0, 1, 2, 3, 4, 5])), 1)
      + chunk(ack(5, 150), 1))
write(T, "card_at_zone1_opens_partner",
      bytes([PC, 0, ARMED, 0, 0]) + chunk(poll_answer(2, 0, bytes([0, 1, 2, 3, 4, 5])), 4)
      + chunk(ack(3, 150), 1))
write(T, "unknown_card_buzzer",
      bytes([PC, 0, 0, ARMED, 0]) + chunk(poll_answer(7, 0, bytes([9] * 6)), 3))
write(T, "card_outside_time",
      bytes([PC, 0, ARMED, 0, 0]) + chunk(poll_answer(2, 0, bytes([0, 0, 0xAA, 0xBB, 0xCC, 0xDD])), 2))
write(T, "relay_pending_ack", bytes([PC, RELAY, 0, 0, 0]) + chunk(b"", 2) + chunk(ack(5, 150)))
write(T, "buzzer_pending", bytes([PC, BUZZ_N, 0, 0, BUZZ_N]) + chunk(b"", 5))
write(T, "pass_through_read_answered",
      bytes([PC, 0, WAIT, 0, 0]) + chunk(b"", 2) + chunk(poll_answer(2, 0x1234, bytes(6))))
write(T, "pass_through_write_answered",
      bytes([PC, WAIT | WRITE, 0, 0, 0]) + chunk(b"", 1) + chunk(ack(5, 1)))
long_answer = rtu(2, 3, 250, *range(250))
write(T, "pass_through_long_answer",
      bytes([PC, 0, WAIT, 0, 0]) + chunk(b"", 2)
      + b"".join(chunk(long_answer[i:i + 31]) for i in range(0, len(long_answer), 31)))
write(T, "pass_through_pc_gone",
      bytes([0, 0, WAIT, 0, 0]) + chunk(b"", 2) + chunk(poll_answer(2, 0, bytes(6))))
ans = poll_answer(5, 0, bytes([0, 1, 2, 3, 4, 5]))
write(T, "answer_split_in_three",
      bytes([PC, ARMED, 0, 0, 0]) + chunk(ans[:3]) + chunk(ans[3:9]) + chunk(ans[9:], 1))
write(T, "two_answers_one_chunk",
      bytes([PC, RELAY, 0, 0, 0]) + chunk(ack(5, 150) + rtu(2, 3, 2, 0, 0), 1))
write(T, "noise_then_answer",
      bytes([PC, 0, 0, 0, 0]) + chunk(bytes([0xFF, 0x00, 0x83, 0x02]) + ack(5, 150)))
write(T, "bad_crc", bytes([PC, ARMED, 0, 0, 0]) + chunk(ans[:-1] + bytes([ans[-1] ^ 1])))
write(T, "overflow", bytes([PC, 0, 0, 0, 0]) + chunk(bytes(15)) + chunk(bytes(10)) + chunk(ans))

# --- fuzz_service_read: (control, length, bytes) records ---------------------
def cmd(conn, text, hold=False):
    data = text.encode("latin-1")
    assert len(data) < 256
    return bytes([conn | (0x40 if hold else 0), len(data)]) + data


def ticks(n):
    out = b""
    while n > 0:
        k = min(n, 63)
        out += bytes([3 | k << 2])
        n -= k
    return out


T = "fuzz_service_read"
write(T, "relay_command", cmd(0, "#Jan,x,1,2,4$"))
write(T, "two_clients", cmd(0, "#Jan,x,1,2,4$") + cmd(1, "#Ola,y,1,2,1$"))
write(T, "command_in_two_reads", cmd(0, "#Jan,x,1,", hold=True) + cmd(0, "2,4$"))
write(T, "malformed_number", cmd(0, "#Jan,x,a,2,4$") + cmd(1, "#Jan,x,1,2,4$"))
write(T, "missing_separators", cmd(0, "#Jan$") + cmd(0, "#,,,,$"))
write(T, "address_limits", cmd(0, "#a,b,1,1,2147483647$") + cmd(1, "#a,b,1,1,-2147483648$")
      + cmd(2, "#a,b,1,1,2147483648$"))
write(T, "idle_clients_closed", cmd(0, "#Jan,x,1,2,4$") + cmd(1, "#Ola,y,1,2,1$") + ticks(50)
      + cmd(1, "#Ola,y,1,2,1$") + ticks(60) + cmd(0, "#Jan,x,1,2,4$"))
big = ("#Jan,x,1,2,4$" * 120).encode()[:1600]
write(T, "read_larger_than_buffer", bytes([0x80, 200]) + big)

# --- fuzz_settings_row: (flags, value, key length, key) records --------------
def row(key, value, flags=0):
    k = key.encode("latin-1")
    return bytes([flags]) + struct.pack(">i", value) + bytes([len(k)]) + k


T = "fuzz_settings_row"
write(T, "defaults",
      row("COM1", 0) + row("DELAY1", 30) + row("PORT_TCP", 502) + row("SERVICE", 1060)
      + row("N_CARD", 0) + row("S_CARD", 0))
write(T, "wired_line", row("COM1", 3, flags=2) + row("DELAY1", 50) + row("N_CARD", 0x8001)
      + row("S_CARD", 0x00FF))
write(T, "ports_fail", row("COM1", 7, flags=1) + row("PORT_TCP", 502, flags=4)
      + row("SERVICE", 1060, flags=8))
write(T, "delay_limits", row("DELAY1", 5) + row("DELAY1", 1000) + row("DELAY1", -2147483648))
write(T, "port_not_a_port", row("PORT_TCP", 70000) + row("SERVICE", -1))
write(T, "unknown_keys", row("com1", 3) + row("COM1 ", 3) + row("", 1) + row("N_CARD\0", 5))
write(T, "patterns_wide", row("N_CARD", -1) + row("S_CARD", 0x12345678))

# --- fuzz_db_rows: (table, values...) rows -----------------------------------
NULL = bytes([0])


def i8(v):
    return bytes([1, v & 0xFF])


def i32(v):
    return bytes([2]) + struct.pack(">i", v)


def i64(v):
    return bytes([3]) + struct.pack(">q", v)


def text(s):
    b = s.encode("latin-1") if isinstance(s, str) else s
    return bytes([4, len(b)]) + b


def real(v):
    return bytes([5]) + struct.pack(">d", v)


def blob(b):
    return bytes([6, len(b)]) + b


def edge(i):
    return bytes([7, i])


def register(adres, val, opis=text("")):
    return bytes([0]) + adres + val + opis


def karty(numer, typ, kod, lcd, tz, gz):
    return bytes([1]) + numer + typ + kod + lcd + tz + gz


def setting(key, val):
    return bytes([2]) + key + val


T = "fuzz_db_rows"
write(T, "prepared_buffer",
      register(i32(1400), i32(0x0500)) + register(i32(1401), i32(0x0C00))
      + register(i32(3170), i32(100)) + karty(i8(1), i8(1), text("0102030405"), text("Jan"),
                                              i32(-1), i32(-1))
      + karty(i8(2), i8(0), text("0102030405"), text(""), i8(0), i8(1))
      + setting(text("COM1"), i8(3)) + setting(text("DELAY1"), i8(30))
      + setting(text("N_CARD"), i32(0x8001)))
write(T, "nulls", register(NULL, NULL, NULL) + karty(NULL, NULL, NULL, NULL, NULL, NULL)
      + setting(NULL, NULL) + karty(i8(3), NULL, NULL, NULL, NULL, NULL))
write(T, "text_in_integer_columns",
      register(text("1400"), text("1280x"), i32(7)) + karty(text("abc"), text("1"), i32(42),
                                                           real(1.5), text("-1"), blob(b"\x01\x02"))
      + karty(text("12"), i8(1), text('a"b'), text("'; DROP TABLE karty; --"), i8(1), i8(1))
      + setting(i8(1), text("x")) + setting(text("PORT_TCP"), real(502.9)))
write(T, "outside_the_tables",
      register(i32(9000), i8(1)) + register(i32(-1), i8(1)) + register(edge(7), edge(9))
      + karty(i32(20002), i8(1), text("x"), text("y"), i8(0), i8(0))
      + karty(i8(0), i8(1), text("z"), text("z"), i8(0), i8(0))
      + karty(i64(4294967297), i8(1), text("wraps"), text("to card 1"), i8(0), i8(0)))
write(T, "wide_values",
      register(i32(1400), i64(2**40 + 0x0300)) + register(i32(1404), i32(-256))
      + register(i32(3170), edge(9)) + register(i32(1700), edge(19))
      + karty(i8(5), i64(2**62), blob(b"\x00kod"), text(b"\xff\xfe"), real(1e300), real(-1e300))
      + setting(text("DELAY1"), edge(18)) + setting(text("S_CARD"), i64(-(2**63))))


# --- fuzz_control_requests: a window's bytes, in chunks -------------------------
T = "fuzz_control_requests"


def frame(kind, body=b""):
    return struct.pack(">IB", 1 + len(body), kind) + body


def text_field(s):
    return struct.pack(">I", len(s)) + s


def chunks(data, size):
    out = b""
    for i in range(0, len(data), size):
        part = data[i:i + size]
        out += bytes([len(part)]) + part
    return out


HELLO = frame(1, text_field(b"netbuf-window") + struct.pack(">H", 1))
SAVE = frame(3, struct.pack(">I", 120) + text_field(b"1502") + text_field(b"1060; x")
             + struct.pack(">HH", 0x8001, 1))
write(T, "session", chunks(HELLO + frame(2, b"\x05") + SAVE + frame(4) + frame(5)
                           + frame(6, b"\x01") + frame(7, struct.pack(">I", 3)) + frame(8)
                           + frame(9) + frame(10), 200))
write(T, "byte_by_byte", chunks(HELLO + frame(2, b"\x0f"), 1))
write(T, "before_hello", chunks(frame(4) + HELLO, 50))
write(T, "other_version", chunks(frame(1, text_field(b"netbuf-window") + struct.pack(">H", 2)), 50))
write(T, "too_long", chunks(struct.pack(">I", 1 << 20) + bytes(300), 255))
write(T, "bad_fields", chunks(HELLO + frame(6, b"\x02") + frame(2, b"\x10"), 100))

# fuzz_metrics_request: piece length, then the request.
T = "fuzz_metrics_request"
write(T, "get_in_pieces", bytes([6]) + b"GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n")
write(T, "post", bytes([31]) + b"POST /metrics HTTP/1.1\r\n\r\n")
write(T, "head_never_ends", bytes([31]) + b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 2100)
write(T, "quotes_and_line_feeds", bytes([0]) + b'GET /"a\\b\nc"?x HTTP/1.0\n\n')
