// The remote-control stream cut into commands. A command runs up to and
// including its "$"; a client may send several in one segment, or one in
// pieces. Pure: bytes in, command texts out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/platform.h"

namespace netbuf {

// How much of a command, and for how long, waits for its "$".
inline constexpr std::size_t kMaxPartialCommand = 256;
inline constexpr int64_t kPartialCommandMs = 2000;

// Adds a read to the connection's partial command and returns, in order, the
// texts to serve: a partial command gone stale, each whole command, and a
// partial one grown past kMaxPartialCommand. The last two are served as they
// stand, and fail as a command without "$" always has. Line ends between
// commands are no part of them.
std::vector<std::string> take_commands(ConnectionState& c, std::span<const uint8_t> bytes,
                                       int64_t now_ms);
// The partial command, once it has waited kPartialCommandMs for its "$".
std::optional<std::string> take_stale_command(ConnectionState& c, int64_t now_ms);

}  // namespace netbuf
