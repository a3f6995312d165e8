// The monitor log on the "Monitor" page: the text control Memo1 and the four
// category check boxes below it. Lines arrive escaped by netbuf, which sends
// only those of the categories switched on here.
#pragma once

#include <QString>

#include "window/window_face.h"

class QCheckBox;
class QPlainTextEdit;

namespace netbuf {

class QtMonitorLog : public MonitorMemo {
 public:
  static constexpr int kMaxRows = 200;

  // Styles memo as the log (colours, wrapping, scroll bars, read-only).
  QtMonitorLog(QPlainTextEdit* memo, QCheckBox* rs, QCheckBox* tcp, QCheckBox* zd, QCheckBox* tr);

  bool enabled(LogCategory c) const override;
  void log_line(const std::string& text) override;
  void log_append(const std::string& text) override;
  void log_clear() override;
  void log_limit() override;

  // Displayed rows: a line wrapped at the control's width counts once per row.
  int displayed_rows();

 private:
  int wrap_width() const;
  int rows_of(const QString& text) const;
  void recount();
  // What the operator sees: whether the view follows the newest line (at the
  // bottom, nothing selected), else where it stands and what is selected.
  struct View {
    bool follow;
    int scroll;
    int anchor;
    int position;
  };
  View view() const;
  void after_write(bool may_split, const View& before);

  QPlainTextEdit* memo_;
  QCheckBox* boxes_[4];
  bool empty_ = true;  // no line written since the last clear
  int rows_before_last_ = 0;
  int last_rows_ = 0;
  int counted_width_ = -1;  // the width the counts above were made for
};

}  // namespace netbuf
