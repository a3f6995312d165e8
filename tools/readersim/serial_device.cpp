#include "tools/readersim/serial_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace netbuf::readersim {

namespace {

speed_t speed_of(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;
  }
}

}  // namespace

int open_line(const std::string& device, int baud, std::string& error) {
  const speed_t speed = speed_of(baud);
  if (speed == B0) {
    error = "unsupported baud rate " + std::to_string(baud);
    return -1;
  }
  // Non-blocking only for the open itself: a real port without carrier
  // would otherwise wait here.
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = device + ": " + std::strerror(errno);
    return -1;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    error = device + ": not a terminal: " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    error = device + ": cannot set line parameters: " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  // A second program on the same adapter would garble the line; a pty may
  // refuse this, which is harmless.
  ioctl(fd, TIOCEXCL);
  tcflush(fd, TCIOFLUSH);
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

}  // namespace netbuf::readersim
