#include "app/startup.h"

#include "app/settings.h"
#include "core/log_texts.h"
#include "core/reader_rebuild.h"
#include "store/sql_texts.h"

namespace netbuf {

namespace {

// A column of the current result by name, as read_int and read_text take it,
// looked up on the first row only: every row has the same columns, and six
// lookups on each of 29 000 rows were a visible part of start-up. Failures
// (a missing column, a wrong kind) come in the same order as before.
class Column {
 public:
  explicit Column(const char* name) : name_(name) {}
  int64_t read_int(const Database& db) {
    return db.current_result->ColumnAsInteger(index(*db.current_result));
  }
  std::string read_text(const Database& db) {
    return db.current_result->ColumnAsTextOrEmpty(index(*db.current_result));
  }

 private:
  int index(const TSQLiteTable& t) {
    if (index_ < 0) index_ = t.ColumnIndex(name_);
    return index_;
  }
  std::string name_;
  int index_ = -1;
};

}  // namespace

void start_up(Context& ctx, const std::string& db_path) {
  ctx.db.open(db_path);
  Database& db = ctx.db;
  // Loading still works; writes wait in memory until a tick can reopen it.
  if (!db.read_only_reason().empty())
    ctx.st.upkeep.say(Severity::Warning, db_path + texts::kDbReadOnly + db.read_only_reason());
  BufferState& st = ctx.st;

  db.open_query(sql::kSelectRegister);
  Column adres_col("adres"), val_col("val"), opis_col("opis");
  while (!db.current_result->AtEnd()) {
    // Judged as the 64-bit number it is, so 4294967296 is not register 0.
    const int64_t adres = adres_col.read_int(db);
    const auto val = static_cast<int32_t>(val_col.read_int(db));
    opis_col.read_text(db);
    // Rows outside the register image have no place in it and are skipped.
    if (adres >= 0 && adres < kRegisterCount) st.registers[adres] = Register{val, 0};
    db.current_result->NextRow();
  }

  db.open_query(sql::kSelectKarty);
  Column numer_col("numer"), typ_col("typ"), time_zone_col("time_zone"), geo_zone_col("geo_zone"),
      kod_col("kod"), lcd_col("lcd");
  while (!db.current_result->AtEnd()) {
    // Numbers count from 1 and are judged as the 64-bit numbers they are:
    // 4294967297 is no card.
    const int64_t numer = numer_col.read_int(db);
    const int64_t k = numer >= 1 && numer <= kCardCount ? numer - 1 : -1;
    const auto typ = static_cast<int32_t>(typ_col.read_int(db));
    const auto time_zone = static_cast<int32_t>(time_zone_col.read_int(db));
    const auto geo_zone = static_cast<int32_t>(geo_zone_col.read_int(db));
    std::string kod = kod_col.read_text(db);
    std::string lcd = lcd_col.read_text(db);
    if (k >= 0 && k < kCardCount) {
      Tcard& c = st.cards[static_cast<size_t>(k)];
      c.typ = typ;
      c.time_zone = time_zone;
      c.geo_zone = geo_zone;
      c.lcd = std::move(lcd);
      c.dirty = 0;
      st.set_card_kod(static_cast<int>(k), std::move(kod));
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
