// The operator's message boxes in the window: the host's texts, one
// QMessageBox at a time, opened without waiting for it to be clicked away.
// Which text comes next, and when, is the host's (OperatorBoxes).
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <functional>
#include <string>

class QWidget;

namespace netbuf {

class QtOperatorChannel {
 public:
  // Boxes are centred on parent; their title is the application title.
  // closed is called once the open box has gone.
  QtOperatorChannel(QWidget* parent, std::function<void()> closed);
  ~QtOperatorChannel();

  // A message, or with error an error report; text is plain.
  void open(bool error, const std::string& text);

  // For tests and diagnostics.
  QMessageBox* current() const { return box_; }

 private:
  QWidget* parent_;
  std::function<void()> closed_;
  QPointer<QMessageBox> box_;
};

}  // namespace netbuf
