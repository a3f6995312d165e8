#include "app/startup.h"

#include <span>
#include <stdexcept>

#include "app/settings.h"
#include "core/log_texts.h"
#include "core/reader_rebuild.h"
#include "store/database.h"
#include "store/sql_texts.h"

namespace netbuf {

namespace {

constexpr Column kRegisterColumns[] = {
    {"adres", As::Integer}, {"val", As::Integer}, {"opis", As::Text}};
constexpr Column kCardColumns[] = {{"numer", As::Integer},     {"typ", As::Integer},
                                   {"time_zone", As::Integer}, {"geo_zone", As::Integer},
                                   {"kod", As::Text},          {"lcd", As::Text}};
constexpr Column kSettingColumns[] = {{"val", As::Integer}, {"PARAMETR", As::Text}};

// A table that cannot be read whole stops the start-up.
void load(Database& db, const char* sql, std::span<const Column> columns,
          const Database::EachRow& each_row) {
  if (Status s = db.query(sql, columns, each_row); !s) throw std::runtime_error(s.error());
}

}  // namespace

void start_up(Context& ctx, const std::string& db_path) {
  ctx.db.open(db_path);
  Database& db = ctx.db;
  // Loading still works; writes wait in memory until a tick can reopen it.
  ctx.st.upkeep.db_read_only_reason = db.read_only_reason();
  if (!db.read_only_reason().empty())
    ctx.st.upkeep.say(Severity::Warning, db_path + texts::kDbReadOnly + db.read_only_reason());
  BufferState& st = ctx.st;

  load(db, sql::kSelectRegister, kRegisterColumns, [&st](const Row& r) {
    // Judged as the 64-bit number it is, so 4294967296 is not register 0.
    const int64_t adres = r.integer(0);
    // Rows outside the register image have no place in it and are skipped.
    if (adres >= 0 && adres < kRegisterCount)
      st.registers[adres] = Register{static_cast<int32_t>(r.integer(1)), 0};
  });

  // Codes go straight into the table and are indexed once it is in, also
  // when a row stops the load half way.
  try {
    load(db, sql::kSelectKarty, kCardColumns, [&st](const Row& r) {
      // Numbers count from 1 and are judged as the 64-bit numbers they are:
      // 4294967297 is no card.
      const int64_t numer = r.integer(0);
      if (numer < 1 || numer > kCardCount) return;
      const auto k = static_cast<int>(numer - 1);
      CardEntry& c = st.cards[static_cast<size_t>(k)];
      c.typ = static_cast<int32_t>(r.integer(1));
      c.time_zone = static_cast<int32_t>(r.integer(2));
      c.geo_zone = static_cast<int32_t>(r.integer(3));
      c.lcd = r.text(5);
      c.dirty = 0;
      c.kod = r.text(4);
    });
  } catch (...) {
    st.index_cards();
    throw;
  }
  st.index_cards();

  load(db, sql::kSelectSetings, kSettingColumns,
       [&ctx](const Row& r) { apply_setting(ctx, r.text(1), static_cast<int32_t>(r.integer(0))); });

  rebuild_readers(ctx);
  // From here on the connection serves the loop (the PC's readout): it waits
  // for no lock. A read that meets one (a file not in WAL mode, a tool
  // holding it) fails at once, as any failed read does.
  db.set_busy_timeout(0);
}

}  // namespace netbuf
