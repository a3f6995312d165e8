/* The floor under netbuf's start-up: open net.db and step through the two
 * tables start-up loads, reading every column of every row, and nothing else.
 *
 *     startup_floor path/to/net.db
 *
 * Prints the rows read and a checksum of the values, so nothing is skipped. */
#include <sqlite3.h>
#include <stdint.h>
#include <stdio.h>

static int read_table(sqlite3* db, const char* sql, long* rows, uint64_t* sum) {
  sqlite3_stmt* st = NULL;
  if (sqlite3_prepare_v2(db, sql, -1, &st, NULL) != SQLITE_OK) return -1;
  const int columns = sqlite3_column_count(st);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    for (int i = 0; i < columns; ++i) {
      if (sqlite3_column_type(st, i) == SQLITE_TEXT) {
        const unsigned char* t = sqlite3_column_text(st, i);
        const int n = sqlite3_column_bytes(st, i);
        for (int j = 0; j < n; ++j) *sum = *sum * 31 + t[j];
      } else {
        *sum += (uint64_t)sqlite3_column_int64(st, i);
      }
    }
    ++*rows;
  }
  sqlite3_finalize(st);
  return rc == SQLITE_DONE ? 0 : -1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s net.db\n", argv[0]);
    return 2;
  }
  sqlite3* db = NULL;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY, NULL) != SQLITE_OK) {
    fprintf(stderr, "%s: %s\n", argv[1], db ? sqlite3_errmsg(db) : "cannot open");
    return 1;
  }
  long rows = 0;
  uint64_t sum = 0;
  if (read_table(db, "SELECT * FROM register", &rows, &sum) != 0 ||
      read_table(db, "SELECT * FROM karty", &rows, &sum) != 0) {
    fprintf(stderr, "%s: %s\n", argv[1], sqlite3_errmsg(db));
    sqlite3_close(db);
    return 1;
  }
  sqlite3_close(db);
  printf("%ld rows, checksum %llu\n", rows, (unsigned long long)sum);
  return 0;
}
