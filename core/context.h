// Everything a handler reaches: the buffer state and the platform behind its
// interfaces. Built once by the window (or by a test) and passed by reference.
#pragma once

#include "core/buffer_state.h"
#include "core/monitor_log.h"
#include "core/platform.h"
#include "core/storage_batch.h"
#include "core/window_views.h"

namespace netbuf {

class Database;

struct Context {
  BufferState& st;
  MonitorLog& log;
  StatusView& status;
  SettingsForm& settings;
  LogicTimers& timers;
  OperatorChannel& op;
  Clock& clock;
  SerialLine& serial;
  TcpEndpoint& pc;       // the management PC
  TcpEndpoint& service;  // remote control
  Database& db;          // reads on the loop: start-up, the event readout
  StoragePath& storage;  // writes, off the loop
};

}  // namespace netbuf
