// Modbus RTU frames of the reader line.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/buffer_state.h"
#include "modbus/crc16.h"
#include "modbus/rtu.h"

namespace netbuf {

// The forwarded-frame area takes the 7 header bytes of a write and this many
// data bytes of the PC's request.
inline constexpr int kForwardMaxData = 24;

// A poll reads five registers: the status word, a spare and the three
// card-code registers, this many data bytes.
inline constexpr int kPollAnswerData = 10;

// A reader's pc_wait while a frame passed through for the PC is on the line
// or waits for its answer.
inline constexpr uint8_t kPcWaiting = 0xFF;

std::array<uint8_t, 8> poll_frame(int address);
std::array<uint8_t, 11> relay_frame(int address);
std::array<uint8_t, 11> buzzer_frame(int address, int32_t pattern);

// The RTU frame that passes a PC's request (from the unit identifier on) to a
// reader. Returns the frame length, or 0 (out untouched) when
// the function is not 3 or 16, the request is shorter than its function needs,
// or a write carries more than kForwardMaxData bytes.
int forwarded_frame(std::span<const uint8_t> req, std::array<uint8_t, kTxFrameSize>& out);

// The length of a good answer to a request frame (CRC included): a read's
// registers, or a write's 8-byte acknowledgement; 0 for anything else.
int expected_answer_size(std::span<const uint8_t> request);

// Answer checks on the bytes held at the front of an accumulator.
bool f03_complete(std::span<const uint8_t> held);
bool f03_crc_ok(std::span<const uint8_t> held);  // call only when complete
bool f16_complete(std::span<const uint8_t> held);
bool f16_crc_ok(std::span<const uint8_t> held);
// Whether a function-16 answer acknowledges the door command (relay or
// buzzer) that went out: a relay's answer names the relay register, a
// buzzer's the buzzer register.
bool acknowledges(uint8_t command, std::span<const uint8_t> answer);
// Whether a good function-3 or 16 answer fits the request frame: a read's
// byte count is twice its quantity, a write's answer repeats its start and
// quantity.
bool answers_request(std::span<const uint8_t> request, std::span<const uint8_t> answer);

}  // namespace netbuf
