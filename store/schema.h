// How a fresh net.db is laid out, and the read-only queries the installer's
// tool uses to inspect one. The running system never creates anything; it
// only updates the rows made here and inserts events.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/hex_text.h"
#include "store/sql_texts.h"

namespace netbuf::schema {

// Integer columns are declared INTEGER in upper case: the reader decides a
// column's kind from that exact word and refuses an integer read of anything
// else. Text columns keep leading zeros of card codes.
inline constexpr const char* kCreateRegister =
    "CREATE TABLE register(adres INTEGER, val INTEGER, opis TEXT)";
inline constexpr const char* kCreateKarty =
    "CREATE TABLE karty(numer INTEGER, typ INTEGER, kod TEXT, lcd TEXT, time_zone INTEGER, "
    "geo_zone INTEGER)";
inline constexpr const char* kCreateSetings = "CREATE TABLE setings(PARAMETR TEXT, val INTEGER)";
inline constexpr const char* kCreateEvent =
    "CREATE TABLE event(ID INTEGER, typ INTEGER, ADR485 INTEGER, time INTEGER, timezone INTEGER, "
    "typ_kodu INTEGER, kod1 INTEGER, kod2 INTEGER, kod3 INTEGER, kod4 INTEGER, kod5 INTEGER, "
    "status INTEGER, code_no INTEGER, alarm INTEGER, event INTEGER, q5 INTEGER)";
// Not unique: after the PC sets the counter back, a repeated Id must still be
// stored rather than lose the event.
inline constexpr const char* kCreateEventIndex = "CREATE INDEX event_id ON event(ID)";
// Write-back finds its row by adres or numer; without these every UPDATE
// scans the whole table, and a tick storing all 9000 registers takes seconds.
inline constexpr const char* kCreateRegisterIndex =
    "CREATE INDEX register_adres ON register(adres)";
inline constexpr const char* kCreateKartyIndex = "CREATE INDEX karty_numer ON karty(numer)";

// One row per register address 0 ... 8999 and per card number 1 ... 20001:
// the running system only updates, so a missing row would silently lose data.
inline constexpr const char* kFillRegister =
    "INSERT INTO register(adres, val, opis) "
    "WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM n WHERE x < 8999) "
    "SELECT x, 0, '' FROM n";
inline constexpr const char* kFillKarty =
    "INSERT INTO karty(numer, typ, kod, lcd, time_zone, geo_zone) "
    "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 20001) "
    "SELECT x, 0, '', '---', 0, 0 FROM n";

// Tables first, then the rows, then their lookup indexes (built in one go
// over the filled tables); the setings rows come from insert_setting.
inline constexpr std::array<const char*, 9> kCreateStatements = {
    kCreateRegister, kCreateKarty, kCreateSetings,       kCreateEvent,      kCreateEventIndex,
    kFillRegister,   kFillKarty,   kCreateRegisterIndex, kCreateKartyIndex,
};

struct SettingDefault {
  const char* key;
  int32_t value;
};
// COM1 stays 0 until the installer wires a reader line.
inline constexpr std::array<SettingDefault, 6> kSettingDefaults = {{
    {sql::kKeyCom1, 0},
    {sql::kKeyDelay1, 30},
    {sql::kKeyPortTcp, 502},
    {sql::kKeyService, 1060},
    {sql::kKeyNCard, 0},
    {sql::kKeySCard, 0},
}};

inline std::string insert_setting(const char* key, int64_t value) {
  return "INSERT INTO setings(PARAMETR, val) VALUES (" + sql::quoted(key) + ", " + dec(value) + ")";
}

// Inspection queries of the installer's tool.
inline constexpr const char* kCountEvents = "SELECT COUNT(*) AS n FROM event";
inline constexpr const char* kSelectShownRegisters =
    "SELECT adres, val FROM register WHERE adres IN (800, 801, 804, 805, 3170) ORDER BY adres";

// limit < 0: no limit.
inline std::string select_events_from(int64_t first_id, int64_t limit) {
  return "SELECT * FROM event WHERE ID >= " + dec(first_id) + " ORDER BY ID, rowid LIMIT " +
         dec(limit);
}

}  // namespace netbuf::schema
