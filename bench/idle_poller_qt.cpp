// What Qt's own event loop costs an idle reader line: the least a Qt poller can
// do. A QTimer (coarse, like the poll timer) writes the next frame straight to
// the tty every DELAY_MS, a QSocketNotifier reads the answers and drops them;
// no QSerialPort, no logic. Beside idle_poller (plain timerfd + poll) it splits
// netbuf's idle cost into the event loop's share and netbuf's own.
//
//   idle_poller_qt DEVICE DELAY_MS FRAME_HEX...
//
// Prints "ready" once the timer runs; runs until killed.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DEVICE DELAY_MS FRAME_HEX...\n", argv[0]);
    return 2;
  }
  const int tty = ::open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (tty < 0) {
    std::perror(argv[1]);
    return 1;
  }
  termios tio = {};
  if (::tcgetattr(tty, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B19200);
    tio.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(tty, TCSANOW, &tio);
  }
  std::vector<QByteArray> frames;
  for (int i = 3; i < argc; ++i) frames.push_back(QByteArray::fromHex(argv[i]));
  std::size_t next = 0;

  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    const QByteArray& f = frames[next];
    if (::write(tty, f.constData(), static_cast<std::size_t>(f.size())) < 0) std::perror("write");
    next = (next + 1) % frames.size();
  });
  QSocketNotifier answers(tty, QSocketNotifier::Read);
  QObject::connect(&answers, &QSocketNotifier::activated, [&] {
    char in[4096];
    if (::read(tty, in, sizeof in) <= 0) QCoreApplication::exit(3);
  });
  timer.start(std::atoi(argv[2]));
  std::printf("ready\n");
  std::fflush(stdout);
  return app.exec();
}
