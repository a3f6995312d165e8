// The notification-area icon with its menu PopupMenu1: the way back to a
// hidden window. Hiding and showing touch nothing but the window.
#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

class QAction;
class QMenu;
class QWidget;

namespace netbuf {

class TrayIcon : public QObject {
  Q_OBJECT

 public:
  // headless: there is no desktop, now or later, to show the icon on.
  TrayIcon(QWidget* window, bool headless);
  ~TrayIcon() override;

  void add();     // shows the icon, now or once the desktop has a tray
  void remove();  // takes it away
  bool added() const { return added_; }

  // Whether the desktop has a tray now; a test may stand in for the desktop.
  void set_tray_probe(std::function<bool()> probe) { tray_available_ = std::move(probe); }

  QMenu* menu() const { return menu_; }
  QSystemTrayIcon* icon() const { return icon_; }

  // Hides the window; with no tray to bring it back, minimises it instead.
  void hide_window();
  void show_window();
  void on_activated(QSystemTrayIcon::ActivationReason reason);

 private:
  QWidget* window_;
  QMenu* menu_;
  QAction* start1_;
  QAction* stop1_;
  QSystemTrayIcon* icon_ = nullptr;
  bool headless_;
  bool added_ = false;
  bool told_no_tray_ = false;
  std::function<bool()> tray_available_ = &QSystemTrayIcon::isSystemTrayAvailable;
};

}  // namespace netbuf
