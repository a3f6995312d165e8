// SQLiteTable3: a thin layer over the SQLite 3 C API. TSQLiteDatabase is one
// open connection, TSQLiteTable the complete result of one query copied into
// memory, ESQLiteException the one error type.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

struct sqlite3;

namespace netbuf {

class ESQLiteException : public std::runtime_error {
 public:
  explicit ESQLiteException(const std::string& msg) : std::runtime_error(msg) {}
};

// SQLite's fundamental type codes, used as column kinds.
enum ColumnKind : int32_t {
  kKindInteger = 1,
  kKindFloat = 2,
  kKindText = 3,
  kKindBlob = 4,
  kKindNull = 5,
};

class TSQLiteTable {
 public:
  // An absent cell (SQL NULL or an empty blob) is std::monostate.
  using Cell = std::variant<std::monostate, int64_t, double, std::string, std::vector<uint8_t>>;

  bool AtEnd() const { return current_row_ >= row_count_; }
  bool NextRow();
  bool FirstRow();
  int ColumnIndex(const std::string& name) const;
  int64_t ColumnAsInteger(int column) const;
  double ColumnAsDouble(int column) const;
  std::string ColumnAsText(int column) const;
  std::string ColumnAsTextOrEmpty(int column) const;
  // Returns nullptr for an absent cell.
  const std::vector<uint8_t>* ColumnAsBlob(int column) const;

  int32_t RowCount() const { return row_count_; }
  int32_t ColumnCount() const { return column_count_; }
  int32_t CurrentRow() const { return current_row_; }
  const std::vector<std::string>& ColumnNames() const { return column_names_; }
  const std::vector<int32_t>& ColumnKinds() const { return column_kinds_; }

 private:
  friend class TSQLiteDatabase;
  const Cell& cell(int column) const;

  // Row-major. A deque grows without moving what it holds: the card table's
  // 120 000 cells are written once instead of again at every doubling.
  std::deque<Cell> cells_;
  int32_t row_count_ = 0;
  int32_t column_count_ = 0;
  std::vector<std::string> column_names_;  // upper-cased
  std::vector<int32_t> column_kinds_;
  int32_t current_row_ = 0;
};

class TSQLiteDatabase {
 public:
  // OpenFile: opens (or, with create, creates) the database file; throws
  // ESQLiteException naming the file and the system's reason.
  explicit TSQLiteDatabase(const std::string& file_name, bool create = true);
  ~TSQLiteDatabase();
  TSQLiteDatabase(const TSQLiteDatabase&) = delete;
  TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;

  // Runs one statement that returns no rows.
  void RunSql(const std::string& sql);
  // Runs a query and returns its complete result.
  std::unique_ptr<TSQLiteTable> QuerySql(const std::string& sql);

  sqlite3* handle() const { return db_; }

  // The message with SQLite's code and text for the last failure, as the
  // exceptions above carry it.
  std::string DbErrorText(const std::string& message, const std::string& context) const;

 private:
  [[noreturn]] void RaiseDbError(const std::string& message, const std::string& context);

  sqlite3* db_ = nullptr;
};

// The column kind a declared type gives; compared whole and case-sensitively.
int32_t KindFromDecltype(const char* decl);
// A float column read as an integer (truncated toward zero, clamped) and as
// text.
int64_t FloatAsInteger(double v);
std::string FloatAsText(double v);

// The module's own text for an SQLite result code.
std::string SQLiteErrorText(int code);

}  // namespace netbuf
