// The window's two sides of its link to netbuf: what netbuf shows in it
// (WindowFace, made by the form) and what the operator may ask of netbuf
// (HostActions, the link's). Every action is a request sent at once; what
// comes of it comes back as something shown.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "control/window_messages.h"
#include "core/monitor_log.h"
#include "core/window_views.h"

namespace netbuf {

using control::PortEntry;
using control::ReceiveState;
using control::StatusFigure;
using control::StatusFigures;

// The monitor log's control and its four category switches. Lines reach it
// with their control bytes already escaped.
class MonitorMemo : public MonitorLog {};

class WindowFace {
 public:
  virtual SettingsForm& settings() = 0;
  virtual MonitorMemo& memo() = 0;
  // netbuf answered: its caption, and whether its start-up went through.
  virtual void attached(const std::string& caption, bool started) = 0;
  virtual void show_figure(StatusFigure f, const std::string& text) = 0;
  virtual void show_card_store_progress(int percent) = 0;
  virtual void show_settings(const control::FormValues& form) = 0;
  virtual void show_port_number(int n) = 0;
  virtual void show_ports(const std::vector<PortEntry>& ports) = 0;
  virtual void show_receive_state(const ReceiveState& s) = 0;
  // The status page's reader table, whole, once a second.
  virtual void show_reader_table(const std::vector<control::ReaderTableRow>& rows) = 0;
  // One message box (plain text, control bytes escaped); the next comes
  // after HostActions::box_closed().
  virtual void open_box(bool error, const std::string& text) = 0;
  // netbuf stops.
  virtual void closing() = 0;

 protected:
  ~WindowFace() = default;
};

class HostActions {
 public:
  // The face, once, before anything is shown; it must outlive its use.
  virtual void attach(WindowFace& face) = 0;
  virtual void save_settings() = 0;      // "Zapisz": the settings page as it stands
  virtual void present_test_card() = 0;  // "add event"
  virtual void reset_receive() = 0;      // the hidden Button3
  virtual void set_poll(bool on) = 0;    // "start", "Stop"
  virtual void choose_port(int n) = 0;   // nrDeviceBox1
  virtual void list_ports() = 0;         // the picker drops down
  virtual void set_categories(control::CategoryMask mask) = 0;
  virtual void box_closed() = 0;
  // "Zakończ i zamknij program": netbuf's clean stop.
  virtual void quit() = 0;
  // The window closed: netbuf stops with a window it started itself, and
  // goes on without one that attached to it.
  virtual void window_closed() = 0;
  // Runs a handler of the window's own: what it throws is reported, and the
  // window goes on.
  virtual void dispatch(const std::function<void()>& handler) = 0;

 protected:
  ~HostActions() = default;
};

}  // namespace netbuf
