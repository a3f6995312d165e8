// netbuf-readersim: simulated card readers on one serial line, for
// commissioning and for the system tests. The framing and the answers live in
// request_framer.h and sim_readers.h; this file only moves bytes and lines.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/readersim/request_framer.h"
#include "tools/readersim/serial_device.h"
#include "tools/readersim/sim_readers.h"

namespace netbuf::readersim {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitNoDevice = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLineLost = 3;
constexpr int kDefaultGapMs = 5;

const char kUsage[] =
    R"(usage: netbuf-readersim DEVICE [--readers LIST] [--baud N] [--gap MS] [--quiet]

Simulates card readers (Modbus RTU slaves) on the serial line DEVICE, which
may be an RS485 adapter or one end of a socat pty pair. The line runs raw,
8N1, no flow control.

  --readers LIST  reader addresses, e.g. 1,2,5-8 (1..255, at most 32; default 1)
  --baud N        line speed (default 19200)
  --gap MS        silence that ends a burst of received bytes; a partial
                  frame held then is dropped (default 5; raise it for USB
                  adapters with a long latency timer)
  --quiet         do not print polls

Each reader has 256 registers, all 0 at start: 10 status word, 11 spare,
12-14 card code (6 bytes, high byte first), 150 relay, 151 buzzer. Function 3
reads and function 16 writes anywhere in the map are answered; a request
beyond register 255 gets exception 2, a quantity outside 1..125 (reads) or
1..123 (writes) exception 3.

Printed on stdout, one line per event (N address, S start, Q quantity):
  ready on DEVICE at BAUD baud, readers A,B,...   line opened
  poll address N                                 read of 5 registers from 10
  read Q registers from S at address N           any other read ("1 register")
  relay fired at address N                       write of 00 FE to register 150
  buzzer pattern 0xPPPP at address N             write to register 151; the
                                                 pattern is sent low byte first
  write Q registers at S at address N            any other write ("1 register")
  exception C at address N                       exception answer C (2 or 3)
  crc error                                      a request with a wrong CRC
  line lost: REASON                              the device went away; exit 3
Requests for addresses that are not simulated are ignored silently, and so
are other readers' answers heard on the line. A silent reader still prints
what it received.

Commands on stdin, one per line; each ends with a line "ok" or "error: ...":
  card ADDR CODE       card code: 12 hex digits into registers 12-14, or the
                       10-digit code as the buffer shows it (00 is put first).
                       The buffer takes a card when the code changes, so to
                       present the same card again, clear it first
                       (card ADDR 000000000000).
  status ADDR WORD     register 10 (0x8000: code is a reference, no decision)
  reg ADDR REG VALUE   set one register (numbers decimal or 0x hex)
  dump ADDR            print "registers 0-20 at address ADDR:" and 21 words
  silent ADDR on|off   stop / resume answering
  badcrc ADDR N        break the CRC of the next N answers
  split ADDR K [MS]    send answers in chunks of K bytes, MS ms apart
                       (default 3); K 0 sends them whole
  delay ADDR MS        answer MS ms after the request
  noise HEX...         write raw bytes to the line, e.g. noise 00 FF 01
  help                 list the commands
  quit                 exit 0
End of stdin is not the end: the simulator runs on until SIGTERM, SIGINT or
the loss of the line.

Exit codes: 0 quit or signal, 1 device cannot be opened, 2 bad command line,
3 line lost.
)";

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) {
  g_stop = 1;
}

void say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Options {
  std::string device;
  std::vector<int> readers{1};
  int baud = 19200;
  int gap_ms = kDefaultGapMs;
  bool quiet = false;
};

// Returns an error text, empty when the options are usable.
std::string parse_options(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string value;
    const size_t eq = a.find('=');
    const bool takes_value =
        a.rfind("--readers", 0) == 0 || a.rfind("--baud", 0) == 0 || a.rfind("--gap", 0) == 0;
    if (takes_value) {
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        a = a.substr(0, eq);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        return a + " wants a value";
      }
    }
    if (a == "--readers") {
      const auto list = parse_reader_list(value);
      if (!list) return "bad reader list " + value;
      o.readers = *list;
    } else if (a == "--baud") {
      const auto v = parse_number(value, 4'000'000);
      if (!v || *v == 0) return "bad baud rate " + value;
      o.baud = int(*v);
    } else if (a == "--gap") {
      const auto v = parse_number(value, 1000);
      if (!v || *v == 0) return "bad gap " + value;
      o.gap_ms = int(*v);
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (!a.empty() && a[0] == '-') {
      return "unknown option " + a;
    } else if (o.device.empty()) {
      o.device = a;
    } else {
      return "more than one device given";
    }
  }
  if (o.device.empty()) return "no device given";
  return {};
}

class Simulator {
 public:
  Simulator(int fd, const Options& o)
      : fd_(fd), gap_us_(int64_t{o.gap_ms} * 1000), line_(o.readers, o.baud, o.quiet) {}

