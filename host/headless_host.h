// The buffer on a server: no window and no GUI at all, the status and the
// settings kept as values, the monitor log on standard output.
#pragma once

#include <QString>

#include "host/buffer_host.h"
#include "host/held_views.h"
#include "host/stdout_monitor_log.h"

namespace netbuf {

class HeadlessHost : public BufferHost {
 public:
  // app_dir as for BufferHost.
  explicit HeadlessHost(const QString& app_dir = {});

  StdoutMonitorLog& monitor() { return log_; }
  HeldViews& views() { return views_; }

 private:
  StdoutMonitorLog log_;
  HeldViews views_;
};

}  // namespace netbuf
