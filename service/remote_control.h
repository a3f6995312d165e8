#pragma once
#include "core/context.h"

namespace netbuf {
// Of the port's 101 places one address holds at most this many: a
// controller needs one, a few while it reconnects before the old ones are
// seen to be gone, or when it opens one per command and leaves them to the
// idle timeout; 8 covers that, leaves 93 places to everyone else, and
// needs 13 erring hosts at once to fill the port.
inline constexpr int kServicePlacesPerAddress = 8;
// Remote-control data: serves every service connection with data waiting.
// A malformed command is reported to the operator; too many close its
// connection.
void on_service_read(Context& ctx);
void on_service_connect(Context& ctx, int connection);
void on_service_disconnect(Context& ctx, int connection);
// Run by the write-back tick.
void service_supervision_tick(Context& ctx);
}  // namespace netbuf
