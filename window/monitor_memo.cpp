#include "window/monitor_memo.h"

#include <QCheckBox>
#include <QPalette>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>

namespace netbuf {

QtMonitorLog::QtMonitorLog(QPlainTextEdit* memo, QCheckBox* rs, QCheckBox* tcp, QCheckBox* zd,
                           QCheckBox* tr)
    : memo_(memo), boxes_{rs, tcp, zd, tr} {
  QPalette pal = memo_->palette();
  pal.setColor(QPalette::Base, Qt::black);
  pal.setColor(QPalette::Text, QColor(192, 192, 192));
  memo_->setPalette(pal);
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memo_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  // Typing into the log would upset the row count; it is a display only.
  memo_->setReadOnly(true);
  memo_->setUndoRedoEnabled(false);
}

bool QtMonitorLog::enabled(LogCategory c) const {
  const int i = static_cast<int>(c);
  return i >= 0 && i < 4 && boxes_[i]->isChecked();
}

void QtMonitorLog::log_line(const std::string& text) {
  const View before = view();
  const QString t = QString::fromStdString(text);
  QTextCursor c(memo_->document());
  c.movePosition(QTextCursor::End);
  if (!empty_) {
    rows_before_last_ += last_rows_;
    c.insertBlock();
  }
  c.insertText(t);
  empty_ = false;
  after_write(t.contains(QLatin1Char('\n')) || t.contains(QLatin1Char('\r')), before);
}

void QtMonitorLog::log_append(const std::string& text) {
  const View before = view();
  const QString t = QString::fromStdString(text);
  QTextCursor c(memo_->document());
  c.movePosition(QTextCursor::End);
  c.insertText(t);
  empty_ = false;
  after_write(t.contains(QLatin1Char('\n')) || t.contains(QLatin1Char('\r')), before);
}

QtMonitorLog::View QtMonitorLog::view() const {
  const QScrollBar* bar = memo_->verticalScrollBar();
  const QTextCursor c = memo_->textCursor();
  return {bar->value() >= bar->maximum() && !c.hasSelection(), bar->value(), c.anchor(),
          c.position()};
}

void QtMonitorLog::after_write(bool may_split, const View& before) {
  if (may_split || counted_width_ != wrap_width()) {
    recount();
  } else {
    last_rows_ = rows_of(memo_->document()->lastBlock().text());
  }
  QScrollBar* bar = memo_->verticalScrollBar();
  if (before.follow) {
    // Follow the newest line.
    QTextCursor end(memo_->document());
    end.movePosition(QTextCursor::End);
    memo_->setTextCursor(end);
    bar->setValue(bar->maximum());
    return;
  }
  // The operator scrolled up or selected text: lines only ever go on at the
  // end, so the same positions still hold what the operator was looking at.
  QTextCursor kept(memo_->document());
  kept.setPosition(before.anchor);
  kept.setPosition(before.position, QTextCursor::KeepAnchor);
  memo_->setTextCursor(kept);
  bar->setValue(before.scroll);
}

void QtMonitorLog::log_clear() {
  memo_->clear();
  empty_ = true;
  rows_before_last_ = 0;
  last_rows_ = 0;
}

void QtMonitorLog::log_limit() {
  if (displayed_rows() > kMaxRows) log_clear();
}

int QtMonitorLog::displayed_rows() {
  if (empty_) return 0;
  if (counted_width_ != wrap_width()) recount();
  return rows_before_last_ + last_rows_;
}

int QtMonitorLog::wrap_width() const {
  int viewport;
  if (memo_->isVisible()) {
    viewport = memo_->viewport()->width();
  } else {
    // Not laid out yet (hidden, offscreen): the viewport is what the frame
    // and the ever-present vertical scroll bar leave of the control.
    viewport = memo_->width() - 2 * memo_->frameWidth() -
               memo_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, memo_);
  }
  const int margin = static_cast<int>(memo_->document()->documentMargin());
  return std::max(1, viewport - 2 * margin);
}

int QtMonitorLog::rows_of(const QString& text) const {
  QTextLayout layout(text, memo_->document()->defaultFont());
  layout.setTextOption(memo_->document()->defaultTextOption());
  const qreal width = counted_width_;
  int rows = 0;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    ++rows;
  }
  layout.endLayout();
  return std::max(1, rows);
}

void QtMonitorLog::recount() {
  counted_width_ = wrap_width();
  rows_before_last_ = 0;
  last_rows_ = 0;
  if (empty_) return;
  const QTextDocument* doc = memo_->document();
  for (QTextBlock b = doc->firstBlock(); b.isValid(); b = b.next()) {
    const int r = rows_of(b.text());
    if (b == doc->lastBlock()) {
      last_rows_ = r;
    } else {
      rows_before_last_ += r;
    }
  }
}

}  // namespace netbuf
