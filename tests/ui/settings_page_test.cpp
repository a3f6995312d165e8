// "Zapisz" pressed on the real window against a real net.db.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <string>

#include "store/schema.h"
#include "store/database.h"
#include "tests/ui/attached_form.h"

namespace netbuf {
namespace {

class SettingsPage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    db_path_ = (dir_.path() + "/net.db").toStdString();
    Database db;
    db.open(db_path_, true);
    for (const char* create : schema::kCreateStatements) ASSERT_TRUE(db.run(create));
    for (const auto& s : schema::kSettingDefaults)
      ASSERT_TRUE(
          db.run(schema::insert_setting(s.key, s.key == std::string("PORT_TCP") ? 0 : s.value)));
    ASSERT_TRUE(db.run("UPDATE setings SET val=0 WHERE PARAMETR='SERVICE'"));
    a_ = std::make_unique<testing::AttachedForm>(dir_.path());
    host_ = &a_->host;
    form_ = &a_->form;
    host_->start_up();
    ASSERT_TRUE(a_->attach());
  }
  template <class W>
  W* find(const char* name) {
    return form_->findChild<W*>(QString::fromLatin1(name));
  }
  // "Zapisz" reaches netbuf as a request and hands the statements to the
  // storage path: its result comes back on the loop.
  void wait_stored() {
    testing::wait_until([this] { return host_->context().st.upkeep.batch.out; }, 1000);
    QElapsedTimer t;
    t.start();
    while (host_->context().st.upkeep.batch.out && t.elapsed() < 10000)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  int64_t setting(const char* key) {
    Database db;
    db.open(db_path_);
    int64_t val = -1;
    const Column c[] = {{"val", As::Integer}};
    const Status s = db.query(std::string("SELECT val FROM setings WHERE PARAMETR='") + key + "'",
                              c, [&val](const Row& r) { val = r.integer(0); });
    EXPECT_TRUE(s) << s.error();
    return val;
  }

  QTemporaryDir dir_;
  std::string db_path_;
  std::unique_ptr<testing::AttachedForm> a_;
  ControlHost* host_ = nullptr;
  TForm1* form_ = nullptr;
};

TEST_F(SettingsPage, ZapiszStoresWhatTheControlsShowAndRefusesNonPorts) {
  find<QSlider>("TrackBar1")->setValue(120);
  find<QLineEdit>("Edit2")->setText("1502");
  find<QLineEdit>("Edit3")->setText("1060; DROP TABLE karty");
  find<QCheckBox>("CheckBox1")->setChecked(true);
  find<QCheckBox>("CheckBox16")->setChecked(true);
  find<QCheckBox>("CheckBox32")->setChecked(true);
  ::testing::internal::CaptureStderr();
  find<QPushButton>("Button7")->click();
  wait_stored();
  const std::string err = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(setting("DELAY1"), 120);
  EXPECT_EQ(setting("PORT_TCP"), 1502);
  EXPECT_EQ(setting("SERVICE"), 0);  // not a port number: nothing stored
  EXPECT_EQ(setting("N_CARD"), 32769);
  EXPECT_EQ(setting("S_CARD"), 1);
  EXPECT_NE(err.find("blad zapisu portu uslug specjalnych"), std::string::npos) << err;
  EXPECT_EQ(host_->poll_timer().interval(), 120);  // takes effect at once
  EXPECT_EQ(host_->context().st.n_card, 32769);
}

TEST_F(SettingsPage, ZapiszOnALockedDatabaseShowsEachFailure) {
  Database holder;
  holder.open(db_path_);
  ASSERT_TRUE(holder.run("BEGIN EXCLUSIVE"));
  ::testing::internal::CaptureStderr();
  find<QPushButton>("Button7")->click();
  wait_stored();
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(holder.run("ROLLBACK"));
  for (const char* text :
       {"blad zapisu konfiguracji", "blad zapisu portu TCP", "blad zapisu portu uslug specjalnych",
        "blad zapisu portu parametru: N_CARD", "blad zapisu portu parametru: S_CARD"})
    EXPECT_NE(err.find(text), std::string::npos) << text << "\n" << err;
  EXPECT_EQ(setting("DELAY1"), 30);
}

}  // namespace
}  // namespace netbuf