  int run() {
    sigset_t none;
    sigemptyset(&none);
    while (!g_stop && !quit_) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stdin_open_ ? 0 : -1, POLLIN, 0}};
      timespec wait{};
      const int64_t due = next_deadline();
      const int64_t left = due < 0 ? -1 : std::max<int64_t>(0, due - now_us());
      wait.tv_sec = left / 1'000'000;
      wait.tv_nsec = (left % 1'000'000) * 1000;
      const int n = ppoll(fds, 2, left < 0 ? nullptr : &wait, &none);
      if (n < 0 && errno != EINTR) return lost(std::strerror(errno));
      if (n > 0 && fds[0].revents != 0 && !read_line()) return kExitLineLost;
      if (n > 0 && fds[1].revents != 0) read_console();
      const int64_t t = now_us();
      if (framer_.held() > 0 && t - last_rx_us_ >= gap_us_) {
        std::vector<Frame> frames;
        framer_.end_of_burst(frames);
        handle(frames, t);
      }
      if (!flush_due(t)) return kExitLineLost;
    }
    return kExitOk;
  }

 private:
  int64_t next_deadline() const {
    int64_t due = -1;
    if (!tx_.empty()) due = tx_.begin()->first;
    if (framer_.held() > 0) {
      const int64_t gap_end = last_rx_us_ + gap_us_;
      if (due < 0 || gap_end < due) due = gap_end;
    }
    return due;
  }

  int lost(const std::string& why) {
    say("line lost: " + why);
    return kExitLineLost;
  }

  bool read_line() {
    uint8_t buf[512];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) {
      last_rx_us_ = now_us();
      std::vector<Frame> frames;
      framer_.feed({buf, size_t(n)}, frames);
      handle(frames, last_rx_us_);
      return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    lost(n == 0 ? "end of file" : std::strerror(errno));
    return false;
  }

  void handle(const std::vector<Frame>& frames, int64_t t) {
    for (const Frame& f : frames) {
      if (f.kind == Frame::crc_error) {
        say("crc error");
        continue;
      }
      apply(line_.on_request(f.bytes), t);
    }
  }

  void apply(const Outcome& out, int64_t t) {
    for (const std::string& l : out.lines) say(l);
    for (const Chunk& c : out.chunks) tx_.emplace(t + c.at_us, c.bytes);
    if (out.quit) quit_ = true;
  }

  void read_console() {
    char buf[1024];
    const ssize_t n = ::read(0, buf, sizeof buf);
    if (n <= 0) {
      // Scripts may close stdin early; the line keeps running.
      if (n == 0 || (errno != EINTR && errno != EAGAIN)) stdin_open_ = false;
      return;
    }
    console_.append(buf, size_t(n));
    for (size_t eol; (eol = console_.find('\n')) != std::string::npos;) {
      std::string cmd = console_.substr(0, eol);
      console_.erase(0, eol + 1);
      if (!cmd.empty() && cmd.back() == '\r') cmd.pop_back();
      apply(line_.on_command(cmd), now_us());
      if (quit_) return;
    }
  }

  bool flush_due(int64_t t) {
    while (!tx_.empty() && tx_.begin()->first <= t) {
      const std::vector<uint8_t>& bytes = tx_.begin()->second;
      size_t off = 0;
      while (off < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + off, bytes.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          lost(std::strerror(errno));
          return false;
        }
        off += size_t(n);
      }
      tx_.erase(tx_.begin());
    }
    return true;
  }

  int fd_;
  int64_t gap_us_;
  ReaderLine line_;
  RequestFramer framer_;
  int64_t last_rx_us_ = 0;
  std::multimap<int64_t, std::vector<uint8_t>> tx_;  // equal times keep their order
  std::string console_;
  bool stdin_open_ = true;
  bool quit_ = false;
};

int run(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
  }
  Options o;
  const std::string bad = parse_options(argc, argv, o);
  if (!bad.empty()) {
    std::fprintf(stderr, "netbuf-readersim: %s (try --help)\n", bad.c_str());
    return kExitUsage;
  }

  // SIGTERM and SIGINT are let through only inside ppoll, so a stop request
  // can never slip in between the check and the wait.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::string error;
  const int fd = open_line(o.device, o.baud, error);
  if (fd < 0) {
    std::fprintf(stderr, "netbuf-readersim: %s\n", error.c_str());
    return kExitNoDevice;
  }
  std::string list;
  for (int a : o.readers) {
    // Appended in two steps: GCC 12 at -O3 warns falsely (-Wrestrict) on
    // `"literal" + std::string&&`.
    if (!list.empty()) list += ',';
    list += dec(a);
  }
  say("ready on " + o.device + " at " + dec(o.baud) + " baud, readers " + list);
  Simulator sim(fd, o);
  const int rc = sim.run();
  ::close(fd);
  return rc;
}

}  // namespace
}  // namespace netbuf::readersim

int main(int argc, char** argv) {
  return netbuf::readersim::run(argc, argv);
}
