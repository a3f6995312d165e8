#include "host/operator_lines.h"

#include <iostream>

#include "core/text_escape.h"

namespace netbuf {

std::string one_line(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += ' ';
    } else {
      out += c;
    }
  }
  return escape_controls(out);
}

void OperatorLines::message_box(const std::string& text) {
  write(text);
}

void OperatorLines::error_report(const std::string& text) {
  write(text);
}

void OperatorLines::write(const std::string& text) {
  std::cerr << one_line(text) << std::endl;
}

}  // namespace netbuf
