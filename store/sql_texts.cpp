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

namespace {
// What an empty LCD text is stored as.
const std::string& lcd_or_dashes(const std::string& lcd) {
  static const std::string kDashes = "---";
  return lcd.empty() ? kDashes : lcd;
}
}  // namespace

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

std::array<SqlValue, 2> update_setting_values(int32_t value, std::string_view key) {
  return {int64_t{value}, key};
}

std::string update_setting_text(int32_t value, std::string_view key) {
  return "UPDATE setings set val= " + std::to_string(value) + " where PARAMETR = \"" +
         std::string(key) + "\" ;";
}

std::string journal_mode(const std::string& mode) {
  return std::string(kJournalMode) + "=" + mode;
}

}  // namespace netbuf::sql
