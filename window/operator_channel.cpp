#include "window/operator_channel.h"

#include <QMessageBox>
#include <iostream>

#include "core/text_escape.h"
#include "host/headless.h"
#include "window/app_title.h"

namespace netbuf {

QtOperatorChannel::QtOperatorChannel(QWidget* parent, Mode mode) : parent_(parent), mode_(mode) {}

QtOperatorChannel::~QtOperatorChannel() {
  delete box_.data();
}

void QtOperatorChannel::message_box(const std::string& text) {
  raise(false, text);
}

void QtOperatorChannel::error_report(const std::string& text) {
  raise(true, text);
}

void QtOperatorChannel::raise(bool error, const std::string& text) {
  if (mode_ == Mode::Lines || (mode_ == Mode::Auto && is_headless())) {
    // Nobody could click a box away on a server.
    OperatorLines::write(text);
    return;
  }
  for (const Note& n : queue_)
    if (n.text == text) return;
  if (queue_.size() >= kMaxWaiting) {
    std::cerr << "netbuf: too many messages waiting, dropped: " << one_line(queue_.front().text)
              << std::endl;
    queue_.pop_front();
  }
  queue_.push_back({error, text});
  if (!box_) show_next();
}

void QtOperatorChannel::show_next() {
  if (queue_.empty()) return;
  const Note n = queue_.front();
  queue_.pop_front();
  auto* box = new QMessageBox(n.error ? QMessageBox::Critical : QMessageBox::NoIcon,
                              application_title(), QString(), QMessageBox::Ok, parent_);
  // Texts may carry bytes from the network: never rich text, never a raw
  // control byte.
  box->setTextFormat(Qt::PlainText);
  box->setText(QString::fromStdString(escape_controls(n.text, true)));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box_ = box;
  QObject::connect(box, &QMessageBox::finished, box, [this] {
    box_ = nullptr;
    show_next();
  });
  box->open();  // returns at once; the loop keeps running
}

}  // namespace netbuf
