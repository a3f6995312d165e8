#include "store/sqlite_table3.h"

#include <sqlite3.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>

namespace netbuf {

namespace {

// Finalizes the statement however the function that prepared it is left, so
// an exception never leaves a statement (and its read lock) behind.
class StatementGuard {
 public:
  StatementGuard() = default;
  ~StatementGuard() { sqlite3_finalize(stmt_); }
  StatementGuard(const StatementGuard&) = delete;
  StatementGuard& operator=(const StatementGuard&) = delete;
  sqlite3_stmt** out() { return &stmt_; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

char upper_char(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string upper(std::string s) {
  for (char& c : s) c = upper_char(c);
  return s;
}

std::string text_of(sqlite3_stmt* stmt, int column) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  return p ? std::string(p) : std::string();  // up to the first zero byte
}

}  // namespace

int32_t KindFromDecltype(const char* decl) {
  // "integer" or "INT" is a text column.
  const std::string d(decl);
  if (d == "INTEGER" || d == "BOOLEAN") return kKindInteger;
  if (d == "NUMERIC" || d == "FLOAT" || d == "DOUBLE" || d == "REAL") return kKindFloat;
  if (d == "BLOB") return kKindBlob;
  return kKindText;
}

int64_t FloatAsInteger(double v) {
  // Out-of-range or NaN would be undefined in the cast; clamp instead.
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return INT64_MAX;
  if (v <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(v);  // truncates toward zero
}

std::string FloatAsText(double v) {
  std::array<char, 64> buf{};
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::general, 15);
  return std::string(buf.data(), res.ptr);
}

std::string SQLiteErrorText(int code) {
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

// ---- TSQLiteDatabase ----

TSQLiteDatabase::TSQLiteDatabase(const std::string& file_name, bool create) {
  // sqlite3_open's mode, without SQLite's per-call locking: a connection is
  // only ever used by the one thread that opened it, and the lock pair on
  // every column read made up a good part of loading the card table.
  const int rc = sqlite3_open_v2(
      file_name.c_str(), &db_,
      SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK) return;
  std::string msg = "Failed to open database \"" + file_name + "\" : ";
  if (db_) {
    msg += sqlite3_errmsg(db_);
    // SQLite's own text does not say why ("unable to open database file").
    if (const int e = sqlite3_system_errno(db_); e != 0)
      msg += std::string(" (") + std::strerror(e) + ")";
    sqlite3_close(db_);
    db_ = nullptr;
  } else {
    msg += "unknown error";
  }
  throw ESQLiteException(msg);
}

TSQLiteDatabase::~TSQLiteDatabase() {
  if (!db_) return;
  // A transaction still open shows in autocommit.
  if (sqlite3_get_autocommit(db_) == 0) {
    try {
      RunSql("ROLLBACK");
    } catch (const ESQLiteException&) {
    }
  }
  sqlite3_close(db_);
}

std::string TSQLiteDatabase::DbErrorText(const std::string& message,
                                         const std::string& context) const {
  const int code = sqlite3_errcode(db_);
  const char* text = sqlite3_errmsg(db_);
  if (code == 0 || text == nullptr) return message;
  return message + ".\rError [" + std::to_string(code) + "]: " + SQLiteErrorText(code) + ".\r\"" +
         context + "\": " + text;
}

void TSQLiteDatabase::RaiseDbError(const std::string& message, const std::string& context) {
  throw ESQLiteException(DbErrorText(message, context));
}

void TSQLiteDatabase::RunSql(const std::string& sql) {
  StatementGuard stmt;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, stmt.out(), nullptr) != SQLITE_OK) {
    RaiseDbError("Error executing SQL", sql);
  }
  if (!stmt.get()) RaiseDbError("Could not prepare SQL statement", sql);
  if (sqlite3_step(stmt.get()) != SQLITE_DONE) {
    sqlite3_reset(stmt.get());
    RaiseDbError("Error executing SQL statement", sql);
  }
}

std::unique_ptr<TSQLiteTable> TSQLiteDatabase::QuerySql(const std::string& sql) {
  StatementGuard stmt;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, stmt.out(), nullptr) != SQLITE_OK) {
    RaiseDbError("Error executing SQL", sql);
  }
  if (!stmt.get()) RaiseDbError("Could not prepare SQL statement", sql);

