// The entry point of netbuf-window.so: the GUI application and Form1.
#include <QApplication>
#include <memory>

#include "ui/tform1.h"
#include "ui/window_module.h"

namespace netbuf {

namespace {

class FormWindow : public Window {
 public:
  explicit FormWindow(const QString& app_dir) : form_(app_dir) {}
  BufferHost& host() override { return form_; }
  void create() override { form_.FormCreate(); }
  void show() override { form_.show(); }

 private:
  TForm1 form_;
};

class FormModule : public WindowModule {
 public:
  std::unique_ptr<QCoreApplication> application(int& argc, char** argv) override {
    auto app = std::make_unique<QApplication>(argc, argv);
    // Hidden to the tray the window is not closed; the process ends only on
    // request.
    QApplication::setQuitOnLastWindowClosed(false);
    return app;
  }
  std::unique_ptr<Window> window(const QString& app_dir) override {
    return std::make_unique<FormWindow>(app_dir);
  }
};

}  // namespace

}  // namespace netbuf

extern "C" netbuf::WindowModule* netbuf_window() {
  static netbuf::FormModule module;
  return &module;
}
