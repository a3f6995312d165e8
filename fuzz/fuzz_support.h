// What the fuzz targets share: a byte cursor over the input, a scratch
// directory for net.db, and a buffer over the recording fakes that is built
// once per process and put back into its starting state before every input,
// so that an input found by the fuzzer replays the same way on its own.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/reader_rebuild.h"
#include "core/text_escape.h"
#include "fakes.h"
#include "store/database.h"
#include "store/schema.h"

namespace netbuf::fuzz {

// An invariant that must hold after every handler; a break is a crash the
// fuzzer keeps.
#define NETBUF_FUZZ_CHECK(cond)                                                          \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

// The harness's own scans over the 20 001 cards are not what the fuzzer
// should learn from; uninstrumented they also cost a fraction of the time.
#define NETBUF_FUZZ_UNTRACED __attribute__((no_sanitize("coverage")))

// Every text that reaches the operator or a log line, as the window and
// the headless mirror write it: one line each, no byte that drives a
// terminal, and printable text as it came.
NETBUF_FUZZ_UNTRACED inline void check_lines_written(const testing::FakeWorld& w) {
  for (const auto* texts : {&w.log.lines, &w.op.errors, &w.op.boxes})
    for (const std::string& t : *texts) {
      const std::string out = escape_controls(t);
      for (size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        NETBUF_FUZZ_CHECK(c >= 0x20 && c != 0x7F);
        NETBUF_FUZZ_CHECK(!(c == 0xC2 && i + 1 < out.size() &&
                            (static_cast<unsigned char>(out[i + 1]) & 0xE0) == 0x80));
      }
      NETBUF_FUZZ_CHECK(out.size() >= t.size());
    }
}

// Reads the input front to back; past the end every read gives zeros.
class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : p_(data), left_(size) {}
  bool empty() const { return left_ == 0; }
  size_t left() const { return left_; }
  uint8_t u8() {
    if (left_ == 0) return 0;
    --left_;
    return *p_++;
  }
  uint32_t be32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | u8();
    return v;
  }
  uint64_t be64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | u8();
    return v;
  }
  // Up to n bytes, fewer when the input ends first.
  std::vector<uint8_t> bytes(size_t n) {
    n = n < left_ ? n : left_;
    std::vector<uint8_t> out(p_, p_ + n);
    p_ += n;
    left_ -= n;
    return out;
  }

 private:
  const uint8_t* p_;
  size_t left_;
};

// A fresh directory under the system's temporary directory, removed when the
// process ends normally.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "netbuf-fuzz-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    dir_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path(const char* name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

// The four tables of net.db as the installer's tool lays them out, without
// the 29 001 filler rows: a target adds only the rows it needs.
inline void create_tables(Database& db) {
  for (const char* sql : {schema::kCreateRegister, schema::kCreateKarty, schema::kCreateSetings,
                          schema::kCreateEvent, schema::kCreateEventIndex})
    NETBUF_FUZZ_CHECK(db.run(sql));
}

// net.db at `path`: the four tables and the rows `fill` adds on a connection
// of its own, then opened on the world's connection.
template <class Fill>
void open_new_db(testing::FakeWorld& w, const std::string& path, Fill fill) {
  {
    Database db;
    db.open(path, true);
    create_tables(db);
    fill(db);
  }
  w.db.open(path);
}

// A target that writes with every input need not wait for the disk.
inline void skip_disk_waits(Database& db) {
  NETBUF_FUZZ_CHECK(db.run("PRAGMA synchronous=OFF"));
  NETBUF_FUZZ_CHECK(db.query("PRAGMA journal_mode=MEMORY", {}, [](const Row&) {}));
}

// A FakeWorld with readers configured through their registers, and the means
// to return to that state. Handlers touch registers, readers, cards, link
// buffers and the fakes; everything else a target changes it resets itself.
class FuzzWorld {
 public:
  FuzzWorld() : w_(std::make_unique<testing::FakeWorld>()) {}

  testing::FakeWorld& w() { return *w_; }
  Context& ctx() { return w_->ctx; }
  BufferState& st() { return w_->st; }

