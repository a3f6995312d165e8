// Why a storage call failed, kept as what SQLite (or the system) said rather
// than as finished prose: the result code tells a lock held by another
// program from a full disk, and the text is put together only where it is
// shown.
#pragma once

#include <string>
#include <string_view>

namespace netbuf {

struct StoreError {
  // What netbuf was doing ("Error executing SQL"), or the whole of a message
  // of its own when SQLite has nothing to add.
  std::string message;
  // SQLite's result code; 0 when the failure is not SQLite's.
  int code = 0;
  // The statement, and SQLite's own words about it.
  std::string statement;
  std::string detail;
  // The system's errno behind it, where one is known; 0 otherwise.
  int sys_errno = 0;

  StoreError() = default;
  explicit StoreError(std::string why) : message(std::move(why)) {}

  bool empty() const { return message.empty() && code == 0; }
  // The disk is full or refuses: trying again at once changes nothing.
  bool disk_trouble() const;

  // The message with the code, its text, the statement and SQLite's words,
  // each part after `separator`.
  std::string text(std::string_view separator = "\r") const;
};

// The text for an SQLite result code, as the messages carry it.
std::string sqlite_code_text(int code);

}  // namespace netbuf
