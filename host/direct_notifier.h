// A socket notifier that calls its handler straight from the loop's event:
// the activated signal would cost two signal emissions per wake-up, and the
// PC's every request is one.
#pragma once

#include <QEvent>
#include <QSocketNotifier>
#include <functional>

namespace netbuf {

class DirectNotifier : public QSocketNotifier {
 public:
  DirectNotifier(int fd, Type type, QObject* parent, std::function<void()> handler)
      : QSocketNotifier(fd, type, parent), handler_(std::move(handler)) {}

 protected:
  bool event(QEvent* e) override {
    if (e->type() != QEvent::SockAct) return QSocketNotifier::event(e);
    handler_();
    return true;
  }

 private:
  std::function<void()> handler_;
};

}  // namespace netbuf
