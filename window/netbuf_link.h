// The window's end of the control socket: the operator's actions sent as
// requests, and what netbuf sends shown on the window's face. A link never
// waits for netbuf: requests are queued on the socket, notices are taken as
// they come.
#pragma once

#include <QLocalSocket>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "control/control_wire.h"
#include "window/window_face.h"

namespace netbuf {

class NetbufLink : public QObject, public HostActions {
  Q_OBJECT

 public:
  // beside: netbuf started this window beside itself; closing the window
  // then stops netbuf, as closing its window always did.
  explicit NetbufLink(bool beside);
  ~NetbufLink() override;

  // Attaches over a connected descriptor (the end netbuf handed its window).
  bool use_descriptor(int fd);
  // Connects to the socket at path; lost() says when it fails.
  void connect_to(const QString& path);

  // HostActions.
  void attach(WindowFace& face) override { face_ = &face; }
  void save_settings() override;
  void present_test_card() override;
  void reset_receive() override;
  void set_poll(bool on) override;
  void choose_port(int n) override;
  void list_ports() override;
  void set_categories(control::CategoryMask mask) override;
  void box_closed() override;
  void quit() override;
  void window_closed() override;
  void dispatch(const std::function<void()>& handler) override;

 signals:
  // netbuf is gone, refused us, or was never there; why, in one line.
  void lost(const QString& why);
  // netbuf answered Hello: the window has something to show.
  void answered();

 private:
  void send(const std::string& frame);
  void on_connected();
  void on_readable();
  void show(const control::NoticeMessage& m);

  bool beside_;
  WindowFace* face_ = nullptr;
  QLocalSocket socket_;
  control::FrameCutter in_{control::kMaxNoticeFrame};
  bool hello_ = false;
  bool closing_ = false;
  control::CategoryMask categories_ = 0;
};

}  // namespace netbuf
