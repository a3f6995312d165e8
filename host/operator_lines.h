// The operator's messages where nobody could click a box away (a server):
// each text one line on standard error, never waiting for anything.
#pragma once

#include <string>

#include "core/platform.h"

namespace netbuf {

class OperatorLines : public OperatorChannel {
 public:
  void message_box(const std::string& text) override;
  void error_report(const std::string& text) override;

  // The line the operator gets for text, written at once.
  static void write(const std::string& text);
};

// One line for stderr: line breaks inside the text become blanks, other
// control bytes are escaped.
std::string one_line(const std::string& text);

}  // namespace netbuf
