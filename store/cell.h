// How a column's value becomes the value netbuf works with. One rule for
// every query: what the PC reads of a register, a card or an event depends
// on it, down to a negative number, a NULL, a real or a text where a number
// belongs.
#pragma once

#include <cstdint>
#include <string>

#include "store/status.h"

struct sqlite3_stmt;

namespace netbuf {

// SQLite's fundamental type codes, used as column kinds.
enum ColumnKind : int32_t {
  kKindInteger = 1,
  kKindFloat = 2,
  kKindText = 3,
  kKindBlob = 4,
  kKindNull = 5,
};

// The column kind a declared type gives; compared whole and case-sensitively.
int32_t kind_from_decltype(const char* decl);

// How a column is read. Integer: a NULL reads 0, a float column truncates, a
// text column is a failure. Text: a NULL reads empty, numbers in decimal.
enum class As { Integer, Text };

struct Cell {
  int64_t integer = 0;
  std::string text;
};

// Column c of the statement's current row, of the given kind, read as asked.
Status read_cell(sqlite3_stmt* s, int c, int32_t kind, As as, Cell& cell);

// A float column read as an integer (truncated toward zero, clamped) and as
// text.
int64_t float_as_integer(double v);
std::string float_as_text(double v);

}  // namespace netbuf
