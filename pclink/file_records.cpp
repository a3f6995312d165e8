#include "pclink/file_records.h"

#include <algorithm>
#include <iterator>
#include <numeric>
#include <vector>

#include "core/hex_text.h"
#include "modbus/byte_span.h"
#include "modbus/mbap.h"
#include "store/database.h"
#include "store/sql_texts.h"

namespace netbuf {

namespace {

// Request fields, offsets from the start of the frame (MBAP included).
using mbap::kTidHi;
using mbap::kTidLo;
constexpr int kFileLo = 11;
constexpr int kRecordHi = 12;
constexpr int kRecordLo = 13;
constexpr int kLengthLo = 15;
constexpr int kHeaderSize = 16;
constexpr int kRecordSize = 32;
// The most 32-byte records one Modbus answer can carry.
constexpr int kMaxRecordsPerAnswer = 7;

// Card record fields.
constexpr int kCardIndex = 0;
constexpr int kCardTyp = 2;
constexpr int kCardKod = 3;
constexpr int kCardKodBytes = 5;
constexpr int kCardTimeZone = 8;
constexpr int kCardGeoZone = 12;
// An upload carries no display text.
constexpr const char* kUploadedLcd = "---";

// Files by the low byte of the file number.
constexpr int kFirstCardFile = 8;
constexpr int kLastCardFile = 23;
constexpr int kCardsPerFile = 512;
constexpr int kEventFile = 128;

constexpr uint8_t kUnitBuffer = mbap::kBufferUnit;
constexpr uint8_t kFnReadFileRecord = 20;
constexpr uint8_t kReferenceType = 6;
constexpr uint8_t kIllegalDataAddress = 2;

using Bytes = std::vector<uint8_t>;

// The current read.
ByteReader rx(const BufferState& st) {
  return ByteReader(std::span(st.pc_request.rx)
                        .first(static_cast<std::size_t>(
                            std::clamp<int>(st.pc_request.rx_len, 0, kPcBufferSize))));
}

// Appends the answer to the request at req, whole or, when pc_tx has no room
// for it, not at all. Returns whether it went in.
bool answer(BufferState& st, const uint8_t* req, std::span<const uint8_t> pdu) {
  ByteWriter out(st.pc_tx, st.pc_tx_len);
  if (!out.fits(mbap::kPrefixSize + 1 + pdu.size())) return false;
  mbap::put_prefix(out, req[kTidHi], req[kTidLo], static_cast<int>(pdu.size()) + 1);
  out.put({kUnitBuffer});
  return out.put(pdu);
}

// A function-20 answer carrying `records` 32-byte records; the length fields
// are one byte each and wrap from 8 records on.
bool records_answer(BufferState& st, const uint8_t* req, int records, const Bytes& body) {
  const int size = kRecordSize * records;
  auto low8 = [](int v) { return static_cast<uint8_t>(v); };
  Bytes pdu{kFnReadFileRecord,
            low8(size + 2),  // byte count
            low8(size + 1),  // file response length
            kReferenceType};
  pdu.insert(pdu.end(), body.begin(), body.end());
  return answer(st, req, pdu);
}

void refuse(BufferState& st, const uint8_t* req) {
  const uint8_t pdu[] = {0x80 | kFnReadFileRecord, kIllegalDataAddress};
  answer(st, req, pdu);
}

// Big-endian, the low `width` bytes of v, at p; returns the byte after them.
uint8_t* put(uint8_t* p, int64_t v, int width) {
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
    *p++ = static_cast<uint8_t>(static_cast<uint64_t>(v) >> shift);
  return p;
}

// The 32-byte event record: each column big-endian in its width.
constexpr Column kEventColumns[] = {
    {"ID", As::Integer},      {"typ", As::Integer},      {"ADR485", As::Integer},
    {"time", As::Integer},    {"timezone", As::Integer}, {"typ_kodu", As::Integer},
    {"kod1", As::Integer},    {"kod2", As::Integer},     {"kod3", As::Integer},
    {"kod4", As::Integer},    {"kod5", As::Integer},     {"status", As::Integer},
    {"code_no", As::Integer}, {"alarm", As::Integer},    {"event", As::Integer},
    {"q5", As::Integer}};
constexpr int kEventWidths[] = {4, 1, 1, 4, 4, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 4};
static_assert(std::size(kEventColumns) == std::size(kEventWidths));
static_assert(std::accumulate(std::begin(kEventWidths), std::end(kEventWidths), 0) == kRecordSize);

// Event records of up to `count` events with first <= Id <= last, ascending.
// Returns the row count and the Id of the last row; a query or row that
// cannot be read counts as none.
int query_events(Database& db, int64_t first, int64_t last, int count, Bytes& records,
                 int64_t& last_id) {
  int rows = 0;
  // Every request passes here: the records are written in place, with no
  // allocation per row.
  records.reserve(records.size() + static_cast<std::size_t>(count) * kRecordSize);
  const Status s =
      db.query_prepared(sql::kSelectEvents, sql::select_events_values(first, last, count),
                        kEventColumns, [&](const Row& r) {
                          last_id = r.integer(0);
                          const std::size_t at = records.size();
                          records.resize(at + kRecordSize);
                          uint8_t* p = records.data() + at;
                          for (std::size_t i = 0; i < std::size(kEventWidths); ++i)
                            p = put(p, r.integer(i), kEventWidths[i]);
                          ++rows;
                        });
  if (s) return rows;
  records.clear();
  return 0;
}

void read_cards(BufferState& st, const uint8_t* req, int file, int k) {
  const int record_no = req[kRecordHi] * 256 + req[kRecordLo];
  const int first = record_no + kCardsPerFile * (file - kFirstCardFile);
  if (k > 0 && first + k - 1 >= kCardCount) {
    // Past the card table: refuse rather than leave the PC waiting.
    refuse(st, req);
    return;
  }
  Bytes body;
  for (int i = first; i < first + k; ++i)
    body.insert(body.end(), st.cards[i].pc_record.begin(), st.cards[i].pc_record.end());
  records_answer(st, req, k, body);
}

void read_events(Context& ctx, const uint8_t* req, int k) {
  BufferState& st = ctx.st;
  // A second request in the same read goes on from where the first ends.
  const int64_t start =
      st.pc_pointer_on_send >= 0 ? st.pc_pointer_on_send : st.event_read_pointer();
  const int64_t last = st.event_counter();
  Bytes records;
  int64_t last_id = 0;
  const int count = std::min(k, kMaxRecordsPerAnswer);
  // The file the path names now, where the storage path commits: a restored
  // or re-pointed net.db is read, not the one left behind.
  ctx.db.follow_file();
  const int rows =
      start <= last && count > 0 ? query_events(ctx.db, start, last, count, records, last_id) : 0;
  if (rows < 1) {
    refuse(st, req);
    return;
  }
  if (!records_answer(st, req, rows, records)) return;  // not sent, so not read
  // Past the last Id sent: gaps are skipped, nothing is sent twice.
  st.pc_pointer_on_send = static_cast<uint32_t>(last_id + 1);
}

}  // namespace

void read_file_record(Context& ctx) {
  BufferState& st = ctx.st;
  const int p = st.pc_request.pos;
  st.pc_request.pos += kHeaderSize;
  if (!rx(st).has(p, kHeaderSize)) return;

  const uint8_t* req = st.pc_request.rx.data() + p;
  const int file = req[kFileLo];
  const int k = req[kLengthLo] / 16;
  // More cards than one answer's 8-bit lengths describe are refused; events
  // come at most seven at a time, the rest with the next request, so a PC
  // asking for more is never stalled.
  if (k > kMaxRecordsPerAnswer && file >= kFirstCardFile && file <= kLastCardFile)
    refuse(st, req);
  else if (file >= kFirstCardFile && file <= kLastCardFile)
    read_cards(st, req, file, k);
  else if (file == kEventFile)
    read_events(ctx, req, k);

  ctx.status.show_event_counters(st.event_counter(), st.event_read_pointer());
}

void hand_over_read_pointer(Context& ctx) {
  BufferState& st = ctx.st;
  if (st.pc_pointer_on_send < 0) return;
  const auto next = static_cast<uint32_t>(st.pc_pointer_on_send);
  st.pc_pointer_on_send = -1;
  st.set_reg(kRegReadPtrHi, static_cast<int32_t>(next >> 16));
  st.set_reg(kRegReadPtrLo, static_cast<int32_t>(next & 0xFFFFu));
  ctx.status.show_event_counters(st.event_counter(), st.event_read_pointer());
}

bool write_file_record(Context& ctx) {
  BufferState& st = ctx.st;
  PcRequestState& request = st.pc_request;
  const int p = request.pos;
  const ByteReader in = rx(st);
  if (!in.has(p, kHeaderSize)) return false;
  if (request.rx[p + kFileLo] != kFirstCardFile) return false;
  const int k = request.rx[p + kLengthLo] / 16;
  if (!in.has(p, kHeaderSize + kRecordSize * k)) return false;

  request.pos += kHeaderSize;
  for (int r = 0; r < k; ++r) {
    const uint8_t* q = request.rx.data() + request.pos;
    request.pos += kRecordSize;
    const int index = q[kCardIndex] * 256 + q[kCardIndex + 1];
    if (!BufferState::valid_card(index)) continue;  // no such entry: skipped

    CardEntry& card = st.cards[index];
    std::copy(q, q + kRecordSize, card.pc_record.begin());
    card.typ = q[kCardTyp];
    st.set_card_kod(index, hex_bytes(std::span(q + kCardKod, kCardKodBytes), ""));
    card.lcd = kUploadedLcd;
    const ByteReader record(std::span(q, kRecordSize));
    card.time_zone = static_cast<int32_t>(record.be32(kCardTimeZone));
    card.geo_zone = static_cast<int32_t>(record.be32(kCardGeoZone));
    card.dirty = 1;
  }
  return true;
}

}  // namespace netbuf
