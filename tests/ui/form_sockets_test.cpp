// The window's socket wiring end to end: real clients on loopback, the real
// handlers behind the form.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QHostAddress>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <memory>
#include <string>

#include "tests/ui/attached_form.h"
#include "tests/ui/ui_test_support.h"

namespace netbuf {
namespace {

using testing::spin;
using testing::wait_until;

std::unique_ptr<QTcpSocket> client_of(const TcpEndpoint& ep) {
  auto c = std::make_unique<QTcpSocket>();
  c->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(ep.port()));
  return c;
}

bool connected(const std::unique_ptr<QTcpSocket>& c) {
  return wait_until([&] { return c->state() == QAbstractSocket::ConnectedState; });
}

QByteArray read_some(QTcpSocket& c, int n) {
  QByteArray got;
  wait_until([&] {
    got += c.readAll();
    return got.size() >= n;
  });
  return got;
}

using FormSockets = testing::AttachedFormTest;

TEST_F(FormSockets, SecondPcIsClosedAtOnceWhileTheFirstIsServed) {
  form_->findChild<QCheckBox*>("monitor_tr")->setChecked(true);
  // netbuf sends the window the lines it has switched on.
  ASSERT_TRUE(wait_until([&] { return host_->monitor().enabled(LogCategory::Connections); }));
  auto* label21 = form_->findChild<QLabel*>("Label21");
  form_->show();  // a hidden window is not kept up to date
  host_->pc_port().open(0);

  auto first = client_of(host_->pc_port());
  ASSERT_TRUE(connected(first));
  ASSERT_TRUE(wait_until([&] { return label21->text() == "127.0.0.1"; }));

  auto second = client_of(host_->pc_port());
  ASSERT_TRUE(wait_until([&] { return second->state() == QAbstractSocket::UnconnectedState; }));
  ASSERT_TRUE(wait_until([&] { return host_->pc_port().connection_count() == 1; }));
  EXPECT_TRUE(wait_until([&] { return label21->text() == "Non connection"; }));
  auto* memo1 = form_->findChild<QPlainTextEdit*>("Memo1");
  EXPECT_TRUE(wait_until([&] {
    return memo1->toPlainText() == "Connect 127.0.0.1\nConnect 127.0.0.1\nDisconnect 127.0.0.1";
  })) << memo1->toPlainText().toStdString();

  // Function 3, unit 255, one register from 0: the first PC still gets its answer.
  first->write(QByteArray::fromHex("000100000006ff0300000001"));
  EXPECT_EQ(read_some(*first, 11).toHex(), "000100000005ff03020000");
  EXPECT_TRUE(host_->views().supervision_timer());  // a request starts the idle countdown
}

TEST_F(FormSockets, ServicePortSurvivesAMalformedCommand) {
  host_->remote_port().open(0);
  auto c = client_of(host_->remote_port());
  ASSERT_TRUE(connected(c));
  ASSERT_TRUE(wait_until([&] { return host_->remote_port().connection_count() == 1; }));

  // typ is not a number: reported at the top level, no answer, no relay.
  ::testing::internal::CaptureStderr();
  c->write("#a,b,x,2,3$");
  c->flush();
  spin(150);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(c->bytesAvailable(), 0);
  BufferState& st = host_->context().st;
  st.reader_count = 1;
  st.reader(1).adr485 = 5;
  EXPECT_EQ(st.reader(1).action, 0);

  // The loop went on: the next command is carried out and answered.
  c->write("#Jan,x,1,2,4$");
  EXPECT_EQ(read_some(*c, 2), QByteArray("OK"));
  EXPECT_EQ(st.reader(1).action, 2);
}

}  // namespace
}  // namespace netbuf
