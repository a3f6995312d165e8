#include <gtest/gtest.h>
#include <termios.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <memory>

#include "host/qt_serial_line.h"
#include "tests/ui/ui_test_support.h"

namespace netbuf {
namespace {

using testing::spin;
using testing::wait_until;

// A socat pty pair: "near" is what netbuf opens, "far" plays the reader line.
class PtyPair {
 public:
  PtyPair(const QString& dir, const QString& tag)
      : near_(dir + "/" + tag + "_near"), far_(dir + "/" + tag + "_far") {
    proc_.setProgram(QStringLiteral("socat"));
    proc_.setArguments({QStringLiteral("pty,raw,echo=0,link=") + near_,
                        QStringLiteral("pty,raw,echo=0,link=") + far_});
    proc_.start();
  }
  ~PtyPair() { stop(); }
  bool ready() {
    return wait_until([&] { return QFileInfo::exists(near_) && QFileInfo::exists(far_); });
  }
  void stop() {
    if (proc_.state() == QProcess::NotRunning) return;
    proc_.terminate();
    if (!proc_.waitForFinished(2000)) {
      proc_.kill();
      proc_.waitForFinished(2000);
    }
  }
  QString near_path() const { return near_; }
  QString far_path() const { return far_; }

 private:
  QString near_, far_;
  QProcess proc_;
};

class SerialLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
      GTEST_SKIP() << "socat is not installed";
    ASSERT_TRUE(dir_.isValid());
  }
  // Links COMn in the test's directory to target.
  void link(int n, const QString& target) {
    ASSERT_TRUE(QFile::link(target, dir_.path() + "/COM" + QString::number(n)));
  }
  QTemporaryDir dir_;
};

std::unique_ptr<QSerialPort> open_far(const QString& path) {
  auto p = std::make_unique<QSerialPort>(path);
  p->open(QIODevice::ReadWrite);
  return p;
}

TEST_F(SerialLineTest, OpensTheLinkedPortAt19200And8N1AndCarriesBytesBothWays) {
  PtyPair pair(dir_.path(), QStringLiteral("a"));
  ASSERT_TRUE(pair.ready());
  link(3, pair.near_path());

  QtSerialLine line(dir_.path());
  QByteArray got;
  QObject::connect(&line, &QtSerialLine::received, [&](const QByteArray& b) { got += b; });
  line.set_port_number(3);  // closed: only the number changes
  EXPECT_FALSE(line.is_open());
  line.open();
  ASSERT_TRUE(line.is_open());

  // What the driver was told, read back from the terminal itself.
  termios tio = {};
  QFile dev(QFileInfo(pair.near_path()).canonicalFilePath());
  ASSERT_TRUE(dev.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
  ASSERT_EQ(::tcgetattr(dev.handle(), &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B19200));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
  dev.close();

  auto far = open_far(pair.far_path());
  ASSERT_TRUE(far->isOpen());
  const uint8_t frame[] = {0x01, 0x03, 0x00, 0x0A, 0x00, 0x05, 0xA5, 0xCB};
  line.send(std::span(frame).first(0));  // nothing on the line
  line.send(frame);
  QByteArray at_far;
  ASSERT_TRUE(wait_until([&] {
    far->waitForReadyRead(10);
    at_far += far->readAll();
    return at_far.size() >= 8;
  }));
  EXPECT_EQ(at_far, QByteArray(reinterpret_cast<const char*>(frame), sizeof frame));

  far->write(QByteArray::fromHex("01030a0102030405060708090a"));
  far->waitForBytesWritten(500);
  ASSERT_TRUE(wait_until([&] { return got.size() >= 13; }));
  EXPECT_EQ(got.toHex(), QByteArray("01030a0102030405060708090a"));
}

TEST_F(SerialLineTest, OpenFailureCarriesThePortNameAndLeavesThePortClosed) {
  link(4, dir_.path() + "/nothing_here");  // a dangling link, like an unplugged adapter
  QtSerialLine line(dir_.path());
  line.set_port_number(4);
  try {
    line.open();
    FAIL() << "open should fail";
  } catch (const std::runtime_error& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("Device \"COM4\" Open Error !!!\r", 0), 0u) << text;
    EXPECT_GT(text.size(), std::string("Device \"COM4\" Open Error !!!\r").size());
  }
  EXPECT_FALSE(line.is_open());
  // A dangling link is not silently replaced by /dev/ttyS3.
  EXPECT_EQ(QtSerialLine::device_for(4, dir_.path()), dir_.path() + "/COM4");
  EXPECT_EQ(QtSerialLine::device_for(9, dir_.path()), QStringLiteral("/dev/ttyS8"));
}

