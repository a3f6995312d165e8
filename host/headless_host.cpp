#include "host/headless_host.h"

namespace netbuf {

HeadlessHost::HeadlessHost(const QString& app_dir)
    : BufferHost(app_dir, nullptr), views_(poll_timer(), supervision_timer()) {
  log_.tick_categories(monitor_categories());
  attach(log_, views_, views_, views_);
}

}  // namespace netbuf
