#include "window/operator_channel.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <string>

#include "host/operator_boxes.h"
#include "tests/ui/ui_test_support.h"

namespace netbuf {
namespace {

using testing::wait_until;

// The host's waiting texts on the window's boxes, as Form1 joins them.
struct Boxes {
  explicit Boxes(OperatorBoxes::Mode mode) : op(mode) {
    op.open_with([this](bool error, const std::string& text) { window.open(error, text); });
  }
  OperatorBoxes op;
  QtOperatorChannel window{nullptr, [this] { op.box_closed(); }};
};

QString shown(const Boxes& b) {
  return b.window.current() ? b.window.current()->text() : QString();
}

TEST(OperatorChannel, HeadlessEachTextIsOneLineOnStderr) {
  OperatorBoxes op;  // lines
  ::testing::internal::CaptureStderr();
  op.message_box("blad zapisu zdarzenia");
  op.error_report("Device \"COM3\" Open Error !!!\rNo such file or directory");
  op.error_report("blad zapisu zdarzenia");  // no dedupe: nothing waits here
  // A peer's bytes cannot start a line of their own or drive the terminal.
  op.error_report(
      "'\x1b[2J\x07x\r\nnetbuf: forged\x7f\xc2\x9b\xc5\x84' is not a valid integer value");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      err,
      "blad zapisu zdarzenia\n"
      "Device \"COM3\" Open Error !!! No such file or directory\n"
      "blad zapisu zdarzenia\n"
      "'\\x1B[2J\\x07x netbuf: forged\\x7F\\xC2\\x9B\xc5\x84' is not a valid integer value\n");
  EXPECT_FALSE(op.box_open());
  EXPECT_EQ(op.waiting(), 0u);
}

TEST(OperatorChannel, OneBoxAtATimeTheRestWaitOnceEach) {
  Boxes b(OperatorBoxes::Mode::Boxes);
  b.op.error_report("first");
  ASSERT_NE(b.window.current(), nullptr);
  EXPECT_EQ(shown(b), "first");

  b.op.message_box("second");
  b.op.message_box("second");  // identical waiting text: shown once
  b.op.error_report("third");
  b.op.error_report("first");  // not waiting (it is open), so it waits again
  EXPECT_EQ(b.op.waiting(), 3u);
  EXPECT_EQ(shown(b), "first");

  const char* expected[] = {"second", "third", "first"};
  for (const char* next : expected) {
    b.window.current()->accept();
    ASSERT_TRUE(wait_until([&] { return shown(b) == next; })) << next;
  }
  b.window.current()->accept();
  ASSERT_TRUE(wait_until([&] { return b.window.current() == nullptr; }));
  EXPECT_EQ(b.op.waiting(), 0u);
  EXPECT_FALSE(b.op.box_open());
}

TEST(OperatorChannel, BoxesShowPlainTextWithControlBytesEscaped) {
  Boxes b(OperatorBoxes::Mode::Boxes);
  b.op.error_report("'<img src=\"/dev/zero\"><b>x</b>\x1b' is not a valid integer value\rline two");
  ASSERT_NE(b.window.current(), nullptr);
  EXPECT_EQ(b.window.current()->textFormat(), Qt::PlainText);
  EXPECT_EQ(shown(b),
            "'<img src=\"/dev/zero\"><b>x</b>\\x1B' is not a valid integer value\rline two");
  b.window.current()->accept();
}

TEST(OperatorChannel, WaitingQueueIsBoundedDroppingTheOldest) {
  Boxes b(OperatorBoxes::Mode::Boxes);
  b.op.message_box("open");
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 105; ++i) b.op.message_box("m" + std::to_string(i));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(b.op.waiting(), OperatorBoxes::kMaxWaiting);
  EXPECT_NE(err.find("m4"), std::string::npos);
  EXPECT_EQ(err.find("m5"), std::string::npos);

  b.window.current()->accept();
  ASSERT_TRUE(wait_until([&] { return shown(b) == "m5"; }));
}

}  // namespace
}  // namespace netbuf
