#include "core/store_error.h"

#include <utility>

namespace netbuf {

namespace {

// SQLite's primary result codes this file names; core does without sqlite3.h.
constexpr int kIoErr = 10;
constexpr int kFull = 13;

int primary(int code) {
  return code & 0xFF;
}

}  // namespace

bool StoreError::disk_trouble() const {
  return primary(code) == kFull || primary(code) == kIoErr;
}

std::string StoreError::text(std::string_view separator) const {
  if (code == 0) return message;
  std::string s = message;
  s += '.';
  s += separator;
  s += "Error [" + std::to_string(code) + "]: " + sqlite_code_text(code) + ".";
  s += separator;
  s += "\"" + statement + "\": " + detail;
  return s;
}

std::string sqlite_code_text(int code) {
  static constexpr std::pair<int, const char*> kTexts[] = {
      {0, "Successful result"},
      {1, "SQL error or missing database"},
      {2, "An internal logic error in SQLite"},
      {3, "Access permission denied"},
      {4, "Callback routine requested an abort"},
      {5, "The database file is locked"},
      {6, "A table in the database is locked"},
      {7, "A malloc() failed"},
      {8, "Attempt to write a readonly database"},
      {9, "Operation terminated by sqlite3_interrupt()"},
      {10, "Some kind of disk I/O error occurred"},
      {11, "The database disk image is malformed"},
      {12, "(Internal Only) Table or record not found"},
      {13, "Insertion failed because database is full"},
      {14, "Unable to open the database file"},
      {15, "Database lock protocol error"},
      {16, "Database is empty"},
      {17, "The database schema changed"},
      {18, "Too much data for one row of a table"},
      {19, "Abort due to contraint violation"},
      {20, "Data type mismatch"},
      {21, "Library used incorrectly"},
      {22, "Uses OS features not supported on host"},
      {23, "Authorization denied"},
      {24, "Auxiliary database format error"},
      {25, "2nd parameter to sqlite3_bind out of range"},
      {26, "File opened that is not a database file"},
      {100, "sqlite3_step() has another row ready"},
      {101, "sqlite3_step() has finished executing"},
  };
  for (const auto& [c, text] : kTexts) {
    if (c == code) return text;
  }
  return "Unknown SQLite Error Code \"" + std::to_string(code) + "\"";
}

}  // namespace netbuf
