/* A daemon's logging: a module that logs to a file which rotates to .bak at a small size, then
 * the same texts as UDP datagrams to a collector on 127.0.0.1 (here a socket of our own).
 *
 *   cc -std=c99 log_daemon.c $(pkg-config --cflags --libs --static wanradio-osl) -o log_daemon
 *   ./log_daemon /tmp/some-private-dir
 *
 * Exits 0 when the file rotated and the collector got a datagram, 1 otherwise. */
#include <osl/osl.h>
#include <osl/osl_file.h>
#include <osl/osl_log.h>
#include <osl/osl_socket.h>
#include <osl/osl_string.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/time.h>

int main(int argc, char **argv) {
  char path[512], bak[512], url[64], got[256];
  SFileNodeInfo log_info, bak_info;
  struct timeval wait = {2, 0};
  uint32_t ip;
  uint16_t port;
  int32_t mod, n, i;
  SOCKET collector;

  if (argc != 2) {
    fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  /* osl_init(NULL): signal handlers, logging on the console; no single-instance check. */
  if (osl_init(NULL) != 0) return 1;
  osl_str_snprintf(path, (int32_t)sizeof path, "%s/daemon.log", argv[1]);
  osl_str_snprintf(bak, (int32_t)sizeof bak, "%s.bak", path);

  /* File target: past 256 bytes the log moves to daemon.log.bak and starts again. */
  osl_str_snprintf(url, (int32_t)sizeof url, "file://%s", path);
  osl_log_set_max_logsize(256);
  osl_log_set_target(url);
  mod = osl_log_mod_create("pump", OSL_LOG_INFO);
  for (i = 0; i < 20 && !osl_is_exit(); ++i) /* a daemon loop ends on SIGTERM */
    osl_log_mod_info(mod, "cycle %d: pressure %d kPa\n", i, 100 + i);
  osl_log_mod_debug(mod, "below the module's threshold: not written\n");
  if (osl_file_get_info(path, &log_info) != 0 || osl_file_get_info(bak, &bak_info) != 0) {
    fprintf(stderr, "log_daemon: %s did not rotate\n", path);
    return 1;
  }
  printf("file: %s %lld bytes, backup %lld bytes\n", path, (long long)log_info.size,
         (long long)bak_info.size);

  /* UDP target: a collector bound to an ephemeral port on 127.0.0.1. */
  collector = osl_socket_create(AF_INET, SOCK_DGRAM, 0);
  if (collector == OSL_INVALID_SOCKET ||
      osl_socket_bind(collector, htonl(INADDR_LOOPBACK), 0) != 0 ||
      osl_socket_get_sockname(collector, &ip, &port) != 0)
    return 1;
  osl_socket_set_opt(collector, SOL_SOCKET, SO_RCVTIMEO, (const char *)&wait, (int32_t)sizeof wait);
  osl_str_snprintf(url, (int32_t)sizeof url, "udp://127.0.0.1:%u", (unsigned)ntohs(port));
  if (osl_log_set_target(url) != 0) return 1;
  osl_log_mod_error(mod, "valve %d stuck\n", 3);
  n = osl_socket_recvfrom(collector, &ip, &port, got, (int32_t)sizeof got - 1);
  if (n <= 0) {
    fprintf(stderr, "log_daemon: no datagram arrived\n");
    return 1;
  }
  got[n] = '\0'; /* the datagram carries its own terminator; this one guards a short one */
  printf("udp: %s", got);

  osl_log_exit();
  osl_socket_destroy(collector);
  osl_exit();
  return 0;
}
