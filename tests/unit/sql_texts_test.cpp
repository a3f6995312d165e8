// The statements netbuf sends, byte for byte: other tools and stored files
// were written against these exact texts.
#include "store/sql_texts.h"

#include <gtest/gtest.h>

namespace netbuf {

TEST(SqlTexts, StatementsAreTheSystemsOwnTexts) {
  EXPECT_EQ(sql::update_register(8, 805), "UPDATE register set val=8 where adres =805 ;");
  EXPECT_EQ(sql::update_register(-1, 0), "UPDATE register set val=-1 where adres =0 ;");
  EXPECT_EQ(sql::update_card(1, "00A1B2C3D4", "", 3, 1, 5),
            "UPDATE karty  set typ =1,kod = \"00A1B2C3D4\",LCD=\"---\" , time_zone = 3, "
            "geo_zone = 1 where  numer = 5;");
  EXPECT_EQ(sql::select_events(8, 15, 7),
            "SELECT *, max(rowid) FROM event WHERE ID >= 8 AND ID <= 15 GROUP BY ID ORDER BY ID "
            "LIMIT 7;");
  EXPECT_EQ(sql::update_setting("503", sql::kKeyPortTcp),
            "UPDATE setings set val= 503 where PARAMETR = \"PORT_TCP\" ;");

  sql::EventValues v;
  v.id = 7;
  v.adr485 = 3;
  v.time = 1553932800;
  v.timezone = 0x80000005u;
  v.kod = {17, 34, 51, 68, 85};
  v.status = 4;
  v.code_no = 4;
  EXPECT_EQ(sql::insert_event(v),
            "INSERT INTO event(ID,typ,ADR485,time,timezone,typ_kodu,kod1,kod2,kod3,kod4,kod5,"
            "status,code_no,alarm,event,q5) VALUES (7,80,3,1553932800,2147483653,42,17,34,51,68,"
            "85,4,4,0,0,0);");
}

TEST(SqlTexts, QuotedTextsCannotEndTheirLiteral) {
  EXPECT_EQ(sql::quoted("a\"b"), "\"a\"\"b\"");
  EXPECT_EQ(sql::update_card(0, "\"", "x\"y", 0, 0, 1),
            "UPDATE karty  set typ =0,kod = \"\"\"\",LCD=\"x\"\"y\" , time_zone = 0, "
            "geo_zone = 0 where  numer = 1;");
}

}  // namespace netbuf
