// What netbuf and a window say to each other over the control socket: the
// operator's requests one way, what the window shows the other. Each message
// is one frame of control_wire.h.
//
// The window speaks first with Hello; netbuf answers Hello and then the
// state a new window needs (figures, settings, ports, the start-up lines),
// and from then on each change as it happens. A frame that cannot be read,
// or a request before Hello, makes netbuf close that window; a window skips
// notice kinds it does not know, so netbuf may send more kinds within a
// version. The version changes when a kind changes its meaning or layout.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace netbuf::control {

inline constexpr uint16_t kVersion = 1;
inline constexpr const char* kMagic = "netbuf-window";
// A request is a few numbers and the two port texts as typed.
inline constexpr std::size_t kMaxRequestFrame = 16 * 1024;
// A monitor line may carry a whole PC frame in hex.
inline constexpr std::size_t kMaxNoticeFrame = 1024 * 1024;

// The status page's figures, each shown as a text of its own.
struct StatusFigures {
  enum Figure {
    kEventCounter,
    kEventReadPointer,
    kClient,
    kMac,
    kCardCount,
    kReaderCount,
    kComPort,
    kFigureCount
  };
};
using StatusFigure = StatusFigures::Figure;

// The poll-delay slider's range and where it starts.
inline constexpr int kPollDelayMin = 10;
inline constexpr int kPollDelayMax = 500;
inline constexpr int kPollDelayStart = 30;

// A COMn whose device exists, as the port picker lists it.
struct PortEntry {
  int number;
  std::string device;
};

// The reader line's receive count and every reader entry's action and PC
// wait, as the diagnostic memo lists them.
struct ReceiveState {
  int rx_len = 0;
  std::vector<std::pair<unsigned, unsigned>> readers;
};

// The settings page's values: what "Zapisz" stores, and what netbuf shows a
// window (the pattern words tick boxes, never untick them).
struct FormValues {
  int poll_delay = kPollDelayStart;
  std::string pc_port;
  std::string service_port;
  uint16_t unknown_card = 0;
  uint16_t wrong_zone = 0;
};

// One reader of the status page's reader table: how its line has served it
// since netbuf started. Counters past 2^32 - 1 stay there.
struct ReaderTableRow {
  uint8_t address = 0;
  bool answering = false;
  uint32_t answers = 0;
  uint32_t crc_errors = 0;
  uint32_t timeouts = 0;
  uint32_t answer_time_tenths_ms = 0;  // mean answer time, 0 without answers
};

// The four monitor categories, one bit each in the order of LogCategory.
using CategoryMask = uint8_t;

// --- Window to netbuf ----------------------------------------------------------

enum class Request : uint8_t {
  kHello = 1,         // magic, version
  kCategories = 2,    // mask: the window's four switches
  kSave = 3,          // FormValues: "Zapisz"
  kTestCard = 4,      // "add event"
  kResetReceive = 5,  // the hidden Button3; answered with kReceiveState
  kPoll = 6,          // on: "start", "Stop"
  kChoosePort = 7,    // number: nrDeviceBox1
  kListPorts = 8,     // the picker drops down; answered with kPorts
  kBoxClosed = 9,     // the open message box went away
  kQuit = 10,         // "Zakończ i zamknij program"
};

struct RequestMessage {
  Request kind = Request::kHello;
  uint16_t version = 0;
  CategoryMask categories = 0;
  bool on = false;
  int32_t number = 0;
  FormValues form;
};

std::string hello_request();
std::string categories_request(CategoryMask mask);
std::string save_request(const FormValues& form);
std::string poll_request(bool on);
std::string choose_port_request(int number);
// A request without fields.
std::string plain_request(Request kind);
// One frame (kind and body) from a window; nullopt when it is not a request
// this version knows, whole and exact.
std::optional<RequestMessage> decode_request(std::span<const uint8_t> frame);

// --- netbuf to a window ----------------------------------------------------------

enum class Notice : uint8_t {
  kHello = 1,          // magic, version, started, caption
  kFigure = 2,         // figure, text
  kProgress = 3,       // number: card store progress in percent
  kPortNumber = 4,     // number: the reader line's COMn
  kPorts = 5,          // ports
  kSettings = 6,       // FormValues
  kLogLine = 7,        // text: a new monitor line, control bytes escaped
  kLogAppend = 8,      // text: more of the last line
  kLogLimit = 9,       // the poll tick's trim of the log
  kBox = 10,           // error, text: a message box
  kReceiveState = 11,  // receive
  kClosing = 12,       // netbuf stops
  kReaderTable = 13,   // reader_table: once a second while a window is attached
};

struct NoticeMessage {
  Notice kind = Notice::kHello;
  bool known = true;  // false: a kind of a later netbuf, to be skipped
  uint16_t version = 0;
  bool flag = false;  // Hello: start-up went through; Box: an error report
  int figure = 0;
  int32_t number = 0;
  std::string text;
  std::vector<PortEntry> ports;
  FormValues form;
  ReceiveState receive;
  std::vector<ReaderTableRow> reader_table;
};

std::string hello_notice(bool started, const std::string& caption);
std::string figure_notice(StatusFigure f, const std::string& text);
std::string number_notice(Notice kind, int number);
std::string ports_notice(const std::vector<PortEntry>& ports);
std::string settings_notice(const FormValues& form);
std::string text_notice(Notice kind, const std::string& text);
std::string box_notice(bool error, const std::string& text);
std::string receive_notice(const ReceiveState& s);
std::string reader_table_notice(const std::vector<ReaderTableRow>& rows);
std::string plain_notice(Notice kind);
std::optional<NoticeMessage> decode_notice(std::span<const uint8_t> frame);

}  // namespace netbuf::control