  auto table = std::make_unique<TSQLiteTable>();
  sqlite3_stmt* s = stmt.get();
  for (;;) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) break;
    if (rc == SQLITE_BUSY) throw ESQLiteException("Could not prepare SQL statement");
    if (rc != SQLITE_ROW) {
      sqlite3_reset(s);
      RaiseDbError("Could not retrieve data", sql);
    }
    if (table->row_count_ == 0) {
      // Kinds are fixed by the first row and hold for every later one.
      table->column_count_ = sqlite3_column_count(s);
      for (int c = 0; c < table->column_count_; ++c) {
        const char* name = sqlite3_column_name(s, c);
        table->column_names_.push_back(upper(name ? name : ""));
        const char* decl = sqlite3_column_decltype(s, c);
        table->column_kinds_.push_back(decl ? KindFromDecltype(decl)
                                            : static_cast<int32_t>(sqlite3_column_type(s, c)));
      }
    }
    for (int c = 0; c < table->column_count_; ++c) {
      if (sqlite3_column_type(s, c) == SQLITE_NULL) {
        table->cells_.emplace_back();
        continue;
      }
      switch (table->column_kinds_[static_cast<size_t>(c)]) {
        case kKindInteger:
          table->cells_.emplace_back(static_cast<int64_t>(sqlite3_column_int64(s, c)));
          break;
        case kKindFloat:
          table->cells_.emplace_back(sqlite3_column_double(s, c));
          break;
        case kKindBlob: {
          const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s, c));
          const int n = sqlite3_column_bytes(s, c);
          if (p == nullptr || n <= 0) {
            table->cells_.emplace_back();
          } else {
            table->cells_.emplace_back(std::vector<uint8_t>(p, p + n));
          }
          break;
        }
        default:
          table->cells_.emplace_back(text_of(s, c));
          break;
      }
    }
    ++table->row_count_;
  }
  table->current_row_ = 0;
  return table;
}

// ---- TSQLiteTable ----

bool TSQLiteTable::NextRow() {
  if (AtEnd()) return false;
  ++current_row_;
  return true;
}

bool TSQLiteTable::FirstRow() {
  if (row_count_ <= 0) return false;
  current_row_ = 0;
  return true;
}

int TSQLiteTable::ColumnIndex(const std::string& name) const {
  if (column_names_.empty()) throw ESQLiteException("Field " + name + " Not found. Empty dataset");
  // Start-up looks up six names per card row; no upper-cased copy per call.
  const auto same = [&name](const std::string& upper_name) {
    if (upper_name.size() != name.size()) return false;
    for (size_t k = 0; k < name.size(); ++k)
      if (upper_char(name[k]) != upper_name[k]) return false;
    return true;
  };
  for (size_t i = 0; i < column_names_.size(); ++i) {
    if (same(column_names_[i])) return static_cast<int>(i);
  }
  throw ESQLiteException("Field not found in dataset: " + name);
}

const TSQLiteTable::Cell& TSQLiteTable::cell(int column) const {
  if (AtEnd()) throw ESQLiteException("Table is at End of File");
  if (column < 0 || column >= column_count_) {
    throw ESQLiteException("Column index out of range: " + std::to_string(column));
  }
  return cells_[static_cast<size_t>(current_row_) * static_cast<size_t>(column_count_) +
                static_cast<size_t>(column)];
}

int64_t TSQLiteTable::ColumnAsInteger(int column) const {
  const Cell& v = cell(column);
  if (std::holds_alternative<std::monostate>(v)) return 0;
  if (const auto* i = std::get_if<int64_t>(&v)) return *i;
  if (const auto* d = std::get_if<double>(&v)) return FloatAsInteger(*d);
  throw ESQLiteException("Not an integer or numeric field");
}

double TSQLiteTable::ColumnAsDouble(int column) const {
  const Cell& v = cell(column);
  if (std::holds_alternative<std::monostate>(v)) return 0.0;
  if (const auto* i = std::get_if<int64_t>(&v)) return static_cast<double>(*i);
  if (const auto* d = std::get_if<double>(&v)) return *d;
  throw ESQLiteException("Not an integer or numeric field");
}

std::string TSQLiteTable::ColumnAsText(int column) const {
  const Cell& v = cell(column);
  // A null-kind column's later cells hold copied text, yet it reads as empty.
  if (column_kinds_[static_cast<size_t>(column)] == kKindNull) return {};
  if (const auto* i = std::get_if<int64_t>(&v)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&v)) return FloatAsText(*d);
  if (const auto* t = std::get_if<std::string>(&v)) return *t;
  if (const auto* b = std::get_if<std::vector<uint8_t>>(&v))
    return std::string(b->begin(), b->end());
  return {};
}

std::string TSQLiteTable::ColumnAsTextOrEmpty(int column) const {
  if (std::holds_alternative<std::monostate>(cell(column))) return {};
  return ColumnAsText(column);
}

const std::vector<uint8_t>* TSQLiteTable::ColumnAsBlob(int column) const {
  const Cell& v = cell(column);
  if (std::holds_alternative<std::monostate>(v)) return nullptr;
  if (const auto* b = std::get_if<std::vector<uint8_t>>(&v)) return b;
  throw ESQLiteException("Not a Blob field");
}

}  // namespace netbuf
