// Every SQL statement netbuf sends to net.db, assembled in one place. Values
// are spliced as decimal literals, texts between double quotes, or bound to
// the kept statements' `?`.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/event_values.h"
#include "store/sql_value.h"

namespace netbuf::sql {

inline constexpr const char* kSelectRegister = "SELECT * FROM register";
inline constexpr const char* kSelectKarty = "SELECT * FROM karty";
inline constexpr const char* kSelectSetings = "SELECT * FROM setings";

// A text between double quotes, any double quote in it doubled so that it
// cannot end the literal early.
std::string quoted(const std::string& text);

using netbuf::EventValues;

// The statements run per request or per tick, kept prepared by the connection
// with a `?` for each value (a bound text is never taken for a column name).
// kSelectEvents: events with first <= Id <= last in ascending Id order, each
// Id once, at most `count` of them. Where the PC set the counter back and an
// Id is stored twice, SQLite takes the other columns from the row with
// max(rowid): the most recently stored. Walks the event_id index, no sort.
inline constexpr const char* kUpdateRegister = "UPDATE register set val=? where adres =? ;";
inline constexpr const char* kUpdateCard =
    "UPDATE karty  set typ =?,kod = ?,LCD=? , time_zone = ?, geo_zone = ? where  numer = ?;";
inline constexpr const char* kInsertEvent =
    "INSERT INTO event(ID,typ,ADR485,time,timezone,typ_kodu,kod1,kod2,kod3,kod4,kod5,status,"
    "code_no,alarm,event,q5) VALUES (?,80,?,?,?,?,?,?,?,?,?,?,?,0,0,0);";
inline constexpr const char* kSelectEvents =
    "SELECT *, max(rowid) FROM event WHERE ID >= ? AND ID <= ? GROUP BY ID ORDER BY ID LIMIT ?;";

// The values for those texts, in the order of their `?`. Texts refer to the
// arguments: they must outlive the run.
std::array<SqlValue, 2> update_register_values(int32_t val, int adres);
std::array<SqlValue, 6> update_card_values(int32_t typ, const std::string& kod,
                                           const std::string& lcd, int32_t time_zone,
                                           int32_t geo_zone, int numer);
std::array<SqlValue, 12> insert_event_values(const EventValues& v);
std::array<SqlValue, 3> select_events_values(int64_t first, int64_t last, int count);

// Transactions group a write-back tick, and an event row with its counter.
inline constexpr const char* kBegin = "BEGIN";
inline constexpr const char* kCommit = "COMMIT";
inline constexpr const char* kRollback = "ROLLBACK";

// The journal mode: read, WAL while netbuf runs, the file's own at a stop.
inline constexpr const char* kJournalMode = "PRAGMA journal_mode";
inline constexpr const char* kJournalModeWal = "PRAGMA journal_mode=WAL";
std::string journal_mode(const std::string& mode);
inline constexpr const char* kCheckpoint = "PRAGMA wal_checkpoint(PASSIVE)";
inline constexpr const char* kCheckpointTruncate = "PRAGMA wal_checkpoint(TRUNCATE)";
// Changes whenever another connection has committed to the file.
inline constexpr const char* kDataVersion = "PRAGMA data_version";

// A restore's checks: the backup is a netbuf database and sound, and what
// the result holds.
inline constexpr const char* kCountNetbufTables =
    "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
    "('register', 'karty', 'setings', 'event')";
inline constexpr const char* kQuickCheck = "PRAGMA quick_check";
inline constexpr const char* kIntegrityCheck = "PRAGMA integrity_check";
inline constexpr const char* kCountEvent = "SELECT count(*) FROM event";
inline constexpr const char* kStoredCounter =
    "SELECT (SELECT val FROM register WHERE adres = 804) * 65536 + "
    "(SELECT val FROM register WHERE adres = 805)";

// Settings keys, in the order "Zapisz" stores them.
inline constexpr const char* kKeyCom1 = "COM1";
inline constexpr const char* kKeyDelay1 = "DELAY1";
inline constexpr const char* kKeyPortTcp = "PORT_TCP";
inline constexpr const char* kKeyService = "SERVICE";
inline constexpr const char* kKeyNCard = "N_CARD";
inline constexpr const char* kKeySCard = "S_CARD";

// A setting's value by its key.
inline constexpr const char* kUpdateSetting = "UPDATE setings set val= ? where PARAMETR = ? ;";
std::array<SqlValue, 2> update_setting_values(int32_t value, std::string_view key);
// kUpdateSetting with its values written in: how a failure names it.
std::string update_setting_text(int32_t value, std::string_view key);

}  // namespace netbuf::sql
