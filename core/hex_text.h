// The one home of hexadecimal and decimal formatting for log lines and texts.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace netbuf {

// Two upper-case hex digits of the low 8 bits of v.
std::string hex2(int v);
// sep + hex2(b) for each byte: hex_bytes({01 02 03}, " ") gives " 01 02 03".
std::string hex_bytes(std::span<const uint8_t> bytes, const char* sep);
// Whether text is hex_bytes(bytes, ""), without building it.
bool hex_equals(std::span<const uint8_t> bytes, std::string_view text);
// Upper-case hex with at least `digits` digits (leading zeros).
std::string hex_min(uint32_t v, int digits);
// Plain decimal, minus sign when negative.
std::string dec(int64_t v);

}  // namespace netbuf
