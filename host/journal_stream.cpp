#include "host/journal_stream.h"

#include <sys/stat.h>

#include <QDateTime>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "host/output_queue.h"

namespace netbuf {

namespace {

constexpr int kFlushMs = 10000;

JournalStream* g_stream = nullptr;  // for Qt's message handler, which takes no context

// systemd sets JOURNAL_STREAM to "device:inode" of the stream it connected;
// stderr redirected elsewhere by a wrapper does not count.
bool stderr_is_journal() {
  const char* v = std::getenv("JOURNAL_STREAM");
  if (v == nullptr) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(v, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st {};
  if (::fstat(2, &st) != 0) return false;
  return st.st_dev == dev && st.st_ino == ino;
}

int64_t now_s() {
  return QDateTime::currentSecsSinceEpoch();
}

// Lines others write to std::cerr (message boxes on a server, reports) are
// errors unless they say otherwise.
class CerrLines : public std::streambuf {
 public:
  explicit CerrLines(JournalStream& out) : out_(out) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (c == '\n') {
      out_.line(Severity::Error, line_);
      line_.clear();
    } else {
      line_ += static_cast<char>(c);
    }
    return c;
  }

 private:
  JournalStream& out_;
  std::string line_;
};

void on_qt_message(QtMsgType type, const QMessageLogContext&, const QString& msg) {
  if (g_stream == nullptr) return;
  const Severity s = type == QtInfoMsg || type == QtDebugMsg ? Severity::Info
                     : type == QtWarningMsg                  ? Severity::Warning
                                                             : Severity::Error;
  g_stream->line(s, msg.toStdString());
}

}  // namespace

JournalStream::JournalStream(QObject* parent) : QObject(parent), journal_(stderr_is_journal()) {
  // Every line of standard error passes here, so none is written on the loop.
  g_stream = this;
  qInstallMessageHandler(on_qt_message);
  cerr_lines_ = std::make_unique<CerrLines>(*this);
  cerr_before_ = std::cerr.rdbuf(cerr_lines_.get());
  if (!journal_) return;
  OutputQueue::of(2).set_dropped_prefix("<4>");
  flush_timer_.setInterval(kFlushMs);
  connect(&flush_timer_, &QTimer::timeout, this, &JournalStream::flush_repeats);
  flush_timer_.start();
}

JournalStream::~JournalStream() {
  if (journal_) flush_repeats();
  std::cerr.rdbuf(cerr_before_);
  qInstallMessageHandler(nullptr);
  g_stream = nullptr;
}

void JournalStream::line(Severity s, const std::string& text) {
  if (!journal_ || s != Severity::Error) {
    write(s, text);
    return;
  }
  for (const std::string& l : repeats_.add(text, now_s())) write(s, l);
}

void JournalStream::flush_repeats() {
  for (const std::string& l : repeats_.flush(now_s())) write(Severity::Error, l);
}

void JournalStream::write(Severity s, const std::string& text) {
  std::string l;
  if (journal_) {
    l += '<';
    l += std::to_string(static_cast<int>(s));
    l += '>';
  }
  l += text;
  l += '\n';
  OutputQueue::of(2).write(std::move(l));
}

}  // namespace netbuf
