#include "control/window_messages.h"

#include <algorithm>

#include "control/control_wire.h"

namespace netbuf::control {

namespace {

constexpr std::size_t kMaxPorts = 256;
constexpr std::size_t kMaxReaders = 64;

uint8_t kind_of(Request r) {
  return static_cast<uint8_t>(r);
}

uint8_t kind_of(Notice n) {
  return static_cast<uint8_t>(n);
}

void put_form(Writer& w, const FormValues& f) {
  w.u32(static_cast<uint32_t>(f.poll_delay))
      .text(f.pc_port)
      .text(f.service_port)
      .u16(f.unknown_card)
      .u16(f.wrong_zone);
}

FormValues get_form(Reader& r) {
  FormValues f;
  f.poll_delay = static_cast<int32_t>(r.u32());
  f.pc_port = r.text();
  f.service_port = r.text();
  f.unknown_card = r.u16();
  f.wrong_zone = r.u16();
  return f;
}

// Hello's opening: the magic and the version, the same both ways.
Writer hello(uint8_t kind) {
  Writer w(kind);
  w.text(kMagic).u16(kVersion);
  return w;
}

bool get_hello(Reader& r, uint16_t& version) {
  if (r.text() != kMagic) return false;
  version = r.u16();
  return true;
}

}  // namespace

std::string hello_request() {
  return hello(kind_of(Request::kHello)).frame();
}

std::string categories_request(CategoryMask mask) {
  return Writer(kind_of(Request::kCategories)).u8(mask).frame();
}

std::string save_request(const FormValues& form) {
  Writer w(kind_of(Request::kSave));
  put_form(w, form);
  return w.frame();
}

std::string poll_request(bool on) {
  return Writer(kind_of(Request::kPoll)).u8(on ? 1 : 0).frame();
}

std::string choose_port_request(int number) {
  return Writer(kind_of(Request::kChoosePort)).u32(static_cast<uint32_t>(number)).frame();
}

std::string plain_request(Request kind) {
  return Writer(kind_of(kind)).frame();
}

std::optional<RequestMessage> decode_request(std::span<const uint8_t> frame) {
  if (frame.empty()) return std::nullopt;
  RequestMessage m;
  m.kind = static_cast<Request>(frame[0]);
  Reader r(frame.subspan(1));
  switch (m.kind) {
    case Request::kHello:
      if (!get_hello(r, m.version)) return std::nullopt;
      break;
    case Request::kCategories:
      m.categories = r.u8();
      if (m.categories > 0x0F) return std::nullopt;
      break;
    case Request::kSave:
      m.form = get_form(r);
      break;
    case Request::kPoll: {
      const uint8_t on = r.u8();
      if (on > 1) return std::nullopt;
      m.on = on == 1;
      break;
    }
    case Request::kChoosePort:
      m.number = static_cast<int32_t>(r.u32());
      break;
    case Request::kTestCard:
    case Request::kResetReceive:
    case Request::kListPorts:
    case Request::kBoxClosed:
    case Request::kQuit:
      break;
    default:
      return std::nullopt;
  }
  if (!r.done()) return std::nullopt;
  return m;
}

std::string hello_notice(bool started, const std::string& caption) {
  return hello(kind_of(Notice::kHello)).u8(started ? 1 : 0).text(caption).frame();
}

std::string figure_notice(StatusFigure f, const std::string& text) {
  return Writer(kind_of(Notice::kFigure)).u8(static_cast<uint32_t>(f)).text(text).frame();
}

std::string number_notice(Notice kind, int number) {
  return Writer(kind_of(kind)).u32(static_cast<uint32_t>(number)).frame();
}

std::string ports_notice(const std::vector<PortEntry>& ports) {
  Writer w(kind_of(Notice::kPorts));
  const std::size_t n = std::min(ports.size(), kMaxPorts);
  w.u16(static_cast<uint32_t>(n));
  for (std::size_t i = 0; i < n; ++i)
    w.u32(static_cast<uint32_t>(ports[i].number)).text(ports[i].device);
  return w.frame();
}

std::string settings_notice(const FormValues& form) {
  Writer w(kind_of(Notice::kSettings));
  put_form(w, form);
  return w.frame();
}

std::string text_notice(Notice kind, const std::string& text) {
  return Writer(kind_of(kind)).text(text).frame();
}

std::string box_notice(bool error, const std::string& text) {
  return Writer(kind_of(Notice::kBox)).u8(error ? 1 : 0).text(text).frame();
}

std::string receive_notice(const ReceiveState& s) {
  Writer w(kind_of(Notice::kReceiveState));
  const std::size_t n = std::min(s.readers.size(), kMaxReaders);
  w.u32(static_cast<uint32_t>(s.rx_len)).u8(static_cast<uint32_t>(n));
  for (std::size_t i = 0; i < n; ++i) w.u8(s.readers[i].first).u8(s.readers[i].second);
  return w.frame();
}

std::string reader_table_notice(const std::vector<ReaderTableRow>& rows) {
  Writer w(kind_of(Notice::kReaderTable));
  const std::size_t n = std::min(rows.size(), kMaxReaders);
  w.u8(static_cast<uint32_t>(n));
  for (std::size_t i = 0; i < n; ++i) {
    const ReaderTableRow& row = rows[i];
    w.u8(row.address)
        .u8(row.answering ? 1 : 0)
        .u32(row.answers)
        .u32(row.crc_errors)
        .u32(row.timeouts)
        .u32(row.answer_time_tenths_ms);
  }
  return w.frame();
}

std::string plain_notice(Notice kind) {
  return Writer(kind_of(kind)).frame();
}

std::optional<NoticeMessage> decode_notice(std::span<const uint8_t> frame) {
  if (frame.empty()) return std::nullopt;
  NoticeMessage m;
  m.kind = static_cast<Notice>(frame[0]);
  Reader r(frame.subspan(1));
  switch (m.kind) {
    case Notice::kHello:
      if (!get_hello(r, m.version)) return std::nullopt;
      // A netbuf of another version may say more after its version.
      if (m.version != kVersion) return m;
      m.flag = r.u8() != 0;
      m.text = r.text();
      break;
    case Notice::kFigure:
      m.figure = r.u8();
      m.text = r.text();
      if (m.figure >= StatusFigures::kFigureCount) return std::nullopt;
      break;
    case Notice::kProgress:
    case Notice::kPortNumber:
      m.number = static_cast<int32_t>(r.u32());
      break;
    case Notice::kPorts: {
      const uint16_t n = r.u16();
      if (n > kMaxPorts) return std::nullopt;
      for (uint16_t i = 0; i < n && !r.failed(); ++i) {
        const int number = static_cast<int32_t>(r.u32());
        m.ports.push_back({number, r.text()});
      }
      break;
    }
    case Notice::kSettings:
      m.form = get_form(r);
      break;
    case Notice::kLogLine:
    case Notice::kLogAppend:
      m.text = r.text();
      break;
    case Notice::kBox:
      m.flag = r.u8() != 0;
      m.text = r.text();
      break;
    case Notice::kReceiveState: {
      m.receive.rx_len = static_cast<int32_t>(r.u32());
      const uint8_t n = r.u8();
      for (uint8_t i = 0; i < n && !r.failed(); ++i) {
        const unsigned action = r.u8();
        m.receive.readers.emplace_back(action, r.u8());
      }
      break;
    }
    case Notice::kReaderTable: {
      const uint8_t n = r.u8();
      if (n > kMaxReaders) return std::nullopt;
      for (uint8_t i = 0; i < n && !r.failed(); ++i) {
        ReaderTableRow row;
        row.address = r.u8();
        const uint8_t answering = r.u8();
        if (answering > 1) return std::nullopt;
        row.answering = answering == 1;
        row.answers = r.u32();
        row.crc_errors = r.u32();
        row.timeouts = r.u32();
        row.answer_time_tenths_ms = r.u32();
        m.reader_table.push_back(row);
      }
      break;
    }
    case Notice::kLogLimit:
    case Notice::kClosing:
      break;
    default:
      m.known = false;
      return m;
  }
  if (!r.done()) return std::nullopt;
  return m;
}

}  // namespace netbuf::control
