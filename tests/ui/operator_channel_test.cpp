#include "window/operator_channel.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <string>

#include "tests/ui/ui_test_support.h"

namespace netbuf {
namespace {

using testing::wait_until;

QString shown(const QtOperatorChannel& op) {
  return op.current() ? op.current()->text() : QString();
}

TEST(OperatorChannel, HeadlessEachTextIsOneLineOnStderr) {
  QtOperatorChannel op;  // the tests run offscreen: no display
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
  EXPECT_EQ(op.current(), nullptr);
  EXPECT_EQ(op.waiting(), 0u);
}

TEST(OperatorChannel, OneBoxAtATimeTheRestWaitOnceEach) {
  QtOperatorChannel op(nullptr, QtOperatorChannel::Mode::Boxes);
  op.error_report("first");
  ASSERT_NE(op.current(), nullptr);
  EXPECT_EQ(shown(op), "first");

  op.message_box("second");
  op.message_box("second");  // identical waiting text: shown once
  op.error_report("third");
  op.error_report("first");  // not waiting (it is open), so it waits again
  EXPECT_EQ(op.waiting(), 3u);
  EXPECT_EQ(shown(op), "first");

  const char* expected[] = {"second", "third", "first"};
  for (const char* next : expected) {
    op.current()->accept();
    ASSERT_TRUE(wait_until([&] { return shown(op) == next; })) << next;
  }
  op.current()->accept();
  ASSERT_TRUE(wait_until([&] { return op.current() == nullptr; }));
  EXPECT_EQ(op.waiting(), 0u);
}

TEST(OperatorChannel, BoxesShowPlainTextWithControlBytesEscaped) {
  QtOperatorChannel op(nullptr, QtOperatorChannel::Mode::Boxes);
  op.error_report("'<img src=\"/dev/zero\"><b>x</b>\x1b' is not a valid integer value\rline two");
  ASSERT_NE(op.current(), nullptr);
  EXPECT_EQ(op.current()->textFormat(), Qt::PlainText);
  EXPECT_EQ(shown(op),
            "'<img src=\"/dev/zero\"><b>x</b>\\x1B' is not a valid integer value\rline two");
  op.current()->accept();
}

TEST(OperatorChannel, WaitingQueueIsBoundedDroppingTheOldest) {
  QtOperatorChannel op(nullptr, QtOperatorChannel::Mode::Boxes);
  op.message_box("open");
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 105; ++i) op.message_box("m" + std::to_string(i));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(op.waiting(), QtOperatorChannel::kMaxWaiting);
  EXPECT_NE(err.find("m4"), std::string::npos);
  EXPECT_EQ(err.find("m5"), std::string::npos);

  op.current()->accept();
  ASSERT_TRUE(wait_until([&] { return shown(op) == "m5"; }));
}

}  // namespace
}  // namespace netbuf
