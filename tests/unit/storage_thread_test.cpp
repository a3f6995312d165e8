// The storage thread as the loop uses it: batches handed over one at a time,
// the result announced on a descriptor the loop watches, and the file back
// in its own journal mode at the end. Run under ThreadSanitizer in CI.
#include "app/storage_thread.h"

#include <gtest/gtest.h>
#include <poll.h>

#include "tests/unit/test_db.h"

namespace netbuf {
namespace {

TEST(StorageThread, StoresEachBatchOffTheCallerAndAnnouncesItsResult) {
  testing::TempDb tdb;
  tdb.create(900, 0);
  {
    StorageThread storage(tdb.path());
    for (int id = 1; id <= 30; ++id) {
      StorageBatch b;
      EventValues e;
      e.id = id;
      b.events.push_back(e);
      b.registers.push_back(RegisterRow{805, id});
      storage.submit(std::move(b));
      pollfd p{storage.notify_fd(), POLLIN, 0};
      ASSERT_EQ(::poll(&p, 1, 10000), 1);
      // Acknowledged: the descriptor is quiet until the next result.
      storage.acknowledge();
      EXPECT_EQ(::poll(&p, 1, 0), 0);
      const std::optional<StorageResult> r = storage.take_result();
      ASSERT_TRUE(r);
      EXPECT_TRUE(r->committed) << r->error.text();
      EXPECT_FALSE(storage.take_result());
    }
    EXPECT_EQ(tdb.text("SELECT * FROM pragma_journal_mode"), "wal");
    EXPECT_EQ(storage.finish(), "");
  }
  EXPECT_EQ(tdb.scalar("SELECT count(*) FROM event"), 30);
  EXPECT_EQ(tdb.scalar("SELECT val FROM register WHERE adres=805"), 30);
  EXPECT_EQ(tdb.text("SELECT * FROM pragma_journal_mode"), "delete");
}

}  // namespace
}  // namespace netbuf
