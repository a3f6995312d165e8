#include "host/systemd_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace netbuf {

namespace {

// As often as the write-back tick: the status has nothing newer in between.
constexpr int kStatusMs = 3000;

}  // namespace

SystemdNotify::SystemdNotify(std::function<std::string()> status, QObject* parent)
    : QObject(parent),
      status_(std::move(status)),
      active_(qEnvironmentVariableIsSet("NOTIFY_SOCKET")) {
  if (!active_) return;
  status_timer_.setInterval(kStatusMs);
  connect(&status_timer_, &QTimer::timeout, this, &SystemdNotify::send_status);
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    // Twice per period, as systemd advises, so one late tick is no restart.
    watchdog_timer_.setInterval(static_cast<int>(usec / 2000 > 0 ? usec / 2000 : 1));
    connect(&watchdog_timer_, &QTimer::timeout, this, [] { sd_notify(0, "WATCHDOG=1"); });
  }
}

void SystemdNotify::ready() {
  if (!active_) return;
  last_status_ = status_();
  sd_notify(0, ("READY=1\nSTATUS=" + last_status_).c_str());
  status_timer_.start();
  if (watchdog_timer_.interval() > 0 && !watchdog_timer_.isActive()) {
    sd_notify(0, "WATCHDOG=1");
    watchdog_timer_.start();
  }
}

void SystemdNotify::stopping() {
  if (active_) sd_notify(0, "STOPPING=1");
}

void SystemdNotify::send_status() {
  const std::string s = status_();
  if (s == last_status_) return;
  last_status_ = s;
  sd_notify(0, ("STATUS=" + s).c_str());
}

}  // namespace netbuf
