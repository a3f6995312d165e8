// A value bound to a statement's `?`: a number, or a text used as it is
// (nothing to quote).
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

namespace netbuf {

using SqlValue = std::variant<int64_t, std::string_view>;

}  // namespace netbuf
