// The PC's frames for readers, as a Modbus gateway passes them on: queued in
// the order they came (kPassQueueSize in all, kPassPerReader for one
// reader), sent one at a time when the line is free, and each answered in
// turn: with the reader's answer, with exception 0x0B when the reader's
// response time-out runs out, with 0x0A when no reader slot has the address.
#pragma once
#include <cstdint>
#include <span>

#include "core/context.h"

namespace netbuf {
// Queues a PC's request (from the unit identifier on) for the reader it
// addresses; the answer goes to the PC by `route`, with tid_low. A request
// that cannot be passed on (another function, cut short, too long) or finds
// the queue full is dropped: the PC sees its own time-out.
void pass_through(Context& ctx, std::span<const uint8_t> frame, uint8_t tid_low,
                  PcAnswerRoute route);
// The line being free: puts the oldest queued request in its reader's frame
// area, to be sent now, and returns the reader's entry; 0 for none. Requests
// ahead of it for no reader are answered first.
int take_pass_request(Context& ctx);
// The reader at that address let its response time-out run out: a PC frame
// it owed an answer gets exception 0x0B.
void pass_through_no_answer(Context& ctx, uint8_t address);
// One write-back tick of the pass-through hold-off: a reader whose hold-off
// ends is released, answered or not.
void pass_through_tick(BufferState& st);
}  // namespace netbuf
