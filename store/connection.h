// Inside the connection: the SQLite handle, and the statements it keeps
// prepared. Only the store's own files see these.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "store/database.h"

namespace netbuf {

// A statement and what its columns are. Kinds come from the declared types
// once per prepare; a column without one (an expression) takes the kind of
// its value in the first row of each walk.
struct Database::Prepared {
  Prepared() = default;
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
  ~Prepared() { sqlite3_finalize(stmt); }

  sqlite3_stmt* stmt = nullptr;
  const char* key = nullptr;
  std::string text;
  std::vector<int32_t> declared;  // 0 where no type is declared
  // SQLite prepares the statement again by itself after a schema change
  // (a table replaced): then the types and places are worked out again.
  int reprepared = 0;
  std::vector<int32_t> kinds;
  // Where the asked columns are, for the columns last asked for; -1 for a
  // name the statement does not have.
  const Column* asked = nullptr;
  std::vector<int> index;
  Row row;
};

struct Database::Connection {
  // Opens (or, with create, creates) the file; throws naming the file and
  // the system's reason.
  Connection(const std::string& path, bool create);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* db = nullptr;
  // Finalized before the connection closes.
  std::vector<std::unique_ptr<Prepared>> kept;
};

}  // namespace netbuf
