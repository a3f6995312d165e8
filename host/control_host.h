// netbuf: the buffer with the windows that attach to it over the control
// socket. It keeps the status figures and the settings page as values
// (HeldViews), hands every change on to the windows attached, carries out the
// operator's requests as the window's handlers did, and without any window
// runs exactly as with one that nobody looks at.
#pragma once

#include <QString>
#include <QTimer>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "control/window_messages.h"
#include "core/platform.h"
#include "host/buffer_host.h"
#include "host/control_server.h"
#include "host/held_views.h"
#include "host/operator_boxes.h"
#include "host/window_monitor_log.h"

namespace netbuf {

class ControlHost : public BufferHost {
 public:
  // app_dir as for BufferHost.
  explicit ControlHost(const QString& app_dir = {});
  ~ControlHost() override;

  HeldViews& views() { return views_; }
  WindowMonitorLog& monitor() { return log_; }
  ControlServer& control() { return server_; }

  // The start-up; its monitor lines are kept for the windows that attach
  // later.
  void start_up();
  void shut_down() override;

 protected:
  void handler_begins() override { log_.untag(); }

 private:
  class Figures : public HeldViews {
   public:
    Figures(ControlHost& host, QTimer& poll, QTimer& supervision)
        : HeldViews(poll, supervision), host_(host) {}

   protected:
    void changed(int figure) override;
    void settings_shown() override;

   private:
    ControlHost& host_;
  };

  // The operator's messages: a line on standard error for the journal
  // always, and a box in every window attached.
  class Messages : public OperatorChannel {
   public:
    explicit Messages(ControlHost& host) : host_(host) {}
    void message_box(const std::string& text) override;
    void error_report(const std::string& text) override;

   private:
    void raise(bool error, const std::string& text);
    ControlHost& host_;
  };

  struct Attached {
    control::CategoryMask categories = 0;
    bool written = false;  // monitor lines since the last trim
    std::unique_ptr<OperatorBoxes> boxes;
  };

  void on_attached(int window);
  void on_request(int window, const control::RequestMessage& m);
  void on_detached(int window);
  void to_windows(int category, bool new_line, const std::string& text);
  void broadcast(const std::string& frame);
  void categories_changed();
  std::string figure_frame(int figure) const;
  // The status page's reader table as the line's figures stand now.
  std::string reader_table_frame();

  Figures views_;
  WindowMonitorLog log_;
  Messages messages_;
  ControlServer server_;
  std::map<int, Attached> windows_;
  // Sends the reader table once a second while a window is attached.
  QTimer reader_table_timer_;
  // The start-up's monitor lines (new_line, text), for windows to come.
  std::vector<std::pair<bool, std::string>> start_lines_;
  bool starting_ = false;
};

}  // namespace netbuf
