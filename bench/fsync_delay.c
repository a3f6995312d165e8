/* Slow storage for bench/slow_storage.py: LD_PRELOAD this into netbuf and
 * every fsync and fdatasync takes NETBUF_FSYNC_DELAY_MS longer, as on an SD
 * card, eMMC or an old spinning disk. Without the variable nothing changes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static long delay_ms(void) {
  static long ms = -1;
  if (ms < 0) {
    const char* v = getenv("NETBUF_FSYNC_DELAY_MS");
    ms = v ? atol(v) : 0;
  }
  return ms;
}

static void wait_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

int fsync(int fd) {
  static int (*real)(int);
  if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  wait_ms(delay_ms());
  return real(fd);
}

int fdatasync(int fd) {
  static int (*real)(int);
  if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  wait_ms(delay_ms());
  return real(fd);
}
