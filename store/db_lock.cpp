#include "store/db_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace netbuf {

namespace {

constexpr const char* kSuffix = ".lock";

long read_pid(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  return pid > 0 ? pid : 0;
}

// The lock file, made when missing (0640 like net.db). Where the directory
// takes no new file (a read-only mount) an existing lock file is opened for
// reading, which flock() needs no more than, and failing that net.db itself:
// a flock() there leaves SQLite's fcntl() locks alone on Linux.
int open_lock(const std::string& db_path, const std::string& lock_path, bool& writable,
              bool& lock_file) {
  writable = true;
  lock_file = true;
  int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (fd >= 0) {
    // Made by root (netbuf-db run without runuser): the service's user must
    // still open it, or the two would lock different files.
    struct stat db {};
    if (::geteuid() == 0 && ::stat(db_path.c_str(), &db) == 0)
      (void)!::fchown(fd, db.st_uid, db.st_gid);
    return fd;
  }
  writable = false;
  fd = ::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0) return fd;
  lock_file = false;
  fd = ::open(db_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) return fd;
  throw std::runtime_error(lock_path + ": " + std::strerror(errno));
}

}  // namespace

std::string db_lock_path(const std::string& db_path) {
  char real[PATH_MAX];
  if (::realpath(db_path.c_str(), real) == nullptr) return {};
  return std::string(real) + kSuffix;
}

DbLock::~DbLock() {
  if (fd_ >= 0) ::close(fd_);
}

DbLock::Outcome DbLock::take(const std::string& db_path) {
  const std::string lock_path = db_lock_path(db_path);
  if (lock_path.empty()) return Outcome::NoFile;
  bool writable = false;
  bool lock_file = false;
  const std::string real = lock_path.substr(0, lock_path.size() - std::strlen(kSuffix));
  const int fd = open_lock(real, lock_path, writable, lock_file);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    holder_ = lock_file ? read_pid(fd) : 0;
    ::close(fd);
    if (e == EWOULDBLOCK) return Outcome::Held;
    throw std::runtime_error(lock_path + ": " + std::strerror(e));
  }
  if (writable) {
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
      // The lock holds without the PID; a refused netbuf then names no holder.
    }
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  holder_ = 0;
  return Outcome::Taken;
}

}  // namespace netbuf
