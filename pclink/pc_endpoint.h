#pragma once
#include "core/context.h"

namespace netbuf {
// Seconds of PC silence before its connection is closed.
inline constexpr int kPcIdleTicks = 120;
// A held PC connection served nothing for this long gives its place to a new
// one: a restarted PC is not kept out by its own dead connection.
inline constexpr int64_t kPcTakeOverMs = 10000;
// One PC at a time: the held connection and one newcomer, which either takes
// over from it or is closed at once. Both may come from one address (a PC
// restarted behind its own dead connection); a third is closed at once.
inline constexpr int kPcPlaces = 2;
inline constexpr int kPcPlacesPerAddress = 2;
// Connection events of the PC port and the PC idle supervision.
void on_pc_connect(Context& ctx, int connection);
void on_pc_accept(Context& ctx);
void on_pc_disconnect(Context& ctx, int connection);
void on_pc_error(Context& ctx, int error_code);
void on_pc_supervision_tick(Context& ctx);
// A request of the PC's was served (answered, or passed to its reader): the
// only thing that keeps its connection, so a trickle of bytes does not.
void note_pc_served(Context& ctx);
}  // namespace netbuf
