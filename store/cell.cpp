#include "store/cell.h"

#include <sqlite3.h>

#include <array>
#include <charconv>
#include <cmath>
#include <string>

namespace netbuf {

int32_t kind_from_decltype(const char* decl) {
  // "integer" or "INT" is a text column.
  const std::string d(decl);
  if (d == "INTEGER" || d == "BOOLEAN") return kKindInteger;
  if (d == "NUMERIC" || d == "FLOAT" || d == "DOUBLE" || d == "REAL") return kKindFloat;
  if (d == "BLOB") return kKindBlob;
  return kKindText;
}

int64_t float_as_integer(double v) {
  // Out-of-range or NaN would be undefined in the cast; clamp instead.
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return INT64_MAX;
  if (v <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(v);  // truncates toward zero
}

std::string float_as_text(double v) {
  std::array<char, 64> buf{};
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::general, 15);
  return std::string(buf.data(), res.ptr);
}

Status read_cell(sqlite3_stmt* s, int c, int32_t kind, As as, Cell& cell) {
  const bool integer = as == As::Integer;
  // The common cells need no look at the value's type: SQLite reads a NULL
  // as 0 and as no text.
  if (kind == kKindInteger && integer) {
    cell.integer = sqlite3_column_int64(s, c);
    return {};
  }
  if (kind == kKindText && !integer) {
    const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
    if (t)
      cell.text.assign(t);  // up to the first zero byte
    else
      cell.text.clear();
    return {};
  }
  cell.integer = 0;
  cell.text.clear();
  if (sqlite3_column_type(s, c) == SQLITE_NULL) return {};
  switch (kind) {
    case kKindInteger:
      cell.text = std::to_string(sqlite3_column_int64(s, c));
      return {};
    case kKindFloat:
      if (integer)
        cell.integer = float_as_integer(sqlite3_column_double(s, c));
      else
        cell.text = float_as_text(sqlite3_column_double(s, c));
      return {};
    case kKindBlob: {
      const auto* b = static_cast<const char*>(sqlite3_column_blob(s, c));
      const int n = sqlite3_column_bytes(s, c);
      if (b == nullptr || n <= 0) return {};  // an empty blob is no value
      if (!integer) {
        cell.text.assign(b, static_cast<std::size_t>(n));
        return {};
      }
      break;
    }
    case kKindNull:
      // A column whose first value was NULL reads as empty text throughout.
      if (!integer) return {};
      break;
    default:
      break;  // text read as an integer
  }
  return Status::failure("Not an integer or numeric field");
}

}  // namespace netbuf
