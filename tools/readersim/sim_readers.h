// The simulated readers: their register maps, the answers they give, the
// lines they print and the console commands that steer them. No I/O here:
// the caller feeds requests and command lines in and writes out what comes
// back, at the times the chunks say.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/hex_text.h"
#include "tools/readersim/frame_crc.h"
#include "tools/readersim/request_framer.h"

namespace netbuf::readersim {

constexpr int kRegisterCount = 256;
constexpr int kStatusRegister = 10;
constexpr int kCodeRegister = 12;  // 12, 13, 14: six code bytes
constexpr int kCodeRegisters = 3;
constexpr int kRelayRegister = 150;
constexpr int kBuzzerRegister = 151;
constexpr int kPollQuantity = 5;
constexpr int kMaxReadQuantity = 125;
constexpr int kDumpLast = 20;
constexpr int kMaxReaders = 32;
constexpr int kMaxAddress = 255;
constexpr int kDefaultChunkGapMs = 3;

constexpr uint8_t kIllegalAddress = 2;
constexpr uint8_t kIllegalValue = 3;

struct Reader {
  std::array<uint16_t, kRegisterCount> regs{};
  bool silent = false;
  int bad_crc = 0;  // answers still to send with a broken CRC
  int split = 0;    // bytes per chunk, 0 = the whole answer at once
  int split_gap_ms = kDefaultChunkGapMs;
  int delay_ms = 0;
};

// Bytes to write to the line, at_us microseconds from now.
struct Chunk {
  int64_t at_us;
  std::vector<uint8_t> bytes;
};

struct Outcome {
  std::vector<std::string> lines;  // to print, in order
  std::vector<Chunk> chunks;       // to write, in order
  bool quit = false;
};

// Microseconds one byte occupies on an 8N1 line.
inline int64_t byte_time_us(int baud) {
  return baud > 0 ? 10'000'000 / baud : 0;
}

// When each piece of an answer goes out: after the reader's delay, and with
// splitting, each chunk a gap after the previous one has left the wire, so
// the receiver really sees separate chunks.
inline std::vector<Chunk> plan_chunks(const std::vector<uint8_t>& answer, const Reader& r,
                                      int baud) {
  std::vector<Chunk> out;
  int64_t at = int64_t{r.delay_ms} * 1000;
  const size_t k = r.split > 0 ? size_t(r.split) : answer.size();
  for (size_t i = 0; i < answer.size(); i += k) {
    const size_t n = std::min(k, answer.size() - i);
    out.push_back(
        {at, {answer.begin() + std::ptrdiff_t(i), answer.begin() + std::ptrdiff_t(i + n)}});
    at += int64_t(n) * byte_time_us(baud) + int64_t{r.split_gap_ms} * 1000;
  }
  return out;
}

// "1,2,5-8" -> {1, 2, 5, 6, 7, 8}; nullopt on anything malformed, an address
// outside 1..255 or more readers than a line holds.
inline std::optional<std::vector<int>> parse_reader_list(std::string_view text) {
  std::vector<int> out;
  auto number = [](std::string_view s) -> int {
    if (s.empty() || s.size() > 3) return -1;
    int v = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return -1;
      v = v * 10 + (c - '0');
    }
    return v >= 1 && v <= kMaxAddress ? v : -1;
  };
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (comma != std::string_view::npos && text.empty()) return std::nullopt;
    const size_t dash = item.find('-');
    const int lo = number(item.substr(0, dash));
    const int hi = dash == std::string_view::npos ? lo : number(item.substr(dash + 1));
    if (lo < 0 || hi < lo) return std::nullopt;
    for (int a = lo; a <= hi; ++a) {
      if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
    }
    if (out.size() > size_t(kMaxReaders)) return std::nullopt;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal, or hexadecimal with 0x; nullopt unless the whole token is a number
// in [0, max].
inline std::optional<int64_t> parse_number(std::string_view s, int64_t max) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty() || s.size() > 12) return std::nullopt;
  int64_t v = 0;
  for (char c : s) {
    const int d = hex_digit(c);
    if (d < 0 || d >= base) return std::nullopt;
    v = v * base + d;
  }
  if (v > max) return std::nullopt;
  return v;
}

// Hex digit pairs, spaces between pairs allowed: "01 03" or "0103".
inline std::optional<std::vector<uint8_t>> parse_hex_bytes(std::string_view s) {
  std::vector<uint8_t> out;
  int pending = -1;
  for (char c : s) {
    if (c == ' ' || c == '\t') {
      if (pending >= 0) return std::nullopt;
      continue;
    }
    const int d = hex_digit(c);
    if (d < 0) return std::nullopt;
    if (pending < 0) {
      pending = d;
    } else {
      out.push_back(static_cast<uint8_t>(pending * 16 + d));
      pending = -1;
    }
  }
  if (pending >= 0) return std::nullopt;
  return out;
}

