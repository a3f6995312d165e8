// One netbuf per net.db. A second netbuf on the same file would serve the
// cards and the event counter it read at its own start, once the first one
// lets go of the ports: a revoked card opens, an Id is stored twice. The
// lock is a flock() on net.db.lock beside the real file (links resolved), so
// it dies with the process that holds it, whatever way it ends, and it does
// not touch SQLite's own fcntl() locks on net.db. The holder writes its PID
// into the file, so whoever is refused can name it.
#pragma once

#include <string>

namespace netbuf {

class DbLock {
 public:
  DbLock() = default;
  ~DbLock();
  DbLock(const DbLock&) = delete;
  DbLock& operator=(const DbLock&) = delete;

  enum class Outcome { Taken, Held, NoFile };
  // Takes the lock of the file that db_path names for the life of this
  // object. Held: another process has it (holder() names it). NoFile: there
  // is no such file to lock, nothing was taken. Throws when the lock cannot
  // be taken at all.
  Outcome take(const std::string& db_path);
  // The PID the holder wrote; 0 when it cannot be read.
  long holder() const { return holder_; }

 private:
  int fd_ = -1;
  long holder_ = 0;
};

// Where the lock of db_path lives; empty when db_path names no file.
std::string db_lock_path(const std::string& db_path);

}  // namespace netbuf
