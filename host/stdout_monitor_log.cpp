#include "host/stdout_monitor_log.h"

#include <QtGlobal>
#include <cstdio>
#include <sstream>

#include "core/text_escape.h"
#include "host/output_queue.h"

namespace netbuf {

std::array<bool, 4> named_categories(const std::string& list) {
  static const char* const kNames[4] = {"rs", "tcp", "zd", "tr"};
  std::array<bool, 4> named{};
  std::stringstream in(list);
  std::string name;
  while (std::getline(in, name, ',')) {
    for (int i = 0; i < 4; ++i)
      if (name == kNames[i] || name == "all") named[static_cast<std::size_t>(i)] = true;
  }
  return named;
}

std::string monitor_categories() {
  return qEnvironmentVariable("NETBUF_MONITOR").toStdString();
}

StdoutLines::StdoutLines() {
  idle_.setSingleShot(true);
  idle_.setInterval(200);
  QObject::connect(&idle_, &QTimer::timeout, [this] { end_line(); });
}

StdoutLines::~StdoutLines() {
  end_line();
}

void StdoutLines::end_line() {
  if (!open_) return;
  line_ += '\n';
  OutputQueue::of(1).write(std::move(line_));
  line_.clear();
  open_ = false;
}

void StdoutLines::write(const std::string& text, bool new_line) {
  if (new_line) end_line();
  // A line goes out whole, in one write, so a line of standard error that
  // shares the journal's stream cannot land inside it.
  line_ += text;
  open_ = true;
  // A reader's answer continues the line of its request; the line end waits
  // for it, but not for long, so the journal gets the line promptly.
  idle_.start();
}

}  // namespace netbuf
