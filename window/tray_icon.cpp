#include "window/tray_icon.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QWidget>
#include <iostream>

#include "host/captions.h"
#include "window/app_title.h"

namespace netbuf {

namespace {

// The program carries no icon file; a small drawn badge stands in.
QIcon application_icon() {
  QPixmap pm(32, 32);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(58, 58, 58));
  p.setPen(QPen(QColor(200, 200, 200), 2));
  p.drawRoundedRect(QRectF(1, 1, 30, 30), 5, 5);
  p.setPen(QColor(240, 240, 240));
  QFont f = p.font();
  f.setBold(true);
  f.setPixelSize(14);
  p.setFont(f);
  p.drawText(QRect(0, 0, 32, 32), Qt::AlignCenter, QStringLiteral("NB"));
  p.end();
  return QIcon(pm);
}

}  // namespace

TrayIcon::TrayIcon(QWidget* window, bool headless)
    : QObject(window), window_(window), menu_(new QMenu(window)), headless_(headless) {
  menu_->setObjectName(QStringLiteral("PopupMenu1"));
  start1_ = menu_->addAction(QString::fromUtf8(captions::kStart1));
  start1_->setObjectName(QStringLiteral("Start1"));
  stop1_ = menu_->addAction(QString::fromUtf8(captions::kStop1));
  stop1_->setObjectName(QStringLiteral("Stop1"));
  connect(start1_, &QAction::triggered, this, &TrayIcon::hide_window);
  connect(stop1_, &QAction::triggered, this, &TrayIcon::show_window);
}

TrayIcon::~TrayIcon() {
  remove();
}

void TrayIcon::add() {
  added_ = true;
  if (headless_) return;  // no desktop, now or later
  // Shown even with no tray host yet: Qt embeds the icon once a panel with a
  // tray starts, and that icon is the only way back to a hidden window.
  if (!icon_) {
    icon_ = new QSystemTrayIcon(application_icon(), this);
    icon_->setToolTip(application_title());
    icon_->setContextMenu(menu_);  // right click
    connect(icon_, &QSystemTrayIcon::activated, this, &TrayIcon::on_activated);
  }
  icon_->show();
}

void TrayIcon::remove() {
  added_ = false;
  if (icon_) icon_->hide();
}

void TrayIcon::hide_window() {
  if (tray_available_()) {
    window_->hide();
    return;
  }
  // Hidden with no tray to bring it back, the window would be lost for good;
  // minimised, the desktop still offers it.
  if (!told_no_tray_) {
    told_no_tray_ = true;
    std::cerr << "netbuf: no system tray on this desktop; \"" << captions::kStart1
              << "\" minimises the window instead of hiding it" << std::endl;
  }
  window_->showMinimized();
}

void TrayIcon::show_window() {
  window_->show();
}

void TrayIcon::on_activated(QSystemTrayIcon::ActivationReason reason) {
  if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick) return;
  window_->showNormal();
  window_->raise();
  window_->activateWindow();
}

}  // namespace netbuf
