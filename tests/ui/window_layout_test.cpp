#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSlider>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <string>

#include "core/log_texts.h"
#include "tests/ui/attached_form.h"
#include "tests/ui/ui_test_support.h"
#include "window/tform1.h"
#include "window/tray_icon.h"

namespace netbuf {
namespace {

class Form1Test : public testing::AttachedFormTest {
 protected:
  template <class W>
  W* find(const char* name) {
    W* w = form_->findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  static QString u(const char* s) { return QString::fromUtf8(s); }
};

using testing::spin;
using testing::wait_until;

// Text-bearing controls: name, position on their page (or the form), size
// where the layout fixes it, caption or initial text.
struct Placed {
  const char* name;
  int x, y, w, h;
  const char* text;
};

constexpr Placed kPlaced[] = {
    // Status
    {"Label1", 24, 48, -1, -1, "MAC :"},
    {"Label5", 200, 48, -1, -1, "0"},
    {"Label2", 24, 72, -1, -1, "Ilosc kodów:"},
    {"Label6", 200, 72, -1, -1, "0"},
    {"Label3", 24, 96, -1, -1, "Czytników:"},
    {"Label4", 200, 96, -1, -1, "0"},
    {"Label7", 24, 120, -1, -1, "Port RS:"},
    {"Label8", 200, 120, -1, -1, "?"},
    {"Label12", 24, 144, -1, -1, "Ilosc zdarzeń"},
    {"Label13", 200, 144, -1, -1, "0"},
    {"Label15", 24, 168, -1, -1, "Kolejne zdarzenie do odczytu"},
    {"Label14", 200, 168, -1, -1, "0"},
    {"Label22", 24, 192, -1, -1, "Klient"},
    {"Label21", 200, 192, -1, -1, "---"},
    {"Label24", 24, 448, -1, -1, "Wersja oprogramowania 1.6"},
    // Ustawienia
    {"Label9", 40, 80, -1, -1, "Port COM komunikacji RS485"},
    {"Label16", 40, 112, -1, -1, "Port komunikacji TCP"},
    {"Edit2", 192, 104, 145, -1, "502"},
    {"Label18", 40, 144, -1, -1, "Port uslug specjalnych"},
    {"Edit3", 192, 136, 145, -1, "1060"},
    {"Label11", 40, 176, -1, -1, "Delay"},
    {"Label17", 344, 184, -1, -1, "30"},
    {"Label19", 40, 264, -1, -1, "Dzwięk karta nierozpoznana "},
    {"Label20", 40, 296, -1, -1, "Niewłaściwa strefa czasowa"},
    {"Button7", 256, 400, 75, 33, "Zapisz"},
    {"Memo2", 360, 344, 185, 89, "Memo2"},
    {"Button3", 456, 440, -1, -1, "Button3"},
    // Monitor
    {"Memo1", 14, 16, 563, 321, ""},
    {"SpeedButton1", 16, 352, 41, 22, "start"},
    {"SpeedButton2", 64, 352, 41, 22, "Stop"},
    {"Label10", 208, 368, -1, -1, "Uaktualnianie bazy kodów kart"},
    {"Button5", 488, 344, 75, 25, "CLR"},
    {"Button2", 488, 392, 75, 28, "add event"},
    {"monitor_rs", 16, 392, -1, -1, "Transmisja RS485"},
    {"monitor_TCP", 16, 416, -1, -1, "Transmisja TCP"},
    {"monitor_zd", 16, 440, -1, -1, "Zdarzenia"},
    {"monitor_tr", 200, 392, -1, -1, "Monitorowanie polaczeń"},
    // Below the pages
    {"CheckBox33", 8, 520, -1, -1, "Zakończ i zamknij program"},
    {"Button4", 256, 512, 75, 33, "Ukryj"},
};

QString text_of(QWidget* w) {
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  if (auto* m = qobject_cast<QPlainTextEdit*>(w)) return m->toPlainText();
  return QStringLiteral("<no text>");
}

TEST_F(Form1Test, EveryControlHasItsNamePlaceAndText) {
  EXPECT_EQ(form_->objectName(), "Form1");
  EXPECT_TRUE(form_->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(form_->geometry(), QRect(226, 126, 586, 549));
  EXPECT_EQ(form_->palette().color(QPalette::Window), QColor(58, 58, 58));
  EXPECT_EQ(form_->font().family(), "MS Sans Serif");
  EXPECT_EQ(form_->font().pointSize(), 8);

  auto* pager = find<QTabWidget>("AdvOfficePager1");
  ASSERT_NE(pager, nullptr);
  EXPECT_EQ(pager->geometry(), QRect(0, 0, 585, 505));
  ASSERT_EQ(pager->count(), 3);
  EXPECT_EQ(pager->tabText(0), "Status");
  EXPECT_EQ(pager->tabText(1), "Ustawienia");
  EXPECT_EQ(pager->tabText(2), "Monitor");
  EXPECT_EQ(pager->currentIndex(), 2);

  for (const Placed& p : kPlaced) {
    auto* w = find<QWidget>(p.name);
    if (!w) continue;
    EXPECT_EQ(w->pos(), QPoint(p.x, p.y)) << p.name;
    if (p.w >= 0) {
      EXPECT_EQ(w->width(), p.w) << p.name;
    }
    if (p.h >= 0) {
      EXPECT_EQ(w->height(), p.h) << p.name;
    }
    EXPECT_EQ(text_of(w), u(p.text)) << p.name;
  }

  // The buzzer-pattern boxes: two rows of 16, 16 pixels apart, box only.
  for (int n = 1; n <= 32; ++n) {
    const std::string name = "CheckBox" + std::to_string(n);
    auto* b = find<QCheckBox>(name.c_str());
    if (!b) continue;
    const int x = 200 + 16 * (n <= 16 ? n - 1 : n - 17);
    EXPECT_EQ(b->geometry(), QRect(x, n <= 16 ? 264 : 296, 17, 17)) << name;
    EXPECT_TRUE(b->text().isEmpty());
  }

  auto* picker = find<QComboBox>("nrDeviceBox1");
  ASSERT_NE(picker, nullptr);
  EXPECT_EQ(picker->pos(), QPoint(192, 72));
  EXPECT_EQ(picker->width(), 145);
  auto* slider = find<QSlider>("TrackBar1");
  ASSERT_NE(slider, nullptr);
  EXPECT_EQ(slider->geometry(), QRect(184, 168, 161, 33));
  auto* gauge = find<QProgressBar>("Gauge1");
  ASSERT_NE(gauge, nullptr);
  EXPECT_EQ(gauge->geometry(), QRect(120, 352, 345, 17));
}

TEST_F(Form1Test, InitialStateOfValuesSwitchesTimersAndHiddenControls) {
  const char* bold[] = {"Label1", "Label2", "Label3", "Label7", "Label12", "Label15", "Label22",
                        "Label5", "Label6", "Label4", "Label8", "Label13", "Label14", "Label21"};
  for (const char* name : bold) {
    auto* l = find<QLabel>(name);
    if (l) {
      EXPECT_TRUE(l->font().bold()) << name;
    }
  }
  EXPECT_FALSE(find<QLabel>("Label24")->font().bold());

  auto* slider = find<QSlider>("TrackBar1");
  EXPECT_EQ(slider->orientation(), Qt::Horizontal);
  EXPECT_EQ(slider->minimum(), 10);
  EXPECT_EQ(slider->maximum(), 500);
  EXPECT_EQ(slider->value(), 30);
  EXPECT_EQ(slider->tickPosition(), QSlider::TicksBelow);
  EXPECT_EQ(slider->tickInterval(), 20);
  auto* gauge = find<QProgressBar>("Gauge1");
  EXPECT_EQ(gauge->minimum(), 0);
  EXPECT_EQ(gauge->maximum(), 100);
  EXPECT_EQ(gauge->value(), 0);
  EXPECT_EQ(find<QComboBox>("nrDeviceBox1")->currentData().toInt(), 1);
  EXPECT_TRUE(find<QComboBox>("nrDeviceBox1")->currentText().startsWith("COM1"));

  for (int n = 1; n <= 33; ++n)
    EXPECT_FALSE(find<QCheckBox>(("CheckBox" + std::to_string(n)).c_str())->isChecked()) << n;
  for (const char* name : {"monitor_rs", "monitor_TCP", "monitor_zd", "monitor_tr"})
    EXPECT_FALSE(find<QCheckBox>(name)->isChecked()) << name;

  for (const char* name : {"Button2", "Button3", "Memo2"})
    EXPECT_TRUE(find<QWidget>(name)->isHidden()) << name;

  QTimer* t1 = &host_->write_back_timer();
  QTimer* t2 = &host_->poll_timer();
  QTimer* t3 = &host_->supervision_timer();
  EXPECT_EQ(t1->objectName(), "Timer1");
  EXPECT_EQ(t2->objectName(), "Timer2");
  EXPECT_EQ(t3->objectName(), "Timer3");
  EXPECT_TRUE(t1->isActive());
  EXPECT_EQ(t1->interval(), 3000);
  EXPECT_FALSE(t2->isActive());
  EXPECT_EQ(t2->interval(), 300);
  EXPECT_FALSE(t3->isActive());
  EXPECT_EQ(t3->interval(), 1000);

  auto* menu = find<QMenu>("PopupMenu1");
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->actions().size(), 2);
  EXPECT_EQ(menu->actions()[0]->objectName(), "Start1");
  EXPECT_EQ(menu->actions()[0]->text(), "Ukryj");
  EXPECT_EQ(menu->actions()[1]->objectName(), "Stop1");
  EXPECT_EQ(menu->actions()[1]->text(), "Okno programu");
}

TEST_F(Form1Test, LogicViewsReachTheirWidgets) {
  FormViews& v = form_->views();
  HeldViews& h = host_->views();
  auto* slider = find<QSlider>("TrackBar1");
  auto* label17 = find<QLabel>("Label17");
  slider->setValue(250);  // the operator moves it: Label17 follows, the timer does not
  EXPECT_EQ(label17->text(), "250");
  EXPECT_EQ(v.poll_delay(), 250);
  EXPECT_EQ(h.poll_interval(), 300);
  v.show_poll_delay(1000);  // the slider shows no more than its range
  EXPECT_EQ(v.poll_delay(), 500);
  EXPECT_EQ(label17->text(), "500");

  // Figures given to a hidden window wait; showing it puts the latest on at
  // once.
  auto* mac = find<QLabel>("Label5");
  const QString initial = mac->text();
  const int narrow = mac->width();
  h.show_device("0012-3456-789A", 41);
  h.show_device("0012-3456-789A", 42);
  h.show_readers(3, 7);
  h.show_event_counters(9, 65538);
  h.show_client("10.0.0.1");
  spin(100);  // the notices reach the window
  EXPECT_EQ(mac->text(), initial);
  EXPECT_EQ(v.changes_applied(), 0);
  form_->show();
  EXPECT_EQ(mac->text(), "0012-3456-789A");
  EXPECT_GT(mac->width(), narrow);  // labels grow with their text
  const struct {
    const char* label;
    const char* text;
  } shown[] = {{"Label6", "42"}, {"Label4", "3"},      {"Label8", "COM 7"},
               {"Label13", "9"}, {"Label14", "65538"}, {"Label21", "10.0.0.1"}};
  for (const auto& t : shown) EXPECT_EQ(find<QLabel>(t.label)->text(), t.text) << t.label;
  // While shown, changes are applied together (the short timer); a figure
  // that stays the same is not sent again.
  const int applied = v.changes_applied();
  h.show_event_counters(9, 65538);
  h.show_event_counters(10, 65538);
  h.show_event_counters(11, 65538);
  EXPECT_TRUE(wait_until([&] { return find<QLabel>("Label13")->text() == "11"; }));
  EXPECT_EQ(v.changes_applied(), applied + 1);

  // CheckBox1 is the most significant bit of the unknown-card pattern,
  // CheckBox17 that of the wrong-zone one; ticking never unticks.
  find<QCheckBox>("CheckBox1")->setChecked(true);
  find<QCheckBox>("CheckBox16")->setChecked(true);
  find<QCheckBox>("CheckBox17")->setChecked(true);
  EXPECT_EQ(v.buzzer_patterns().unknown_card, 0x8001);
  EXPECT_EQ(v.buzzer_patterns().wrong_zone, 0x8000);
  v.tick_buzzer_patterns({0x10002, 0x0001});
  EXPECT_TRUE(find<QCheckBox>("CheckBox15")->isChecked());
  EXPECT_TRUE(find<QCheckBox>("CheckBox1")->isChecked());
  EXPECT_TRUE(find<QCheckBox>("CheckBox32")->isChecked());
  EXPECT_EQ(v.buzzer_patterns().unknown_card, 0x8003);
  EXPECT_EQ(v.buzzer_patterns().wrong_zone, 0x8001);

  v.show_pc_port(503);
  find<QLineEdit>("Edit3")->setText("abc");
  EXPECT_EQ(find<QLineEdit>("Edit2")->text(), "503");
  EXPECT_EQ(v.port_texts().pc, "503");
  EXPECT_EQ(v.port_texts().service, "abc");
  v.show_service_port(1061);
  EXPECT_EQ(find<QLineEdit>("Edit3")->text(), "1061");

  h.show_card_store_progress(150);
  EXPECT_TRUE(wait_until([&] { return find<QProgressBar>("Gauge1")->value() == 100; }));

  // "start" and "Stop" switch the poll timer and nothing else.
  find<QAbstractButton>("SpeedButton1")->click();
  EXPECT_TRUE(wait_until([&] { return h.poll_timer(); }));
  h.set_poll_interval(1000);  // no upper limit
  EXPECT_EQ(host_->poll_timer().interval(), 1000);
  EXPECT_TRUE(h.poll_timer());
  find<QAbstractButton>("SpeedButton2")->click();
  EXPECT_TRUE(wait_until([&] { return !h.poll_timer(); }));
  EXPECT_FALSE(host_->context().serial.is_open());

  h.set_supervision_timer(true);
  EXPECT_TRUE(host_->supervision_timer().isActive());
  h.set_supervision_timer(false);
  EXPECT_FALSE(h.supervision_timer());

  form_->monitor().log_line("x");
  find<QAbstractButton>("Button5")->click();
  EXPECT_TRUE(find<QPlainTextEdit>("Memo1")->toPlainText().isEmpty());
}

TEST_F(Form1Test, TheReaderTableShowsEachAddressOnceWithItsLineFigures) {
  BufferState& st = host_->context().st;
  st.reader_count = 3;
  st.reader(1).adr485 = 5;
  st.reader(2).adr485 = 9;
  st.reader(3).adr485 = 5;  // a second entry of reader 5: one row
  ReaderFigures& five = st.figures.reader(5);
  five.answers = 1000;
  five.crc_errors = 4;
  five.timeouts = 2;
  five.answer_time.count = 4;
  five.answer_time.sum_ms = 50;
  st.figures.reader(9).timeouts = 7;
  st.upkeep.silent[9] = true;
  form_->show();
  auto* table = find<QTableWidget>("ReaderTable");
  ASSERT_TRUE(wait_until([&] { return table->rowCount() == 2; }, 3000));
  const QStringList expected[] = {{"5", "tak", "1000", "4", "2", "12.5"},
                                  {"9", "nie", "0", "0", "7", "-"}};
  for (int row = 0; row < 2; ++row)
    for (int column = 0; column < 6; ++column)
      EXPECT_EQ(table->item(row, column)->text(), expected[row][column]) << row << "," << column;
}

TEST_F(Form1Test, Button3ListsTheReceiveCountAndEveryReaderEntry) {
  Context& ctx = host_->context();
  ctx.st.rx_len = 7;
  ctx.st.reader(1).action = 2;
  ctx.st.reader(32).pc_wait = 255;
  find<QAbstractButton>("Button3")->click();  // hidden, but clickable from code
  auto* memo2 = find<QPlainTextEdit>("Memo2");
  ASSERT_TRUE(wait_until([&] { return memo2->toPlainText().count('\n') >= 33; }));
  const QStringList lines = find<QPlainTextEdit>("Memo2")->toPlainText().split('\n');
  ASSERT_EQ(lines.size(), 1 + 1 + 32);
  EXPECT_EQ(lines[0], "Memo2");
  EXPECT_EQ(lines[1], "cnt_485:0");
  EXPECT_EQ(lines[2], "2.0");
  EXPECT_EQ(lines[3], "0.0");
  EXPECT_EQ(lines[33], "0.255");
}

TEST_F(Form1Test, TrayMenuAndUkryjChangeOnlyVisibility) {
  form_->tray().set_tray_probe([] { return true; });
  form_->show();
  auto* menu = find<QMenu>("PopupMenu1");
  menu->actions()[0]->trigger();  // "Ukryj"
  EXPECT_FALSE(form_->isVisible());
  EXPECT_TRUE(host_->write_back_timer().isActive());
  menu->actions()[0]->trigger();  // hiding a hidden window changes nothing
  EXPECT_FALSE(form_->isVisible());
  menu->actions()[1]->trigger();  // "Okno programu"
  EXPECT_TRUE(form_->isVisible());

  find<QAbstractButton>("Button4")->click();
  EXPECT_FALSE(form_->isVisible());
  form_->tray().on_activated(QSystemTrayIcon::Context);  // the menu, not the window
  EXPECT_FALSE(form_->isVisible());
  form_->tray().on_activated(QSystemTrayIcon::Trigger);  // a left click brings it back
  EXPECT_TRUE(form_->isVisible());
  form_->hide();
  form_->tray().on_activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(form_->isVisible());
}

TEST_F(Form1Test, WithoutATrayUkryjMinimisesAndSaysWhyOnce) {
  form_->tray().set_tray_probe([] { return false; });
  form_->show();
  ::testing::internal::CaptureStderr();
  find<QAbstractButton>("Button4")->click();
  find<QMenu>("PopupMenu1")->actions()[0]->trigger();  // "Ukryj" in the menu
  find<QAbstractButton>("Button4")->click();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(form_->isVisible());
  EXPECT_TRUE(form_->isMinimized());
  EXPECT_EQ(err,
            "netbuf: no system tray on this desktop; \"Ukryj\" minimises the window instead of "
            "hiding it\n");
  EXPECT_TRUE(host_->write_back_timer().isActive());
}

TEST_F(Form1Test, FailedStartUpIsReportedAndAWindowShowsWhatThereIs) {
  // No net.db beside the executable: reported with its path and the reason,
  // and not created.
  testing::AttachedForm b(dir_.path());
  ::testing::internal::CaptureStderr();
  b.host.start_up();
  const std::string err = ::testing::internal::GetCapturedStderr();
  const QString db = dir_.path() + "/net.db";
  EXPECT_NE(err.find(db.toStdString() + "\" : unable to open database file (No such file or "
                                        "directory)"),
            std::string::npos)
      << err;
  EXPECT_FALSE(QFile::exists(db));
  EXPECT_FALSE(b.host.started());
  ASSERT_TRUE(b.attach());
  EXPECT_EQ(b.form.windowTitle(), QString::fromUtf8(texts::kCaption));
  EXPECT_FALSE(b.form.tray().added());  // start-up stopped before the icon
  EXPECT_EQ(b.form.findChild<QLabel*>("Label8")->text(), "?");
  EXPECT_TRUE(b.host.write_back_timer().isActive());
}

TEST_F(Form1Test, PortPickerListsLinkedPortsAndFollowsTheSerialLine) {
  ASSERT_TRUE(QFile::link("/dev/null", dir_.path() + "/COM3"));
  ASSERT_TRUE(QFile::link(dir_.path() + "/unplugged", dir_.path() + "/COM7"));
  testing::AttachedForm b(dir_.path());
  ASSERT_TRUE(b.attach());
  auto* picker = b.form.findChild<QComboBox*>("nrDeviceBox1");
  ASSERT_NE(picker, nullptr);
  ASSERT_TRUE(wait_until([&] { return picker->findData(3) >= 0; }));
  const int com3 = picker->findData(3);
  EXPECT_EQ(picker->itemText(com3), "COM3 (/dev/null)");
  EXPECT_LT(picker->findData(7), 0);  // a dangling link names no device

  // Choosing an entry sets the serial port's number at once.
  picker->setCurrentIndex(com3);
  emit picker->activated(com3);
  EXPECT_TRUE(wait_until([&] { return b.host.context().serial.port_number() == 3; }));

  // A number set by the logic shows in the picker, listed or not.
  b.host.context().serial.set_port_number(12);
  EXPECT_TRUE(wait_until([&] { return picker->currentData().toInt() == 12; }));
  EXPECT_TRUE(picker->currentText().startsWith("COM12"));
}

}  // namespace
}  // namespace netbuf
