// Stores one batch as one transaction: the events with the counter that
// numbers them, the read pointer, the changed registers and cards and the
// settings, all or nothing. Runs wherever the connection lives: on the
// storage thread in netbuf, on the caller's thread in tests and tools.
#pragma once

#include <string_view>

#include "core/storage_batch.h"
#include "store/status.h"

namespace netbuf {

class Database;

// One setting stored by its key. A failure names the statement with its
// values written in, as the operator has always read it.
Status update_setting(Database& db, std::string_view key, int32_t value);

// The file at the path is followed first, so the batch goes to the file the
// path names now; a read-only connection is reopened when the file allows.
StorageResult commit_batch(Database& db, const StorageBatch& batch);

// The log truncated once more after a reader held it back, between batches;
// false while it is still held. Nothing is done when another program wrote
// to the file meanwhile: the next batch looks at that first.
bool retry_checkpoint(Database& db);

}  // namespace netbuf
