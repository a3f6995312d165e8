/* A Modbus TCP client for round-trip figures: N requests to unit 255, one at a
 * time, over one raw socket with TCP_NODELAY. A Python client costs more per
 * request than the servers it measures; this one costs a send and a recv.
 *
 *   modbus_client PORT fc3|fc16|fc20 N [--warmup W] [--rows R] [--pid PID]
 *
 * fc3 reads 10 registers from 3000; fc16 writes 10 new values to 3000 each
 * request; fc20 reads 7 event records (file 128) and expects their Ids to
 * follow on from Id 1: the pointer is set to 1 with function 16 before the
 * first request and again whenever the next would pass Id R, outside the
 * timing. Every
 * answer's header is checked (and the first Id of each fc20 answer); a wrong
 * answer ends the run with exit status 1.
 *
 * Prints one JSON object: requests/s, latency percentiles in microseconds and,
 * with --pid, the CPU time that process used per timed request (all its
 * threads, from /proc/PID/task//schedstat). */
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { START = 3000, QTY = 10, EVENTS = 7, UNIT = 255 };

static int sock = -1;

static void fail(const char* what) {
  fprintf(stderr, "modbus_client: %s\n", what);
  exit(1);
}

static uint64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

/* Run time of every thread of pid so far, in ns. */
static uint64_t cpu_ns(int pid) {
  if (pid <= 0) return 0;
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/task", pid);
  DIR* d = opendir(path);
  if (!d) return 0;
  uint64_t total = 0;
  struct dirent* e;
  while ((e = readdir(d)) != NULL) {
    if (e->d_name[0] == '.') continue;
    char stat[300];
    snprintf(stat, sizeof stat, "/proc/%d/task/%s/schedstat", pid, e->d_name);
    FILE* f = fopen(stat, "r");
    if (!f) continue;
    unsigned long long ns = 0;
    if (fscanf(f, "%llu", &ns) == 1) total += ns;
    fclose(f);
  }
  closedir(d);
  return total;
}

static void put16(uint8_t* p, unsigned v) {
  p[0] = (uint8_t)(v >> 8);
  p[1] = (uint8_t)v;
}

static unsigned get16(const uint8_t* p) {
  return (unsigned)p[0] << 8 | p[1];
}

static void send_all(const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t k = send(sock, p, n, MSG_NOSIGNAL);
    if (k <= 0) fail("send failed");
    p += k;
    n -= (size_t)k;
  }
}

/* One whole answer, as long as its MBAP header says; returns its length. */
static size_t recv_answer(uint8_t* buf, size_t cap) {
  size_t have = 0, want = 6;
  while (have < want) {
    ssize_t k = recv(sock, buf + have, cap - have, 0);
    if (k <= 0) fail("the server closed the connection");
    have += (size_t)k;
    if (want == 6 && have >= 6) {
      want = 6 + get16(buf + 4);
      if (want > cap) fail("answer too long");
    }
  }
  if (have != want) fail("more than one answer");
  return have;
}

static size_t mbap(uint8_t* f, unsigned tid, size_t pdu_len) {
  put16(f, tid);
  put16(f + 2, 0);
  put16(f + 4, (unsigned)pdu_len + 1);
  f[6] = UNIT;
  return 7 + pdu_len;
}

static size_t write_request(uint8_t* f, unsigned tid, unsigned start, const unsigned* values,
                            unsigned n) {
  f[7] = 16;
  put16(f + 8, start);
  put16(f + 10, n);
  f[12] = (uint8_t)(2 * n);
  for (unsigned i = 0; i < n; ++i) put16(f + 13 + 2 * i, values[i]);
  return mbap(f, tid, 6 + 2 * n);
}

static int same_header(const uint8_t* a, size_t n, const uint8_t* req, unsigned len,
                       unsigned function) {
  return n == 6 + len && a[0] == req[0] && a[1] == req[1] && get16(a + 2) == 0 &&
         get16(a + 4) == len && a[6] == UNIT && a[7] == function;
}

