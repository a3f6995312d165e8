// How the RS485 transceiver's direction is switched: by the adapter itself
// (off), by the kernel's RS485 mode through TIOCSRS485 (RTS on while sending,
// or off while sending), or by netbuf raising RTS around each frame (rts).
#pragma once

#include <optional>
#include <string>

namespace netbuf {

enum class Rs485Mode { Off, Kernel, KernelInverted, Rts };

struct Rs485Setup {
  Rs485Mode mode = Rs485Mode::Off;
  int before_ms = 0;  // RTS raised this long before the first bit
  int after_ms = 0;   // and held this long after the last
};

// "off", "kernel", "kernel-inverted", "rts"; nothing for anything else.
std::optional<Rs485Mode> parse_rs485_mode(const std::string& text);
const char* rs485_mode_name(Rs485Mode mode);
// "BEFORE,AFTER" in ms, each 0..1000.
bool parse_rs485_delays(const std::string& text, Rs485Setup& out);

// Puts the port into the kernel's RS485 mode (Kernel, KernelInverted), or
// makes sure it is out of it. Returns why the port refused, empty when it
// took the mode.
std::string apply_kernel_rs485(int fd, const Rs485Setup& setup);
// Asks the driver to hand received bytes over at once (USB adapters: the
// latency timer goes to 1 ms); a port without the notion is left as it is.
void request_low_latency(int fd);

}  // namespace netbuf
