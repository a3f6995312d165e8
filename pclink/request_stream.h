// The PC's requests as TCP delivers them: a client may write a request's
// header and body apart, so a read can end inside a request. Each request is
// as long as its MBAP header says; the start of one whose rest has not come
// is held (up to kPcHoldMs) and the next read continues it. Reads of whole
// requests, and reads whose header cannot start a request, are served as
// they came.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/pc_request_state.h"

namespace netbuf {

// How long the start of a request waits for its rest.
inline constexpr int64_t kPcHoldMs = 500;

// Whether the bytes could begin a request: protocol identifier 0 and a
// length that holds a unit and a function code and fits a Modbus TCP frame,
// as far as the bytes go.
bool can_start_request(std::span<const uint8_t> bytes);
// The bytes at the front that are whole requests by their MBAP lengths; what
// follows is the start of one still to come. All of them when a header on
// the way cannot start a request, or its length disagrees with its frame:
// such a read is served as it came.
std::size_t whole_requests(std::span<const uint8_t> bytes);

// Puts a request start still held (and not too old at now_ms) in front of
// req.rx; returns its length, where the new bytes go.
int resume_held_request(PcRequestState& req, int64_t now_ms);
// After `got` new bytes were received behind the `held` ones: drops a held
// start the new bytes cannot continue, holds the start of a request whose rest
// is still to come (its wait counting from now_ms), and leaves in req.rx_len
// what is to be served now.
void split_off_partial_request(PcRequestState& req, int held, int got, int64_t now_ms);

}  // namespace netbuf
