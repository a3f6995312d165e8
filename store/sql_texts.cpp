#include "store/sql_texts.h"

#include "core/hex_text.h"

namespace netbuf::sql {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string update_register(int32_t val, int adres) {
  return "UPDATE register set val=" + dec(val) + " where adres =" + dec(adres) + " ;";
}

namespace {
// What an empty LCD text is stored as.
const std::string& lcd_or_dashes(const std::string& lcd) {
  static const std::string kDashes = "---";
  return lcd.empty() ? kDashes : lcd;
}
}  // namespace

std::string update_card(int32_t typ, const std::string& kod, const std::string& lcd,
                        int32_t time_zone, int32_t geo_zone, int numer) {
  return "UPDATE karty  set typ =" + dec(typ) + ",kod = " + quoted(kod) +
         ",LCD=" + quoted(lcd_or_dashes(lcd)) + " , time_zone = " + dec(time_zone) +
         ", geo_zone = " + dec(geo_zone) + " where  numer = " + dec(numer) + ";";
}

std::string insert_event(const EventValues& v) {
  std::string s =
      "INSERT INTO event(ID,typ,ADR485,time,timezone,typ_kodu,kod1,kod2,kod3,kod4,kod5,status,"
      "code_no,alarm,event,q5)";
  // Appended piece by piece: GCC 12 at -O3 takes `"literal" + std::string&&`
  // here for an overlapping copy (a false -Wrestrict).
  const auto field = [&s](int64_t n) {
    s += ',';
    s += dec(n);
  };
  s += " VALUES (";
  s += dec(v.id);
  s += ",80";
  field(v.adr485);
  field(v.time);
  field(static_cast<int64_t>(v.timezone));
  field(v.typ_kodu);
  for (int32_t k : v.kod) field(k);
  field(v.status);
  field(v.code_no);
  s += ",0,0,0);";
  return s;
}

std::string select_events(int64_t first, int64_t last, int count) {
  return "SELECT *, max(rowid) FROM event WHERE ID >= " + dec(first) + " AND ID <= " + dec(last) +
         " GROUP BY ID ORDER BY ID LIMIT " + dec(count) + ";";
}

std::array<SqlValue, 2> update_register_values(int32_t val, int adres) {
  return {int64_t{val}, int64_t{adres}};
}

std::array<SqlValue, 6> update_card_values(int32_t typ, const std::string& kod,
                                           const std::string& lcd, int32_t time_zone,
                                           int32_t geo_zone, int numer) {
  return {int64_t{typ},       std::string_view(kod), std::string_view(lcd_or_dashes(lcd)),
          int64_t{time_zone}, int64_t{geo_zone},     int64_t{numer}};
}

std::array<SqlValue, 12> insert_event_values(const EventValues& v) {
  return {int64_t{v.id},       int64_t{v.adr485},   v.time,
          int64_t{v.timezone}, int64_t{v.typ_kodu}, int64_t{v.kod[0]},
          int64_t{v.kod[1]},   int64_t{v.kod[2]},   int64_t{v.kod[3]},
          int64_t{v.kod[4]},   int64_t{v.status},   int64_t{v.code_no}};
}

std::array<SqlValue, 3> select_events_values(int64_t first, int64_t last, int count) {
  return {first, last, int64_t{count}};
}

std::string update_setting(const std::string& value_text, const char* key) {
  return "UPDATE setings set val= " + value_text + " where PARAMETR = \"" + key + "\" ;";
}

std::string journal_mode(const std::string& mode) {
  return std::string(kJournalMode) + "=" + mode;
}

}  // namespace netbuf::sql
