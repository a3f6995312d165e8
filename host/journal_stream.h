// Standard error as systemd's journal reads it. When stderr is the journal
// (JOURNAL_STREAM names its device and inode) every line carries its syslog
// level, "<3>" errors, "<4>" warnings, "<6>" information, so journalctl -p
// filters by level; repeated identical error lines are collapsed. Elsewhere
// lines go out as they are.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>
#include <streambuf>
#include <string>

#include "core/repeat_collapse.h"
#include "core/upkeep.h"

namespace netbuf {

class JournalStream : public QObject, public Journal {
  Q_OBJECT

 public:
  explicit JournalStream(QObject* parent = nullptr);
  ~JournalStream() override;

  void line(Severity s, const std::string& text) override;
  bool to_journal() const { return journal_; }

 private:
  void write(Severity s, const std::string& text);
  void flush_repeats();

  bool journal_ = false;
  RepeatCollapse repeats_;
  QTimer flush_timer_;
  std::unique_ptr<std::streambuf> cerr_lines_;
  std::streambuf* cerr_before_ = nullptr;
};

}  // namespace netbuf
