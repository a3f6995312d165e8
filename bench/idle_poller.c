/* The floor for an idle reader line: the least a poller can do. Every DELAY_MS
 * a timerfd fires and the next frame goes out in one write; answers are read
 * and dropped. Per poll that is poll, read (timer), write, poll, read (answer).
 *
 *   idle_poller DEVICE DELAY_MS FRAME_HEX...
 *
 * The frames are given whole (CRC included) and sent in turn, so the caller
 * decides what is on the line. The line runs raw at 19200 8N1. Prints "ready"
 * once the first timer is armed; runs until killed. */
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

enum { kMaxFrames = 256, kMaxFrame = 64 };

static int parse_hex(const char* text, uint8_t* out) {
  const size_t len = strlen(text);
  if (len % 2 || len / 2 > kMaxFrame) return -1;
  for (size_t i = 0; i < len / 2; ++i) {
    unsigned v;
    if (sscanf(text + 2 * i, "%2x", &v) != 1) return -1;
    out[i] = (uint8_t)v;
  }
  return (int)(len / 2);
}

int main(int argc, char** argv) {
  if (argc < 4 || argc - 3 > kMaxFrames) {
    fprintf(stderr, "usage: %s DEVICE DELAY_MS FRAME_HEX...\n", argv[0]);
    return 2;
  }
  static uint8_t frames[kMaxFrames][kMaxFrame];
  int lens[kMaxFrames];
  const int count = argc - 3;
  for (int i = 0; i < count; ++i) {
    lens[i] = parse_hex(argv[3 + i], frames[i]);
    if (lens[i] <= 0) {
      fprintf(stderr, "bad frame %s\n", argv[3 + i]);
      return 2;
    }
  }
  const long delay_ms = atol(argv[2]);

  const int tty = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (tty < 0) {
    perror(argv[1]);
    return 1;
  }
  struct termios tio;
  if (tcgetattr(tty, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetspeed(&tio, B19200);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(tcflag_t)(CSTOPB | PARENB | CRTSCTS);
    tcsetattr(tty, TCSANOW, &tio);
  }

  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
  const struct itimerspec every = {
      .it_interval = {delay_ms / 1000, (delay_ms % 1000) * 1000000},
      .it_value = {delay_ms / 1000, (delay_ms % 1000) * 1000000},
  };
  if (timer < 0 || timerfd_settime(timer, 0, &every, NULL) != 0) {
    perror("timerfd");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);

  struct pollfd fds[2] = {{.fd = timer, .events = POLLIN}, {.fd = tty, .events = POLLIN}};
  int next = 0;
  uint8_t in[4096];
  for (;;) {
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents & POLLIN) {
      uint64_t expirations;
      if (read(timer, &expirations, sizeof expirations) > 0) {
        if (write(tty, frames[next], (size_t)lens[next]) < 0) perror("write");
        next = (next + 1) % count;
      }
    }
    if (fds[1].revents & POLLIN) {
      if (read(tty, in, sizeof in) < 0) perror("read");
    } else if (fds[1].revents & (POLLHUP | POLLERR)) {
      return 3;
    }
  }
}