inline std::string registers_word(int n) {
  return dec(n) + (n == 1 ? " register" : " registers");
}

class ReaderLine {
 public:
  ReaderLine(const std::vector<int>& addresses, int baud, bool quiet) : baud_(baud), quiet_(quiet) {
    for (int a : addresses) readers_[a] = Reader{};
  }

  Reader* find(int address) {
    auto it = readers_.find(address);
    return it == readers_.end() ? nullptr : &it->second;
  }

  // One framed request (CRC already checked). Readers that are not
  // simulated neither answer nor print.
  Outcome on_request(std::span<const uint8_t> req) {
    Outcome out;
    Reader* r = req.size() >= kReadRequestLen ? find(req[kAddress]) : nullptr;
    if (r == nullptr) return out;
    const std::string at = " at address " + dec(req[kAddress]);
    const int start = be16(&req[kStart]);
    const int quantity = be16(&req[kQuantity]);
    std::vector<uint8_t> answer;
    if (req[kFunction] == kReadHolding) {
      if (start == kStatusRegister && quantity == kPollQuantity) {
        if (!quiet_) out.lines.push_back("poll address " + dec(req[kAddress]));
      } else {
        out.lines.push_back("read " + registers_word(quantity) + " from " + dec(start) + at);
      }
      answer = read_answer(*r, req, out);
    } else if (req[kFunction] == kWriteMultiple) {
      out.lines.push_back(describe_write(req, at));
      answer = write_answer(*r, req, out);
    } else {
      return out;
    }
    if (answer.empty() || r->silent) return out;
    if (r->bad_crc > 0) {
      --r->bad_crc;
      answer.back() ^= 0xFF;
    }
    out.chunks = plan_chunks(answer, *r, baud_);
    return out;
  }

  // One console line. The last printed line is "ok" or starts with "error: ".
  Outcome on_command(std::string_view line) {
    Outcome out;
    std::istringstream in{std::string(line)};
    std::vector<std::string> t;
    for (std::string w; in >> w;) t.push_back(w);
    if (t.empty()) return out;
    std::string error = run_command(t, line, out);
    out.lines.push_back(error.empty() ? "ok" : "error: " + error);
    return out;
  }

 private:
  std::vector<uint8_t> exception_answer(std::span<const uint8_t> req, uint8_t code, Outcome& out) {
    out.lines.push_back("exception " + dec(code) + " at address " + dec(req[kAddress]));
    std::vector<uint8_t> a{req[kAddress], static_cast<uint8_t>(req[kFunction] | 0x80), code};
    append_crc(a);
    return a;
  }

  std::vector<uint8_t> read_answer(const Reader& r, std::span<const uint8_t> req, Outcome& out) {
    const int start = be16(&req[kStart]);
    const int quantity = be16(&req[kQuantity]);
    if (quantity < 1 || quantity > kMaxReadQuantity)
      return exception_answer(req, kIllegalValue, out);
    if (start + quantity > kRegisterCount) return exception_answer(req, kIllegalAddress, out);
    std::vector<uint8_t> a{req[kAddress], kReadHolding, static_cast<uint8_t>(2 * quantity)};
    for (int i = start; i < start + quantity; ++i) {
      a.push_back(static_cast<uint8_t>(r.regs[i] >> 8));
      a.push_back(static_cast<uint8_t>(r.regs[i] & 0xFF));
    }
    append_crc(a);
    return a;
  }

  static bool write_well_formed(std::span<const uint8_t> req) {
    if (req.size() < kWriteHeaderLen + 2) return false;
    const int quantity = be16(&req[kQuantity]);
    return quantity >= 1 && quantity <= kMaxWriteQuantity && req[kByteCount] == 2 * quantity &&
           req.size() == kWriteData + req[kByteCount] + 2;
  }

  static std::string describe_write(std::span<const uint8_t> req, const std::string& at) {
    const int start = be16(&req[kStart]);
    const int quantity = be16(&req[kQuantity]);
    if (write_well_formed(req) && quantity == 1) {
      const uint8_t first = req[kWriteData];
      const uint8_t second = req[kWriteData + 1];
      if (start == kRelayRegister && first == 0x00 && second == 0xFE) return "relay fired" + at;
      // The buffer puts the pattern's low byte first on the line.
      if (start == kBuzzerRegister) return "buzzer pattern 0x" + hex2(second) + hex2(first) + at;
    }
    return "write " + registers_word(quantity) + " at " + dec(start) + at;
  }

