// The line figures in the Prometheus text exposition format, version 0.0.4:
// one # HELP and # TYPE per metric family, then its samples.
#pragma once

#include <string>
#include <string_view>

#include "core/figures_snapshot.h"

namespace netbuf {

std::string prometheus_text(const FiguresSnapshot& s);

// A label value between its double quotes: backslash, double quote and line
// feed escaped, as the format wants.
void append_label_value(std::string& out, std::string_view value);

}  // namespace netbuf
