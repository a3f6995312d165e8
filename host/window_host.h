// The buffer behind a window: the operator's actions the window module may
// ask for, and the logic's views handed on to the window's face. The status
// figures and the timers are kept here as without a window; the window is
// told each change and draws it.
#pragma once

#include <QString>
#include <string>
#include <vector>

#include "host/buffer_host.h"
#include "host/held_views.h"
#include "host/operator_boxes.h"
#include "host/stdout_monitor_log.h"
#include "host/window_module.h"

namespace netbuf {

class WindowHost : public BufferHost, public HostActions {
 public:
  // app_dir as for BufferHost.
  explicit WindowHost(const QString& app_dir = {});
  ~WindowHost() override;

  HeldViews& views() { return views_; }
  OperatorBoxes& boxes() { return boxes_; }

  void shut_down() override;

  // HostActions.
  void attach(WindowFace& face) override;
  bool start_up() override;
  void save_settings() override;
  void present_test_card() override;
  ReceiveState reset_receive() override;
  void set_poll(bool on) override;
  int port_number() override;
  void choose_port(int n) override;
  std::vector<PortEntry> available_ports() override;
  void box_closed() override;
  void quit() override;
  bool quitting() const override { return shut_down_; }
  bool headless() const override;
  void dispatch(const std::function<void()>& handler) override;

 private:
  // The figures as values; each change goes on to the window.
  class Figures : public HeldViews {
   public:
    using HeldViews::HeldViews;
    WindowFace* face = nullptr;

   protected:
    void changed(int figure) override;
  };

  // The logic's monitor log on the window's memo: control bytes escaped
  // here, and on a headless platform every line on standard output instead,
  // so a journal shows what the window would.
  class Log : public MonitorLog {
   public:
    MonitorMemo* memo = nullptr;
    bool mirror = false;

    bool enabled(LogCategory c) const override { return memo->enabled(c); }
    void log_line(const std::string& text) override;
    void log_append(const std::string& text) override;
    void log_clear() override { memo->log_clear(); }
    void log_limit() override { memo->log_limit(); }

   private:
    void write(const std::string& text, bool new_line);
    StdoutLines stdout_;
  };

  WindowFace* face_ = nullptr;
  Figures views_;
  Log log_;
  OperatorBoxes boxes_;
};

}  // namespace netbuf
