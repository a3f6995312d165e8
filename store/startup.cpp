#include "store/startup.h"

#include "core/reader_rebuild.h"
#include "store/settings.h"
#include "store/sql_texts.h"

namespace netbuf {

void start_up(Context& ctx, const std::string& db_path) {
  ctx.db.open(db_path);
  Database& db = ctx.db;
  BufferState& st = ctx.st;

  db.open_query(sql::kSelectRegister);
  while (!db.current_result->AtEnd()) {
    const auto adres = static_cast<int32_t>(db.read_int("adres"));
    const auto val = static_cast<int32_t>(db.read_int("val"));
    db.read_text("opis");
    // Rows outside the register image have no place in it and are skipped.
    if (BufferState::valid_register(adres)) st.registers[adres] = Register{val, 0};
    db.current_result->NextRow();
  }

  db.open_query(sql::kSelectKarty);
  while (!db.current_result->AtEnd()) {
    const int k = static_cast<int32_t>(db.read_int("numer")) - 1;
    const auto typ = static_cast<int32_t>(db.read_int("typ"));
    const auto time_zone = static_cast<int32_t>(db.read_int("time_zone"));
    const auto geo_zone = static_cast<int32_t>(db.read_int("geo_zone"));
    std::string kod = db.read_text("kod");
    std::string lcd = db.read_text("lcd");
    if (BufferState::valid_card(k)) {
      Tcard& c = st.cards[k];
      c.typ = typ;
      c.time_zone = time_zone;
      c.geo_zone = geo_zone;
      c.lcd = std::move(lcd);
      c.dirty = 0;
      st.set_card_kod(k, std::move(kod));
    }
    db.current_result->NextRow();
  }

  db.open_query(sql::kSelectSetings);
  // The card table result is large; it is released with this query.
  while (!db.current_result->AtEnd()) {
    const auto v = static_cast<int32_t>(db.read_int("val"));
    const std::string p = db.read_text("PARAMETR");
    apply_setting(ctx, p, v);
    db.current_result->NextRow();
  }

  rebuild_readers(ctx);
}

}  // namespace netbuf
