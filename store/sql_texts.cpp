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

std::string update_card(int32_t typ, const std::string& kod, const std::string& lcd,
                        int32_t time_zone, int32_t geo_zone, int numer) {
  return "UPDATE karty  set typ =" + dec(typ) + ",kod = " + quoted(kod) +
         ",LCD=" + quoted(lcd.empty() ? "---" : lcd) + " , time_zone = " + dec(time_zone) +
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

std::string update_setting(const std::string& value_text, const char* key) {
  return "UPDATE setings set val= " + value_text + " where PARAMETR = \"" + key + "\" ;";
}

}  // namespace netbuf::sql
