#include "core/text_escape.h"

#include "core/hex_text.h"

namespace netbuf {

std::string escape_controls(std::string_view text, bool keep_line_breaks) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c1) {
      out += "\\x" + hex2(c) + "\\x" + hex2(static_cast<unsigned char>(text[++i]));
    } else if ((c < 0x20 || c == 0x7F) && !(keep_line_breaks && (c == '\r' || c == '\n'))) {
      out += "\\x" + hex2(c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace netbuf