  // Takes the current buffer as the state every input starts from.
  NETBUF_FUZZ_UNTRACED void snapshot() {
    rebuild_readers(w_->ctx);
    registers_ = w_->st.registers;
    readers_ = w_->st.readers;
    reader_count_ = w_->st.reader_count;
    cards_ = w_->st.cards;
    window_ = w_->window;
    n_card_ = w_->st.n_card;
    s_card_ = w_->st.s_card;
    zone_mask_ = w_->st.zone_mask;
  }

  // Which cards an input may have changed: none, only ones it marked dirty
  // (PC uploads), or any (start-up loads cards without marking them).
  enum class Cards { kUntouched, kMarked, kAny };

  NETBUF_FUZZ_UNTRACED void restore(Cards cards) {
    BufferState& st = w_->st;
    st.registers = registers_;
    st.readers = readers_;
    st.reader_count = reader_count_;
    st.card_count = st.reg(kRegCardCount);
    st.n_card = n_card_;
    st.s_card = s_card_;
    st.zone_mask = zone_mask_;
    for (int k = 0; cards != Cards::kUntouched && k < kCardCount; ++k) {
      const CardEntry& now = st.cards[k];
      const CardEntry& was = cards_[k];
      const bool same = now.dirty == was.dirty &&
                        (cards == Cards::kMarked ||
                         (now.kod == was.kod && now.lcd == was.lcd && now.typ == was.typ &&
                          now.time_zone == was.time_zone && now.geo_zone == was.geo_zone));
      if (same) continue;
      st.set_card_kod(k, was.kod);
      st.cards[k] = was;
    }
    st.pc_request.reset();
    st.pc_tx_len = 0;
    st.rx_len = 0;
    st.line = {};
    st.poll_index = 0;
    st.service_reports = ReportLimiter();

    w_->log.lines.clear();
    w_->op.boxes.clear();
    w_->op.errors.clear();
    w_->window = window_;
    w_->serial.sent.clear();
    for (auto* ep : {&w_->pc, &w_->service})
      for (auto& c : ep->conns) {
        c.in.clear();
        c.out.clear();
        c.closed = false;
        c.state = {};
      }
  }

  // What must hold whatever the input was.
  NETBUF_FUZZ_UNTRACED void check_bounds() const {
    const BufferState& st = w_->st;
    NETBUF_FUZZ_CHECK(st.reader_count >= 0 && st.reader_count <= kReaderCount);
    NETBUF_FUZZ_CHECK(st.pc_tx_len >= 0 && st.pc_tx_len <= kPcBufferSize);
    NETBUF_FUZZ_CHECK(st.pc_request.rx_len >= 0 && st.pc_request.rx_len <= kPcBufferSize);
    NETBUF_FUZZ_CHECK(st.rx_len >= 0 && st.rx_len <= kRxAccLimit);
    for (int e = 1; e <= kReaderCount; ++e)
      NETBUF_FUZZ_CHECK(st.readers[e].tx_len >= 0 && st.readers[e].tx_len <= kTxFrameSize);
  }

 private:
  std::unique_ptr<testing::FakeWorld> w_;
  std::array<Register, kRegisterCount> registers_{};
  std::array<ReaderEntry, kReaderCount + 1> readers_{};
  int32_t reader_count_ = 0;
  std::vector<CardEntry> cards_;
  testing::FakeWindow window_;
  int32_t n_card_ = 0, s_card_ = 0;
  uint32_t zone_mask_ = 0;
};

// A target and the world it drives, as an input finds them.
template <class Target>
struct TargetAndWorld {
  Target& t;
  testing::FakeWorld& w;
};

// A fuzzer's target, built on its first input and put back into its starting
// state before each one.
template <class Target>
TargetAndWorld<Target> target_for_input(FuzzWorld::Cards cards = FuzzWorld::Cards::kUntouched) {
  static Target t;
  t.fw.restore(cards);
  return {t, t.fw.w()};
}

// The same for a target that opens net.db and the sockets itself: the serial
// line and both endpoints start each input new, as they were at start-up.
template <class Target>
TargetAndWorld<Target> target_with_new_links(FuzzWorld::Cards cards) {
  const TargetAndWorld<Target> in = target_for_input<Target>(cards);
  in.w.serial = testing::FakeSerial();
  in.w.pc = testing::FakeEndpoint();
  in.w.service = testing::FakeEndpoint();
  return in;
}

}  // namespace netbuf::fuzz
