// The in-memory state of the emulated buffer: register image, card table,
// reader list, shared words and the link buffers. One instance per buffer,
// passed by reference to every handler; no globals.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/card_index.h"
#include "core/line_figures.h"
#include "core/pc_request_state.h"
#include "core/repeat_collapse.h"
#include "core/report_limiter.h"
#include "core/upkeep.h"

namespace netbuf {

inline constexpr int kRegisterCount = 9000;
inline constexpr int kCardCount = 20001;
inline constexpr int kReaderCount = 32;
inline constexpr int kServiceBufferSize = 1004;
inline constexpr int kServiceCounters = 101;
inline constexpr int kPcConnections = 11;
inline constexpr int kRxAccSize = 2001;
inline constexpr int kRxAccLimit = 256;  // the longest RTU frame
inline constexpr int kCardNotFound = 65535;

// Registers with a fixed meaning.
inline constexpr int kRegReadPtrHi = 800;
inline constexpr int kRegReadPtrLo = 801;
inline constexpr int kRegEventCntHi = 804;
inline constexpr int kRegEventCntLo = 805;
inline constexpr int kRegReaderSlots = 1400;
inline constexpr int kRegTimeZones = 1700;
inline constexpr int kRegCardCount = 3170;
inline constexpr int kRegMac = 3203;

struct Context;
// Hands a reader's answer (CRC left off) to a frame the PC passed through
// back to the PC link, which alone knows how the PC is answered; tid is the
// request's transaction identifier, low byte.
using PcAnswerRoute = void (*)(Context& ctx, uint8_t tid, std::span<const uint8_t> answer);

// Reader action codes.
enum Action : uint8_t {
  kActionNone = 0,
  kActionBuzzerN = 1,
  kActionRelay = 2,
  kActionForward = 3,
  kActionBuzzerS = 4,
};

// The reader line is half-duplex: after each frame of ours the line is the
// addressed reader's until its answer is in or its response time-out has
// run out, and no frame goes out before 3.5 characters of silence
// (readerbus/line_turn.h).
inline constexpr int kDefaultResponseTimeoutMs = 50;

struct LineTurn {
  bool answer_owed = false;
  uint8_t address = 0;        // of the reader whose answer is awaited
  int32_t answer_size = 0;    // bytes of the answer awaited
  int64_t answer_due_ms = 0;  // monotonic; the answer must have begun by then
  int64_t free_ms = 0;        // no frame of ours before then: silence on the line
  int64_t limit_ms = 0;       // a babbling line holds the next frame no longer
  int32_t response_timeout_ms = kDefaultResponseTimeoutMs;
  // A poll turn came while the line was taken: it goes at the next free moment.
  bool turn_owed = false;
  // The last frame was a command served ahead of the round robin.
  bool last_was_command = false;
  int32_t command_cursor = 0;  // where the next search for a due command starts
};

struct Register {
  int32_t val = 0;
  uint8_t dirty = 0;
};

struct CardEntry {
  std::array<uint8_t, 32> pc_record{};
  int32_t typ = 0;
  std::string kod;
  std::string lcd;
  int32_t time_zone = 0;
  int32_t geo_zone = 0;
  uint8_t dirty = 0;
};

struct ReaderEntry {
  std::string last_code;
  int32_t adr485 = 0;
  int32_t geo_zone = 0;
  int32_t flags = 0;
  uint8_t armed = 0;
  uint8_t action = 0;
  // The command (relay or buzzer) last written to the reader and not yet
  // acknowledged: an acknowledgement ends only the command it answers.
  uint8_t sent = 0;
  uint8_t pc_wait = 0;
  std::array<uint8_t, kTxFrameSize> tx_frame{};
  int32_t tx_len = 0;
  int32_t pc_tid = 0;
  int32_t hold_off = 0;
  // A remote opening was queued here and the reader has not been polled
  // since: further ones are absorbed, so a flood of commands cannot turn
  // every turn of the reader into a relay frame and hide its cards.
  uint8_t remote_hold = 0;
  // A relay or buzzer was placed and has not gone out yet: it goes at the
  // line's next free moment, ahead of the round robin.
  uint8_t command_due = 0;
};

// Tells a reader to fire its relay or sound a buzzer. The door comes first: a
// PC frame still waiting at that reader is given up (the PC sees its own
// time-out, never another command's acknowledgement as its answer), and a
// buzzer never replaces a relay that the reader has not acknowledged yet.
void command_reader(ReaderEntry& r, Action a);
// A relay or buzzer is queued, or went out and may still be acknowledged:
// the reader is not lent to the PC meanwhile.
bool door_command_pending(const ReaderEntry& r);

class BufferState {
 public:
  BufferState();

  // Register image. Out-of-range addresses read as 0 and are never written.
  static bool valid_register(int a) { return a >= 0 && a < kRegisterCount; }
  int32_t reg(int a) const { return valid_register(a) ? registers[a].val : 0; }
  // Stores the value and marks the register dirty.
  void set_reg(int a, int32_t v);
  // reg_hi * 65536 + reg_lo in signed 32-bit arithmetic (wrapping).
  int32_t reg_pair(int hi) const;
  int32_t event_counter() const { return reg_pair(kRegEventCntHi); }
  int32_t event_read_pointer() const { return reg_pair(kRegReadPtrHi); }

  // Card table. Every change of a card code goes through set_card_kod so the
  // code index stays right.
  static bool valid_card(int k) { return k >= 0 && k < kCardCount; }
  void set_card_kod(int k, std::string kod);
  // Indexes the codes written straight into cards, all at once: for a table
  // loaded whole.
  void index_cards();
  const CardIndex& card_index() const { return card_index_; }

  // Reader table, entries 1..32; only 1..reader_count are configured, the
  // rest are left-overs of a longer list. find_reader returns the highest
  // configured entry with that address, 0 when none has it.
  ReaderEntry& reader(int e) { return readers[e]; }
  int find_reader(int address) const;

  std::array<Register, kRegisterCount> registers{};
  std::vector<CardEntry> cards;
  std::array<ReaderEntry, kReaderCount + 1> readers{};  // [0] unused
  int32_t reader_count = 0;
  int32_t card_count = 0;
  int32_t n_card = 0;
  int32_t s_card = 0;
  uint32_t zone_mask = 0;

  // PC link: the connection's requests, and the answers built for it.
  PcRequestState pc_request;
  std::array<uint8_t, kPcBufferSize> pc_tx{};
  int32_t pc_tx_len = 0;
  // Where the event read pointer goes once pc_tx is handed to the PC's
  // socket; -1 when no answer in it moves the pointer. An answer dropped for
  // a PC that stopped reading has not been read.
  int64_t pc_pointer_on_send = -1;
  PcAnswerRoute answer_pc = nullptr;  // set with the first frame passed through

  // Service port.
  std::array<uint8_t, kServiceBufferSize> service_rx{};
  ReportLimiter service_reports;         // malformed commands reported to the operator
  int64_t remote_openings = 0;           // commands carried out since start, for the status
  RepeatCollapse remote_lines{10};       // their journal lines, a flood's as a count
  ReportLimiter remote_drops{10000, 4};  // commands over a connection's rate

  // Reader bus.
  std::array<uint8_t, kRxAccSize> rx_acc{};
  int32_t rx_len = 0;
  int32_t poll_index = 0;
  LineTurn line;

  Upkeep upkeep;
  LineFigures figures;

 private:
  CardIndex card_index_;
};

}  // namespace netbuf
