// The window is a module of its own, netbuf-window.so beside the executable,
// loaded only when there is a display: a server maps none of the GUI
// libraries and starts without relocating them. The buffer host, the journal,
// the stop signals and the shut-down stay in the executable either way.
//
// This header (with the captions) is all the module sees of the executable:
// the window shows what the host hands its face and asks the host for the
// operator's actions, both through virtual calls only, so the module needs no
// symbol of the executable and the executable exports none.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/monitor_log.h"
#include "core/window_views.h"

class QCoreApplication;

namespace netbuf {

// The status page's figures, each shown as a text of its own.
struct StatusFigures {
  enum Figure {
    kEventCounter,
    kEventReadPointer,
    kClient,
    kMac,
    kCardCount,
    kReaderCount,
    kComPort,
    kFigureCount
  };
};
using StatusFigure = StatusFigures::Figure;

// The poll-delay slider's range and where it starts.
inline constexpr int kPollDelayMin = 10;
inline constexpr int kPollDelayMax = 500;
inline constexpr int kPollDelayStart = 30;

// A COMn whose device exists, as the port picker lists it.
struct PortEntry {
  int number;
  std::string device;
};

// The reader line's receive count and every reader entry's action and PC
// wait, as the diagnostic memo lists them.
struct ReceiveState {
  int rx_len = 0;
  std::vector<std::pair<unsigned, unsigned>> readers;
};

// The monitor log's control and its four category switches. Lines reach it
// with their control bytes already escaped.
class MonitorMemo : public MonitorLog {
 public:
  // A category switched on from the environment, for diagnosis.
  virtual void tick(LogCategory c) = 0;
};

// What the window shows: made by the window, called by the host on the
// loop's thread.
class WindowFace {
 public:
  virtual SettingsForm& settings() = 0;
  virtual MonitorMemo& memo() = 0;
  virtual void show_caption(const std::string& text) = 0;
  virtual void show_figure(StatusFigure f, const std::string& text) = 0;
  virtual void show_card_store_progress(int percent) = 0;
  virtual void show_port_number(int n) = 0;
  // One message box (plain text, control bytes escaped); the host opens the
  // next one after HostActions::box_closed().
  virtual void open_box(bool error, const std::string& text) = 0;
  // The clean stop has begun.
  virtual void closing() = 0;

 protected:
  ~WindowFace() = default;
};

// What the operator may ask of the buffer from the window: the host's.
class HostActions {
 public:
  // The window's face, once, before start_up(); it must outlive its use.
  virtual void attach(WindowFace& face) = 0;
  // Caption and start-up; whether start-up went through to its end.
  virtual bool start_up() = 0;
  virtual void save_settings() = 0;          // "Zapisz"
  virtual void present_test_card() = 0;      // "add event"
  virtual ReceiveState reset_receive() = 0;  // the hidden Button3
  virtual void set_poll(bool on) = 0;        // "start", "Stop"
  virtual int port_number() = 0;
  virtual void choose_port(int n) = 0;  // nrDeviceBox1
  virtual std::vector<PortEntry> available_ports() = 0;
  virtual void box_closed() = 0;
  // "Zakończ i zamknij program", the window closed: the clean stop.
  virtual void quit() = 0;
  virtual bool quitting() const = 0;
  // No display to draw on (an offscreen platform).
  virtual bool headless() const = 0;
  // Runs a handler of the window's own as every handler runs: what it throws
  // goes to the operator as the top-level error report.
  virtual void dispatch(const std::function<void()>& handler) = 0;

 protected:
  ~HostActions() = default;
};

// Form1 on the host's actions.
class Window {
 public:
  virtual ~Window() = default;
  // Caption, start-up and tray icon, as the form is created.
  virtual void create() = 0;
  virtual void show() = 0;
};

class WindowModule {
 public:
  // The GUI application; made before anything else of Qt, and argc must
  // outlive it.
  virtual std::unique_ptr<QCoreApplication> application(int& argc, char** argv) = 0;
  // Form1, which hands host its face at once; host outlives it.
  virtual std::unique_ptr<Window> window(HostActions& host) = 0;

 protected:
  ~WindowModule() = default;
};

inline constexpr const char* kWindowModuleFile = "netbuf-window.so";

// Loads the window module from the directory of the executable itself (never
// from the current directory or a search path). When it cannot, says so in
// one line on standard error and returns nullptr: the buffer then runs
// without a window rather than not at all.
WindowModule* load_window_module();

}  // namespace netbuf

// The module's one entry point, looked up by this name.
extern "C" netbuf::WindowModule* netbuf_window();