  std::vector<uint8_t> write_answer(Reader& r, std::span<const uint8_t> req, Outcome& out) {
    const int start = be16(&req[kStart]);
    const int quantity = be16(&req[kQuantity]);
    if (!write_well_formed(req)) return exception_answer(req, kIllegalValue, out);
    if (start + quantity > kRegisterCount) return exception_answer(req, kIllegalAddress, out);
    // Stored as Modbus register values, high byte first, like any write;
    // a dump of register 151 therefore shows the buzzer pattern byte-swapped.
    for (int i = 0; i < quantity; ++i) r.regs[start + i] = uint16_t(be16(&req[kWriteData + 2 * i]));
    std::vector<uint8_t> a(req.begin(), req.begin() + kByteCount);
    append_crc(a);
    return a;
  }

  // Returns an error text, empty on success.
  std::string run_command(const std::vector<std::string>& t, std::string_view line, Outcome& out) {
    const std::string& cmd = t[0];
    if (cmd == "quit") {
      out.quit = true;
      return {};
    }
    if (cmd == "noise") {
      const size_t at = line.find("noise") + 5;
      const auto bytes = parse_hex_bytes(line.substr(at));
      if (!bytes || bytes->empty()) return "noise wants hex bytes";
      out.chunks.push_back({0, *bytes});
      return {};
    }
    if (cmd == "help") {
      out.lines.push_back(
          "commands: card status reg dump silent badcrc split delay noise help quit (see --help)");
      return {};
    }
    const std::map<std::string, size_t> arity{{"card", 3},  {"status", 3}, {"reg", 4},
                                              {"dump", 2},  {"silent", 3}, {"badcrc", 3},
                                              {"split", 3}, {"delay", 3}};
    const auto want = arity.find(cmd);
    if (want == arity.end()) return "unknown command " + cmd;
    const size_t extra = cmd == "split" ? 1 : 0;  // optional chunk gap
    if (t.size() < want->second || t.size() > want->second + extra) {
      return "wrong number of arguments for " + cmd;
    }
    const auto address = parse_number(t[1], kMaxAddress);
    Reader* r = address ? find(int(*address)) : nullptr;
    if (r == nullptr) return "no simulated reader at address " + t[1];

    if (cmd == "card") return set_card(*r, t[2]);
    if (cmd == "status") {
      const auto v = parse_number(t[2], 0xFFFF);
      if (!v) return "bad status word " + t[2];
      r->regs[kStatusRegister] = uint16_t(*v);
      return {};
    }
    if (cmd == "reg") {
      const auto reg = parse_number(t[2], kRegisterCount - 1);
      const auto v = parse_number(t[3], 0xFFFF);
      if (!reg || !v) return "bad register or value";
      r->regs[size_t(*reg)] = uint16_t(*v);
      return {};
    }
    if (cmd == "dump") {
      std::string s = "registers 0-" + dec(kDumpLast) + " at address " + t[1] + ":";
      for (int i = 0; i <= kDumpLast; ++i) {
        s += ' ';  // not `" " + text`: a false -Wrestrict with GCC 12 at -O3
        s += hex_min(r->regs[i], 4);
      }
      out.lines.push_back(s);
      return {};
    }
    if (cmd == "silent") {
      if (t[2] != "on" && t[2] != "off") return "silent wants on or off";
      r->silent = t[2] == "on";
      return {};
    }
    const auto n = parse_number(t[2], 60'000);
    if (!n) return "bad number " + t[2];
    if (cmd == "badcrc") r->bad_crc = int(*n);
    if (cmd == "delay") r->delay_ms = int(*n);
    if (cmd == "split") {
      const auto gap = t.size() > 3 ? parse_number(t[3], 1000) : int64_t{kDefaultChunkGapMs};
      if (!gap) return "bad chunk gap " + t[3];
      r->split = int(*n);
      r->split_gap_ms = int(*gap);
    }
    return {};
  }

  // 12 hex digits go to registers 12-14 in order; 10 digits are the card
  // code as the buffer keeps it (the last 10 of its 12 characters).
  static std::string set_card(Reader& r, const std::string& code) {
    std::string digits = code.size() == 10 ? "00" + code : code;
    const auto bytes = parse_hex_bytes(digits);
    if (!bytes || bytes->size() != 2 * kCodeRegisters) return "card code wants 12 or 10 hex digits";
    for (int i = 0; i < kCodeRegisters; ++i) {
      r.regs[kCodeRegister + i] = uint16_t(((*bytes)[2 * i] << 8) | (*bytes)[2 * i + 1]);
    }
    return {};
  }

  std::map<int, Reader> readers_;
  int baud_;
  bool quiet_;
};

}  // namespace netbuf::readersim
