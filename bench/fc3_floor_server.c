/* The least any server can do for a function 3 round trip: one client, a
 * blocking recv of the 12-byte request, the 29-byte answer for 10 registers
 * from a static array, a send. No parsing beyond the start address, no event
 * loop; what is left is the loopback round trip itself.
 *
 *   fc3_floor_server PORT
 *
 * Prints "ready" once it listens on 127.0.0.1:PORT; exits when the client
 * leaves. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

enum { REGISTERS = 9000, QTY = 10 };

static uint16_t regs[REGISTERS];

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  for (int i = 0; i < REGISTERS; ++i) regs[i] = (uint16_t)(i * 7);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a = {0};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)atoi(argv[1]));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, (struct sockaddr*)&a, sizeof a) != 0 || listen(listener, 1) != 0) {
    perror("listen");
    return 1;
  }
  puts("ready");
  fflush(stdout);
  int c = accept(listener, NULL, NULL);
  if (c < 0) {
    perror("accept");
    return 1;
  }
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  uint8_t q[12], r[9 + 2 * QTY];
  long served = 0;
  for (;;) {
    size_t have = 0;
    while (have < sizeof q) {
      ssize_t k = recv(c, q + have, sizeof q - have, 0);
      if (k <= 0) goto done;
      have += (size_t)k;
    }
    unsigned start = (unsigned)q[8] << 8 | q[9];
    if (start > REGISTERS - QTY) start = 0;
    r[0] = q[0];
    r[1] = q[1];
    r[2] = r[3] = 0;
    r[4] = 0;
    r[5] = 3 + 2 * QTY;
    r[6] = q[6];
    r[7] = 3;
    r[8] = 2 * QTY;
    for (int i = 0; i < QTY; ++i) {
      r[9 + 2 * i] = (uint8_t)(regs[start + i] >> 8);
      r[10 + 2 * i] = (uint8_t)regs[start + i];
    }
    if (send(c, r, sizeof r, MSG_NOSIGNAL) != (ssize_t)sizeof r) break;
    ++served;
  }
done:
  fprintf(stderr, "served %ld requests\n", served);
  close(c);
  close(listener);
  return 0;
}
