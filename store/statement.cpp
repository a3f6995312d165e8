// Preparing, binding and stepping a statement, and the statements the
// connection keeps prepared.
#include <cstring>

#include "store/connection.h"

namespace netbuf {

namespace {

// Resets a statement however its use is left, so that no read lock stays.
class ResetGuard {
 public:
  explicit ResetGuard(sqlite3_stmt* s) : s_(s) {}
  ~ResetGuard() { sqlite3_reset(s_); }
  ResetGuard(const ResetGuard&) = delete;
  ResetGuard& operator=(const ResetGuard&) = delete;

 private:
  sqlite3_stmt* s_;
};

}  // namespace

StoreError Database::failure(const char* message, const std::string& statement) const {
  StoreError e(message);
  e.code = sqlite3_errcode(conn_->db);
  if (e.code == 0) return e;
  e.statement = statement;
  e.detail = sqlite3_errmsg(conn_->db);
  e.sys_errno = sqlite3_system_errno(conn_->db);
  return e;
}

Status Database::prepare(Prepared& p, const char* sql) const {
  if (sqlite3_prepare_v2(conn_->db, sql, -1, &p.stmt, nullptr) != SQLITE_OK)
    return Status::failure(failure("Error executing SQL", sql));
  if (!p.stmt) return Status::failure(failure("Could not prepare SQL statement", sql));
  p.text = sql;
  describe(p);
  return {};
}

void Database::describe(Prepared& p) {
  p.declared.clear();
  const int n = sqlite3_column_count(p.stmt);
  for (int c = 0; c < n; ++c) {
    const char* decl = sqlite3_column_decltype(p.stmt, c);
    p.declared.push_back(decl ? kind_from_decltype(decl) : 0);
  }
  p.asked = nullptr;
  p.reprepared = sqlite3_stmt_status(p.stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
}

Status Database::kept(const char* sql, Prepared*& out) {
  for (auto& p : conn_->kept)
    if (p->key == sql || p->text == sql) {
      out = p.get();
      return {};
    }
  auto p = std::make_unique<Prepared>();
  if (Status s = prepare(*p, sql); !s) return s;
  p->key = sql;
  conn_->kept.push_back(std::move(p));
  out = conn_->kept.back().get();
  return {};
}

Status Database::bind(Prepared& p, std::span<const SqlValue> values) const {
  int rc = SQLITE_OK;
  for (std::size_t i = 0; i < values.size() && rc == SQLITE_OK; ++i) {
    const int at = static_cast<int>(i) + 1;
    if (const auto* n = std::get_if<int64_t>(&values[i])) {
      rc = sqlite3_bind_int64(p.stmt, at, *n);
    } else {
      const std::string_view t = std::get<std::string_view>(values[i]);
      rc = sqlite3_bind_text(p.stmt, at, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
    }
  }
  if (rc != SQLITE_OK) return Status::failure(failure("Error executing SQL", p.text));
  return {};
}

Status Database::execute(Prepared& p, std::span<const Column> columns,
                         const EachRow* each_row) const {
  sqlite3_stmt* s = p.stmt;
  const ResetGuard reset(s);
  if (each_row == nullptr) {
    if (sqlite3_step(s) == SQLITE_DONE) return {};
    sqlite3_reset(s);
    return Status::failure(failure("Error executing SQL statement", p.text));
  }
  locate(p, columns);
  p.kinds = p.declared;
  for (bool first = true;; first = false) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) {
      // A lock conflict (SQLITE_BUSY, SQLITE_LOCKED) says so, with its code.
      sqlite3_reset(s);
      return Status::failure(failure("Could not retrieve data", p.text));
    }
    if (first) {
      if (sqlite3_stmt_status(s, SQLITE_STMTSTATUS_REPREPARE, 0) != p.reprepared) {
        describe(p);
        locate(p, columns);
        p.kinds = p.declared;
      }
      for (std::size_t c = 0; c < p.kinds.size(); ++c)
        if (p.kinds[c] == 0) p.kinds[c] = sqlite3_column_type(s, static_cast<int>(c));
    }
    // Failures come in column order.
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const int c = p.index[i];
      if (c < 0)
        return Status::failure("Field not found in dataset: " + std::string(columns[i].name));
      if (Status st = read_cell(s, c, p.kinds[static_cast<std::size_t>(c)], columns[i].as,
                                p.row.cells_[i]);
          !st)
        return st;
    }
    (*each_row)(p.row);
  }
}

void Database::locate(Prepared& p, std::span<const Column> columns) {
  sqlite3_stmt* s = p.stmt;
  if (p.asked != columns.data() || p.index.size() != columns.size()) {
    p.index.assign(columns.size(), -1);
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const std::string_view want = columns[i].name;
      for (int c = 0; c < static_cast<int>(p.declared.size()); ++c) {
        const char* name = sqlite3_column_name(s, c);
        if (name && std::strlen(name) == want.size() &&
            sqlite3_strnicmp(name, want.data(), static_cast<int>(want.size())) == 0) {
          p.index[i] = c;
          break;
        }
      }
    }
    p.asked = columns.data();
    p.row.cells_.resize(columns.size());
  }
}

}  // namespace netbuf
