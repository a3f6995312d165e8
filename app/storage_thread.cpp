#include "app/storage_thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include "store/batch_commit.h"

namespace netbuf {

namespace {

// Off the loop a lock held by a backup or the installer's tool is worth
// waiting for: the batch grows meanwhile and goes in one commit.
constexpr int kWriterBusyMs = 2000;
// A log a reader held back is tried again this often while no batch comes:
// a file whose log holds nothing it lacks can be copied over and followed.
constexpr auto kCheckpointRetry = std::chrono::milliseconds(100);

}  // namespace

StorageThread::StorageThread(std::string db_path)
    : path_(std::move(db_path)), event_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  thread_ = std::thread([this] { run(); });
}

StorageThread::~StorageThread() {
  finish();
  if (event_fd_ >= 0) ::close(event_fd_);
}

void StorageThread::set_path(std::string db_path) {
  const std::lock_guard<std::mutex> lock(m_);
  path_ = std::move(db_path);
}

void StorageThread::submit(StorageBatch batch) {
  {
    const std::lock_guard<std::mutex> lock(m_);
    job_ = std::move(batch);
  }
  cv_.notify_all();
}

std::optional<StorageResult> StorageThread::take_result() {
  std::optional<StorageResult> r;
  const std::lock_guard<std::mutex> lock(m_);
  r.swap(result_);
  return r;
}

void StorageThread::acknowledge() {
  uint64_t n = 0;
  while (::read(event_fd_, &n, sizeof n) > 0) {
  }
}

StorageResult StorageThread::wait_result() {
  {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return result_.has_value(); });
  }
  return take_result().value_or(StorageResult{});
}

std::string StorageThread::finish() {
  if (!thread_.joinable()) return finish_error_;
  {
    const std::lock_guard<std::mutex> lock(m_);
    quit_ = true;
  }
  cv_.notify_all();
  thread_.join();
  return finish_error_;
}

void StorageThread::run() {
  db_.set_busy_timeout(kWriterBusyMs);
  bool opened = false;
  bool log_held = false;
  for (;;) {
    std::optional<StorageBatch> job;
    std::string path;
    {
      std::unique_lock<std::mutex> lock(m_);
      const auto ready = [this] { return job_.has_value() || quit_; };
      if (log_held && !cv_.wait_for(lock, kCheckpointRetry, ready)) {
        lock.unlock();
        log_held = !retry_checkpoint(db_);
        continue;
      }
      cv_.wait(lock, ready);
      if (!job_) break;  // quitting with nothing left to store
      job.swap(job_);
      path = path_;
    }
    if (!opened) {
      opened = true;
      try {
        db_.open(path);
      } catch (const std::exception&) {
        // Missing or unreadable: each batch follows the path again.
      }
    }
    StorageResult r;
    try {
      r = commit_batch(db_, *job);
      log_held = r.wal_held;
    } catch (const std::exception& e) {
      // Out of memory and the like: refused like any other failure, and the
      // loop keeps what it handed over.
      db_.rollback();
      r.error = StoreError(e.what());
    }
    {
      const std::lock_guard<std::mutex> lock(m_);
      result_ = std::move(r);
    }
    const uint64_t one = 1;
    (void)!::write(event_fd_, &one, sizeof one);
    cv_.notify_all();
  }
  // Back to the file's own journal mode, so a plain copy is a whole backup
  // and older tools open it.
  finish_error_ = db_.restore_journal_mode();
  db_.close();
}

}  // namespace netbuf
