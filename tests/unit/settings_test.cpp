#include "app/settings.h"

#include <gtest/gtest.h>

#include <memory>

#include "app/startup.h"
#include "app/storage_feed.h"
#include "fakes.h"
#include "test_db.h"

namespace netbuf {
namespace {

using testing::FakeWorld;
using testing::TempDb;

TEST(Settings, ApplyFollowsEachKeysRules) {
  auto w = std::make_unique<FakeWorld>();
  apply_setting(w->ctx, "DELAY1", 5);
  EXPECT_EQ(w->window.delay, 20);
  EXPECT_EQ(w->window.poll_ms, 20);
  apply_setting(w->ctx, "DELAY1", 1000);
  EXPECT_EQ(w->window.delay, 500);
  EXPECT_EQ(w->window.poll_ms, 1000);

  apply_setting(w->ctx, "COM1", 0);
  EXPECT_FALSE(w->serial.opened);
  EXPECT_TRUE(w->log.lines.empty());
  w->serial.fail_open = true;
  apply_setting(w->ctx, "COM1", 3);
  EXPECT_FALSE(w->window.poll_on);
  EXPECT_EQ(w->log.lines.back(), "nie można otwoży portu com3");
  w->serial.fail_open = false;
  apply_setting(w->ctx, "COM1", 4);
  EXPECT_TRUE(w->serial.opened);
  EXPECT_EQ(w->serial.number, 4);
  EXPECT_TRUE(w->window.poll_on);

  apply_setting(w->ctx, "PORT_TCP", 0);
  EXPECT_EQ(w->window.ports.pc, "502");
  EXPECT_FALSE(w->pc.listening);
  apply_setting(w->ctx, "PORT_TCP", 1502);
  EXPECT_EQ(w->window.ports.pc, "1502");
  EXPECT_EQ(w->log.lines.back(), "Port TCP nr: 1502 otwarty.");
  w->service.fail_open = true;
  apply_setting(w->ctx, "SERVICE", 1060);
  EXPECT_EQ(w->log.lines.back(), "nie można otwoży portu uslug specjalnych nr:1060");
  w->pc.fail_open = true;
  apply_setting(w->ctx, "PORT_TCP", 502);
  EXPECT_EQ(w->log.lines.back(), "nie można otwoży portu TCP nr:502");

  apply_setting(w->ctx, "N_CARD", 0x8001);
  apply_setting(w->ctx, "s_card", 7);  // keys are case-sensitive
  EXPECT_EQ(w->st.n_card, 0x8001);
  EXPECT_EQ(w->st.s_card, 0);
}

TEST(Settings, SaveStoresEveryKeyAndRefusesNonNumbers) {
  TempDb tdb;
  tdb.create(1, 1);
  for (const char* k : {"COM1", "DELAY1", "PORT_TCP", "SERVICE", "N_CARD", "S_CARD"})
    tdb.exec(std::string("INSERT INTO setings VALUES('") + k + "', 0)");
  auto w = std::make_unique<FakeWorld>();
  w->db.open(tdb.path());
  w->serial.number = 2;
  w->window.delay = 15;
  w->window.ports = {"503", "1 ; DELETE FROM karty"};
  w->window.ticked = {0x8001, 0x8000};
  save_settings(w->ctx);
  pump_storage(w->ctx);

  auto val = [&](const char* k) {
    return tdb.scalar(std::string("SELECT val FROM setings WHERE PARAMETR='") + k + "'");
  };
  EXPECT_EQ(val("COM1"), 2);
  EXPECT_EQ(val("DELAY1"), 15);
  EXPECT_EQ(val("PORT_TCP"), 503);
  EXPECT_EQ(val("SERVICE"), 0);
  EXPECT_EQ(val("N_CARD"), 32769);
  EXPECT_EQ(val("S_CARD"), 32768);
  EXPECT_EQ(tdb.scalar("SELECT count(*) FROM karty"), 1);
  EXPECT_EQ(w->op.boxes, std::vector<std::string>{"blad zapisu portu uslug specjalnych"});
  EXPECT_EQ(w->window.poll_ms, 15);
  EXPECT_EQ(w->st.n_card, 32769);
  EXPECT_EQ(w->pc.port_no, 0);  // a saved port applies at the next start

  // A read-only database: every statement reports its own message.
  auto ro = std::make_unique<FakeWorld>();
  ro->db.open(tdb.path());
  ASSERT_TRUE(ro->db.run("PRAGMA query_only = 1"));
  ro->window.ports.pc = "70000";
  save_settings(ro->ctx);
  // A port that is no number is refused at once; the rest when the file
  // refuses the commit.
  EXPECT_EQ(ro->op.boxes, std::vector<std::string>{"blad zapisu portu TCP"});
  pump_storage(ro->ctx);
  EXPECT_EQ(ro->op.boxes,
            (std::vector<std::string>{
                "blad zapisu portu TCP", "blad zapisu konfiguracji", "blad zapisu konfiguracji",
                "blad zapisu portu uslug specjalnych", "blad zapisu portu parametru: N_CARD",
                "blad zapisu portu parametru: S_CARD"}));
}

TEST(Startup, LoadsTablesAppliesSettingsAndRebuilds) {
  TempDb tdb;
  tdb.create(0, 0);
  tdb.exec(
      "INSERT INTO register VALUES(805, 7, 'licznik'), (1400, 1281, NULL), (9000, 5, ''),"
      " (-1, 5, ''), (3170, 10, '')");
  tdb.exec("INSERT INTO karty VALUES(1, 2, '0011223344', NULL, 3, 4), (20002, 1, 'X', '', 0, 0)");
  tdb.exec(
      "INSERT INTO setings VALUES('DELAY1', 40), ('DELAY1', 60), ('com1', 5),"
      " ('N_CARD', 1), ('PORT_TCP', 1502)");
  auto w = std::make_unique<FakeWorld>();
  start_up(w->ctx, tdb.path());
  EXPECT_EQ(w->st.registers[805].val, 7);
  EXPECT_EQ(w->st.registers[805].dirty, 0);
  EXPECT_EQ(w->st.cards[0].kod, "0011223344");
  EXPECT_EQ(w->st.cards[0].lcd, "");
  EXPECT_EQ(w->st.cards[0].geo_zone, 4);
  EXPECT_EQ(w->st.card_index().lowest("0011223344", 10), 0);
  EXPECT_EQ(w->window.poll_ms, 60);
  EXPECT_FALSE(w->serial.opened);  // lower-case key ignored
  EXPECT_TRUE(w->pc.listening);
  EXPECT_EQ(w->st.reader_count, 1);
  EXPECT_EQ(w->st.readers[1].adr485, 5);
  EXPECT_EQ(w->window.ticked.unknown_card, 1);
  EXPECT_EQ(w->window.events, 7);
}

TEST(Startup, MissingTableStopsAfterWhatWasLoaded) {
  TempDb tdb;
  tdb.exec("CREATE TABLE register(adres INTEGER, val INTEGER, opis TEXT)");
  tdb.exec("INSERT INTO register VALUES(3170, 9, '')");
  auto w = std::make_unique<FakeWorld>();
  try {
    start_up(w->ctx, tdb.path());
    FAIL() << "start-up must report the missing table";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error executing SQL.\rError [1]: SQL error or missing "
                                          "database.\r\"SELECT * FROM karty\": ",
                                          0),
              0u)
        << e.what();
  }
  EXPECT_EQ(w->st.registers[3170].val, 9);
  EXPECT_EQ(w->window.status_updates, 0);  // no rebuild
}

// After start-up the connection serves the PC's readout on the loop: a file
// not in WAL mode, held by another writer, fails the read at once, and the
// failure names the lock.
TEST(Startup, TheLoopsConnectionWaitsForNoLock) {
  TempDb tdb;
  tdb.create(0, 0);
  tdb.exec("INSERT INTO event(ID) VALUES(1)");
  auto w = std::make_unique<FakeWorld>();
  start_up(w->ctx, tdb.path());
  Database holder;
  holder.open(tdb.path());
  testing::must_run(holder, "BEGIN EXCLUSIVE");
  const Column id[] = {{"ID", As::Integer}};
  const Status s = w->db.query("SELECT ID FROM event", id, [](const Row&) {});
  EXPECT_EQ(s.error().rfind("Could not retrieve data.\rError [5]: The database file is locked.", 0),
            0u)
      << s.error();
  testing::must_run(holder, "ROLLBACK");
  EXPECT_TRUE(w->db.query("SELECT ID FROM event", id, [](const Row&) {}));
}

}  // namespace
}  // namespace netbuf
