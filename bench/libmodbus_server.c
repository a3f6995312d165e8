/* The yardstick for the function 3 round trip: the plainest Modbus TCP server
 * libmodbus makes. 9000 holding registers, one client, then exit. The unit id
 * is not checked (libmodbus TCP ignores it), so unit 255 is served.
 *
 *   libmodbus_server PORT
 *
 * Prints "ready" once it listens on 127.0.0.1:PORT. */
#include <errno.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", atoi(argv[1]));
  modbus_mapping_t* map = modbus_mapping_new(0, 0, 9000, 0);
  if (!ctx || !map) {
    fprintf(stderr, "libmodbus: %s\n", modbus_strerror(errno));
    return 1;
  }
  /* Some contents, so the answer is not all zeros. */
  for (int i = 0; i < 9000; ++i) map->tab_registers[i] = (uint16_t)(i * 7);

  int listener = modbus_tcp_listen(ctx, 1);
  if (listener < 0) {
    fprintf(stderr, "listen: %s\n", modbus_strerror(errno));
    return 1;
  }
  puts("ready");
  fflush(stdout);
  int client = modbus_tcp_accept(ctx, &listener);
  if (client < 0) {
    fprintf(stderr, "accept: %s\n", modbus_strerror(errno));
    return 1;
  }
  /* The same socket option netbuf sets on its accepted connections. */
  int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  long served = 0;
  for (;;) {
    int n = modbus_receive(ctx, query);
    if (n > 0) {
      modbus_reply(ctx, query, n, map);
      ++served;
    } else if (n < 0) {
      break; /* the client went away */
    }
  }
  fprintf(stderr, "served %ld requests\n", served);
  close(listener);
  modbus_mapping_free(map);
  modbus_close(ctx);
  modbus_free(ctx);
  return 0;
}
