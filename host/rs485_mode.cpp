#include "host/rs485_mode.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "core/log_texts.h"

namespace netbuf {

namespace {
struct Name {
  const char* text;
  Rs485Mode mode;
};
constexpr Name kNames[] = {{"off", Rs485Mode::Off},
                           {"kernel", Rs485Mode::Kernel},
                           {"kernel-inverted", Rs485Mode::KernelInverted},
                           {"rts", Rs485Mode::Rts}};
constexpr int kMaxDelayMs = 1000;

bool parse_ms(const std::string& t, int& out) {
  if (t.empty() || t.size() > 4 || t.find_first_not_of("0123456789") != std::string::npos)
    return false;
  out = std::stoi(t);
  return out <= kMaxDelayMs;
}
}  // namespace

std::optional<Rs485Mode> parse_rs485_mode(const std::string& text) {
  for (const Name& n : kNames)
    if (text == n.text) return n.mode;
  return std::nullopt;
}

const char* rs485_mode_name(Rs485Mode mode) {
  for (const Name& n : kNames)
    if (n.mode == mode) return n.text;
  return "off";
}

bool parse_rs485_delays(const std::string& text, Rs485Setup& out) {
  const auto comma = text.find(',');
  if (comma == std::string::npos) return false;
  return parse_ms(text.substr(0, comma), out.before_ms) &&
         parse_ms(text.substr(comma + 1), out.after_ms);
}

std::string apply_kernel_rs485(int fd, const Rs485Setup& setup) {
  const bool kernel = setup.mode == Rs485Mode::Kernel || setup.mode == Rs485Mode::KernelInverted;
  serial_rs485 rs{};
  if (!kernel) {
    // A port left in RS485 mode by an earlier run would not hear a
    // transceiver that switches by itself; one that never knew the mode is
    // fine as it is.
    if (ioctl(fd, TIOCGRS485, &rs) == 0 && (rs.flags & SER_RS485_ENABLED)) {
      rs.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
      ioctl(fd, TIOCSRS485, &rs);
    }
    return {};
  }
  rs.flags = SER_RS485_ENABLED |
             (setup.mode == Rs485Mode::Kernel ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
  rs.delay_rts_before_send = static_cast<__u32>(setup.before_ms);
  rs.delay_rts_after_send = static_cast<__u32>(setup.after_ms);
  if (ioctl(fd, TIOCSRS485, &rs) == 0) return {};
  return texts::kRs485Refused + std::string(rs485_mode_name(setup.mode)) + ": " +
         std::strerror(errno);
}

void request_low_latency(int fd) {
  serial_struct ss{};
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return;
  if (ss.flags & ASYNC_LOW_LATENCY) return;
  ss.flags |= ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &ss);
}

}  // namespace netbuf
