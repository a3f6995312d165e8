/* LD_PRELOAD shim for the RS485 tests: a pty has no RS485 mode and no RTS,
   so this records what netbuf asks of the line instead. Every TIOCSRS485
   (with its flags and delays), every RTS change, every write to a terminal
   and every tcdrain becomes one line of the file NETBUF_SHIM_LOG, in order.
   TIOCSRS485 and the RTS calls succeed unless NETBUF_SHIM_REFUSE is set,
   when TIOCSRS485 fails as a port without the mode does. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static void note(const char *fmt, ...) {
  const char *path = getenv("NETBUF_SHIM_LOG");
  if (!path) return;
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
  line[n++] = '\n';
  /* One append per line, so the lines of two threads never mix. */
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t (*real_write)(int, const void *, size_t) = dlsym(RTLD_NEXT, "write");
  real_write(fd, line, (size_t)n);
  close(fd);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  int (*real_ioctl)(int, unsigned long, void *) = dlsym(RTLD_NEXT, "ioctl");
  if (request == TIOCSRS485) {
    const struct serial_rs485 *rs = arg;
    note("rs485 flags=%u before=%u after=%u", rs->flags, rs->delay_rts_before_send,
         rs->delay_rts_after_send);
    if (getenv("NETBUF_SHIM_REFUSE")) return real_ioctl(fd, request, arg);
    return 0;
  }
  if ((request == TIOCMBIS || request == TIOCMBIC) && (*(int *)arg & TIOCM_RTS)) {
    note("rts %s", request == TIOCMBIS ? "on" : "off");
    real_ioctl(fd, request, arg);
    return 0;
  }
  return real_ioctl(fd, request, arg);
}

ssize_t write(int fd, const void *buf, size_t count) {
  ssize_t (*real_write)(int, const void *, size_t) = dlsym(RTLD_NEXT, "write");
  ssize_t n = real_write(fd, buf, count);
  if (count > 0 && isatty(fd)) {
    char hex[3 * 64 + 1] = "";
    for (size_t i = 0; i < count && i < 64; ++i)
      sprintf(hex + 2 * i, "%02X", ((const unsigned char *)buf)[i]);
    note("write %s", hex);
  }
  return n;
}

int tcdrain(int fd) {
  int (*real_tcdrain)(int) = dlsym(RTLD_NEXT, "tcdrain");
  note("drain");
  return real_tcdrain(fd);
}