TEST_F(SerialLineTest, ChangingThePortNumberMovesTheTrafficOrFailsClosed) {
  PtyPair one(dir_.path(), QStringLiteral("one"));
  PtyPair two(dir_.path(), QStringLiteral("two"));
  ASSERT_TRUE(one.ready());
  ASSERT_TRUE(two.ready());
  link(3, one.near_path());
  link(5, two.near_path());
  link(6, dir_.path() + "/nothing_here");

  const auto ports = QtSerialLine::available_ports(dir_.path());
  auto listed = [&](int n, const QString& dev) {
    for (const auto& p : ports)
      if (p.number == n) return p.device == dev;
    return false;
  };
  EXPECT_TRUE(listed(3, QFileInfo(one.near_path()).canonicalFilePath()));
  EXPECT_TRUE(listed(5, QFileInfo(two.near_path()).canonicalFilePath()));
  for (const auto& p : ports) EXPECT_NE(p.number, 6);

  QtSerialLine line(dir_.path());
  line.set_port_number(3);
  line.open();
  auto far_two = open_far(two.far_path());
  line.set_port_number(5);
  ASSERT_TRUE(line.is_open());
  const uint8_t b[] = {0x42};
  line.send(b);
  QByteArray at_two;
  ASSERT_TRUE(wait_until([&] {
    far_two->waitForReadyRead(10);
    at_two += far_two->readAll();
    return !at_two.isEmpty();
  }));
  EXPECT_EQ(at_two, QByteArray("\x42"));

  EXPECT_THROW(line.set_port_number(6), std::runtime_error);
  EXPECT_FALSE(line.is_open());
  EXPECT_EQ(line.port_number(), 6);
  line.send(b);  // closed: nothing, no error
}

// A frame the tty cannot take at once: part goes straight to the tty, the rest
// waits in Qt and follows, never half a frame. A frame sent while such a
// backlog waits is lost whole: it would go out stale, and never overtakes it.
TEST_F(SerialLineTest, AFrameLargerThanTheTtyTakesArrivesWholeAndOneBehindABacklogIsLostWhole) {
  PtyPair pair(dir_.path(), QStringLiteral("big"));
  ASSERT_TRUE(pair.ready());
  link(7, pair.near_path());
  QtSerialLine line(dir_.path());
  line.set_port_number(7);
  line.open();
  ASSERT_TRUE(line.is_open());
  auto far = open_far(pair.far_path());
  ASSERT_TRUE(far->isOpen());

  std::vector<uint8_t> big(256 * 1024);  // well past a pty's buffer
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 251);
  const uint8_t next[] = {0x01, 0x03, 0x00, 0x0A, 0x00, 0x05, 0xA5, 0xCB};
  line.send(big);  // the far end is not reading yet: the tty fills up
  // Without the loop running, Qt writes nothing more while socat drains the
  // tty, so the next frame finds room there.
  QThread::msleep(50);
  line.send(next);

  const QByteArray want(reinterpret_cast<const char*>(big.data()),
                        static_cast<qsizetype>(big.size()));
  QByteArray at_far;
  // Until the frame is whole, then a while longer for anything behind it.
  const auto read_until = [&](qsizetype size, int ms) {
    return wait_until(
        [&] {
          far->waitForReadyRead(10);
          at_far += far->readAll();
          return at_far.size() >= size;
        },
        ms);
  };
  ASSERT_TRUE(read_until(want.size(), 10000)) << at_far.size();
  EXPECT_FALSE(read_until(want.size() + 1, 300)) << at_far.size() - want.size();
  EXPECT_TRUE(at_far == want) << at_far.size();  // not EXPECT_EQ: a mismatch would print 256 KB
}

TEST_F(SerialLineTest, ALineThatGoesAwayClosesThePortQuietly) {
  auto pair = std::make_unique<PtyPair>(dir_.path(), QStringLiteral("gone"));
  ASSERT_TRUE(pair->ready());
  link(2, pair->near_path());
  QtSerialLine line(dir_.path());
  line.set_port_number(2);
  line.open();
  ASSERT_TRUE(line.is_open());

  pair->stop();
  ASSERT_TRUE(wait_until([&] { return !line.is_open(); }));
  const uint8_t b[] = {0x01, 0x02};
  line.send(b);  // must neither throw nor block
  spin(100);     // the loop goes on without the port
  EXPECT_FALSE(line.is_open());
}

}  // namespace
}  // namespace netbuf
