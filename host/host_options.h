// What the command line (and the unit's environment file) says about this
// run: which net.db and reader line it serves, under which name, and who may
// use its two ports. Everything left out means what netbuf did without it.
#pragma once

#include <QString>
#include <optional>

#include "core/address_list.h"
#include "core/buffer_state.h"
#include "host/rs485_mode.h"

namespace netbuf {

struct HostOptions {
  QString db;        // --db: net.db's path; empty: net.db beside the executable
  QString device;    // --device: the reader line; empty: what COMn stands for
  QString instance;  // --instance: this line's name among several; empty: the only one
  std::optional<AddressList> allow_pc;       // --allow-pc; none: everyone
  std::optional<AddressList> allow_remote;   // --allow-remote; none: everyone
  std::optional<ListenAddress> metrics;      // --metrics; none: no metrics port
  std::optional<AddressList> allow_metrics;  // --allow-metrics; none: loopback only
  QString control;   // --control: the windows' socket; empty: $RUNTIME_DIRECTORY/control or none
  Rs485Setup rs485;  // --rs485, --rs485-delays; off: as always
  // --response-timeout: how long the line waits for a reader's answer to begin.
  int response_timeout_ms = kDefaultResponseTimeoutMs;

  // Where windows attach; empty: nowhere but the window netbuf starts itself.
  QString control_path() const;

  // The directory that holds net.db and the COMn links; empty: the executable's.
  QString app_dir() const;
};

enum class CommandLine { Run, Done, Wrong };

// Reads the options, with NETBUF_ALLOW_PC, NETBUF_ALLOW_REMOTE, NETBUF_DEVICE,
// NETBUF_RS485, NETBUF_RS485_DELAYS, NETBUF_RESPONSE_TIMEOUT, NETBUF_METRICS and
// NETBUF_ALLOW_METRICS from the
// environment where the option is not given. --help
// and --version are answered here (Done); a wrong argument is said on
// standard error with the usage (Wrong). Nothing is started or created.
CommandLine read_command_line(int argc, char** argv, HostOptions& out);

}  // namespace netbuf
