#include "window/operator_channel.h"

#include <QMessageBox>

#include "window/app_title.h"

namespace netbuf {

QtOperatorChannel::QtOperatorChannel(QWidget* parent, std::function<void()> closed)
    : parent_(parent), closed_(std::move(closed)) {}

QtOperatorChannel::~QtOperatorChannel() {
  delete box_.data();
}

void QtOperatorChannel::open(bool error, const std::string& text) {
  auto* box = new QMessageBox(error ? QMessageBox::Critical : QMessageBox::NoIcon,
                              application_title(), QString(), QMessageBox::Ok, parent_);
  // Texts may carry bytes from the network: never rich text.
  box->setTextFormat(Qt::PlainText);
  box->setText(QString::fromStdString(text));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box_ = box;
  QObject::connect(box, &QMessageBox::finished, box, [this] {
    box_ = nullptr;
    closed_();
  });
  box->open();  // returns at once; the loop keeps running
}

}  // namespace netbuf
