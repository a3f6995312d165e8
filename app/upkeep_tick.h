// The unattended side of the write-back tick: a read-only net.db reopened for
// writing, waiting events stored, ports and the reader line that should be
// open opened again. Each change of state is one journal line.
#pragma once

#include <string>

#include "core/context.h"

namespace netbuf {

void keep_up(Context& ctx);

// Start-up: whether the port opened, and the journal line when that changed.
void note_port(Context& ctx, WantedPort& want, const std::string& name, const std::string& failure);
// A journal line names the serial line itself and wants only the reason the
// open failed, not the whole open-error text.
std::string serial_open_reason(const std::exception& e);
// The serial line's name and device, "COM3 /dev/ttyUSB0".
std::string line_name(const Context& ctx);

// systemd's one-line status: who is connected, the line, the readers, the
// last event, the database and what waits for it.
std::string status_text(const Context& ctx);

// What a stop leaves unstored ("3 registers, 1 card, 2 events"); empty when
// everything is in net.db.
std::string unstored(const Context& ctx);

}  // namespace netbuf
