// The window is a module of its own, netbuf-window.so beside the executable,
// loaded only when there is a display: a server maps none of the GUI
// libraries and starts without relocating them. The buffer host, the journal,
// the stop signals and the shut-down stay in the executable either way.
#pragma once

#include <memory>

class QCoreApplication;
class QString;

namespace netbuf {

class BufferHost;

// Form1 over its buffer host.
class Window {
 public:
  virtual ~Window() = default;
  virtual BufferHost& host() = 0;
  // Caption, start-up and tray icon, as the form is created.
  virtual void create() = 0;
  virtual void show() = 0;
};

class WindowModule {
 public:
  // The GUI application; made before anything else of Qt, and argc must
  // outlive it.
  virtual std::unique_ptr<QCoreApplication> application(int& argc, char** argv) = 0;
  // app_dir as for BufferHost: net.db's directory, empty for the executable's.
  virtual std::unique_ptr<Window> window(const QString& app_dir) = 0;

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
