// The storage path of a running netbuf: one thread with its own connection
// to net.db, so the loop never waits for a commit. The loop hands over one
// batch at a time and learns that its result is ready from notify_fd(),
// which a loop watches like a socket. The thread only writes; the loop keeps
// its own connection for reading.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "core/storage_batch.h"
#include "store/database.h"

namespace netbuf {

class StorageThread : public StoragePath {
 public:
  explicit StorageThread(std::string db_path = {});
  ~StorageThread() override;
  StorageThread(const StorageThread&) = delete;
  StorageThread& operator=(const StorageThread&) = delete;

  void submit(StorageBatch batch) override;
  std::optional<StorageResult> take_result() override;
  StorageResult wait_result() override;

  // The file to store to, when it was not known at construction; before the
  // first batch.
  void set_path(std::string db_path);

  // Becomes readable when a result is ready; the loop watches it and calls
  // acknowledge() before it takes the result, so a descriptor left readable
  // cannot wake the loop again and again.
  int notify_fd() const { return event_fd_; }
  void acknowledge();

  // Ends the thread once the batch out is stored: the file goes back to its
  // own journal mode (every other connection to it must be closed by then)
  // and the connection closes. Empty when that went through, else why not.
  std::string finish();

 private:
  void run();

  std::string path_;  // guarded by m_
  int event_fd_ = -1;
  std::mutex m_;
  std::condition_variable cv_;
  std::optional<StorageBatch> job_;
  std::optional<StorageResult> result_;
  bool quit_ = false;
  std::string finish_error_;
  // Touched by the thread only.
  Database db_;
  std::thread thread_;
};

}  // namespace netbuf
