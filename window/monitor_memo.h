// The monitor log on the "Monitor" page: the text control Memo1 and the four
// category check boxes below it.
#pragma once

#include <QString>

#include "core/monitor_log.h"
#include "host/stdout_monitor_log.h"

class QCheckBox;
class QPlainTextEdit;

namespace netbuf {

class QtMonitorLog : public MonitorLog {
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

  // Headless: every line written is also printed on standard output, so a
  // service's journal shows what the window would.
  void mirror_to_stdout(bool on) { mirror_ = on; }
  // Ticks the categories named in a list such as "rs,tcp,zd,tr" or "all".
  void tick_categories(const std::string& list);

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

  void mirror(const std::string& text, bool new_line);

  QPlainTextEdit* memo_;
  bool mirror_ = false;
  StdoutLines stdout_;
  QCheckBox* boxes_[4];
  bool empty_ = true;  // no line written since the last clear
  int rows_before_last_ = 0;
  int last_rows_ = 0;
  int counted_width_ = -1;  // the width the counts above were made for
};

}  // namespace netbuf