static int cmp_u64(const void* a, const void* b) {
  uint64_t x = *(const uint64_t*)a, y = *(const uint64_t*)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s PORT fc3|fc16|fc20 N [--warmup W] [--rows R] [--pid PID]\n",
            argv[0]);
    return 2;
  }
  const int port = atoi(argv[1]);
  const char* mode = argv[2];
  const long n = atol(argv[3]);
  long warmup = 200, rows = 0;
  int pid = 0;
  for (int i = 4; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--warmup"))
      warmup = atol(argv[i + 1]);
    else if (!strcmp(argv[i], "--rows"))
      rows = atol(argv[i + 1]);
    else if (!strcmp(argv[i], "--pid"))
      pid = atoi(argv[i + 1]);
    else
      fail("unknown option");
  }
  const int fc = !strcmp(mode, "fc3")    ? 3
                 : !strcmp(mode, "fc16") ? 16
                 : !strcmp(mode, "fc20") ? 20
                                         : 0;
  if (!fc || n <= 0) fail("bad arguments");
  if (fc == 20 && rows < EVENTS) fail("fc20 needs --rows of at least 7");

  sock = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {0};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (sock < 0 || connect(sock, (struct sockaddr*)&a, sizeof a) != 0) fail("cannot connect");
  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  uint64_t* lat = malloc(sizeof(uint64_t) * (size_t)n);
  if (!lat) fail("out of memory");
  uint8_t req[300], ans[600];
  long next_id = rows + 1; /* fc20: the pointer is set to 1 before the first request */
  uint64_t busy = 0, cpu0 = 0;
  for (long k = -warmup; k < n; ++k) {
    const unsigned tid = (unsigned)(k + warmup) & 0xFFFF;
    if (fc == 20 && next_id + EVENTS - 1 > rows) {
      /* The pointer back to 1 (registers 800, 801), untimed. */
      const unsigned ptr[2] = {0, 1};
      const size_t len = write_request(req, tid, 800, ptr, 2);
      send_all(req, len);
      const size_t got = recv_answer(ans, sizeof ans);
      if (!same_header(ans, got, req, 6, 16)) fail("pointer reset refused");
      next_id = 1;
    }
    size_t len = 0;
    if (fc == 3) {
      req[7] = 3;
      put16(req + 8, START);
      put16(req + 10, QTY);
      len = mbap(req, tid, 5);
    } else if (fc == 16) {
      unsigned v[QTY];
      for (unsigned i = 0; i < QTY; ++i) v[i] = (unsigned)(k + warmup + i) & 0xFFFF;
      len = write_request(req, tid, START, v, QTY);
    } else {
      req[7] = 20;
      req[8] = 7;
      req[9] = 6;
      put16(req + 10, 128);
      put16(req + 12, 0);
      put16(req + 14, 16 * EVENTS);
      len = mbap(req, tid, 9);
    }
    if (k == 0) {
      cpu0 = cpu_ns(pid);
      busy = 0;
    }
    const uint64_t t0 = now_ns();
    send_all(req, len);
    const size_t got = recv_answer(ans, sizeof ans);
    const uint64_t dt = now_ns() - t0;
    if (k >= 0) {
      lat[k] = dt;
      busy += dt;
    }
    int ok;
    if (fc == 3) {
      ok = same_header(ans, got, req, 3 + 2 * QTY, 3) && ans[8] == 2 * QTY;
    } else if (fc == 16) {
      ok = same_header(ans, got, req, 6, 16) && memcmp(ans + 8, req + 8, 4) == 0;
    } else {
      const unsigned body = 32 * EVENTS;
      ok = same_header(ans, got, req, body + 5, 20) && ans[8] == body + 2 && ans[9] == body + 1 &&
           ans[10] == 6 &&
           ((long)ans[11] << 24 | (long)ans[12] << 16 | (long)ans[13] << 8 | ans[14]) == next_id;
      next_id += EVENTS;
    }
    if (!ok) {
      fprintf(stderr, "modbus_client: unexpected answer to request %ld:", k);
      for (size_t i = 0; i < got && i < 16; ++i) fprintf(stderr, " %02X", ans[i]);
      fputc('\n', stderr);
      return 1;
    }
  }
  const uint64_t cpu = cpu_ns(pid) - cpu0;
  close(sock);

  qsort(lat, (size_t)n, sizeof *lat, cmp_u64);
#define PCT(p) (lat[(size_t)((double)(n - 1) * (p))] / 1e3)
  printf(
      "{\"requests\": %ld, \"rps\": %.0f, \"p50_us\": %.2f, \"p90_us\": %.2f, "
      "\"p99_us\": %.2f, \"max_us\": %.2f",
      n, n / (busy / 1e9), PCT(0.5), PCT(0.9), PCT(0.99), lat[n - 1] / 1e3);
  if (pid > 0) printf(", \"server_cpu_us\": %.2f", cpu / 1e3 / (double)n);
  printf("}\n");
  free(lat);
  return 0;
}
