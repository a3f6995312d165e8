// The remote relay command as it arrives on the service port, cut into its
// fields. Pure: bytes in, fields out, no I/O, so tests and fuzzers call it
// directly.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

namespace netbuf {

// A field that should hold a number does not; the text reaches the operator.
class CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RemoteCommand {
  std::string sender;  // field 1, trailing comma kept: "Jan,"
  std::string text;    // field 2
  int32_t typ = 0;
  int32_t rozkaz = 0;
  // Field 5 plus one: the RS485 address of the reader. Wider than the field
  // so the largest field value does not wrap.
  int64_t adres = 0;
};

// Cuts lead character, sender, text, typ, rozkaz and adres from one read.
// Throws CommandError when typ, rozkaz or adres is not an integer; a missing
// separator leaves its field empty, which is not an integer either.
RemoteCommand parse_remote_command(std::span<const uint8_t> bytes);

}  // namespace netbuf
