/* LD_PRELOAD shim for the RS485 tests: a pty has no RS485 mode and no RTS,
   so this records, one line each in the file NETBUF_SHIM_LOG, every
   TIOCSRS485 (flags and delays), RTS change, write to a terminal and
   tcdrain, in order. TIOCSRS485 and RTS succeed, unless NETBUF_SHIM_REFUSE
   is set: then TIOCSRS485 fails as on a port without the mode. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#define NOTE(...)                                                              \
  do {                                                                         \
    const char *path = getenv("NETBUF_SHIM_LOG");                              \
    int fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) \
                  : -1;                                                        \
    if (fd >= 0) {                                                             \
      dprintf(fd, __VA_ARGS__);                                                \
      close(fd);                                                               \
    }                                                                          \
  } while (0)

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  int (*real)(int, unsigned long, void *) = dlsym(RTLD_NEXT, "ioctl");
  if (request == TIOCSRS485) {
    const struct serial_rs485 *rs = arg;
    NOTE("rs485 flags=%u before=%u after=%u\n", rs->flags, rs->delay_rts_before_send,
         rs->delay_rts_after_send);
    return getenv("NETBUF_SHIM_REFUSE") ? real(fd, request, arg) : 0;
  }
  if ((request == TIOCMBIS || request == TIOCMBIC) && (*(int *)arg & TIOCM_RTS)) {
    NOTE("rts %s\n", request == TIOCMBIS ? "on" : "off");
    real(fd, request, arg);
    return 0;
  }
  return real(fd, request, arg);
}

ssize_t write(int fd, const void *buf, size_t count) {
  ssize_t (*real)(int, const void *, size_t) = dlsym(RTLD_NEXT, "write");
  if (count > 0 && count <= 64 && isatty(fd)) {
    char hex[2 * 64 + 1];
    for (size_t i = 0; i < count; ++i) sprintf(hex + 2 * i, "%02X", ((const unsigned char *)buf)[i]);
    NOTE("write %s\n", hex);
  }
  return real(fd, buf, count);
}

int tcdrain(int fd) {
  NOTE("drain\n");
  return ((int (*)(int))dlsym(RTLD_NEXT, "tcdrain"))(fd);
}
