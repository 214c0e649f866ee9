/* A daemon's logging: a rotating file that keeps three backups as the first target, a UDP
 * collector on 127.0.0.1 (here a socket of our own) for warnings and errors, and the console for
 * every text while the daemon runs by hand; the file is reopened on SIGHUP, as logrotate asks.
 *
 *   cc -std=c99 log_daemon.c $(pkg-config --cflags --libs --static wanradio-osl) -o log_daemon
 *   ./log_daemon /tmp/some-private-dir [--foreground]
 *
 * Exits 0 when the file rotated into two backups, the reopened file took the texts after the
 * SIGHUP and the collector got the warning, 1 otherwise. */
#define _POSIX_C_SOURCE 200809L
#include <osl/osl.h>
#include <osl/osl_file.h>
#include <osl/osl_log.h>
#include <osl/osl_socket.h>
#include <osl/osl_string.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>

int main(int argc, char **argv) {
  char path[512], moved[512], name[512], url[64], got[256];
  SFileNodeInfo info;
  struct timeval wait = {2, 0};
  uint32_t ip;
  uint16_t port;
  int32_t mod, n, i, udp_id, k;
  SOCKET collector;

  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s DIRECTORY [--foreground]\n", argv[0]);
    return 2;
  }
  /* osl_init(NULL): signal handlers, logging on the console; no single-instance check. */
  if (osl_init(NULL) != 0) return 1;
  /* SIGHUP is kept for osl_signal_wait: the log is reopened by the main loop, never inside a
   * signal handler. */
  if (osl_signal_watch(SIGHUP, 0) != 0) return 1;
  osl_str_snprintf(path, (int32_t)sizeof path, "%s/daemon.log", argv[1]);
  osl_str_snprintf(moved, (int32_t)sizeof moved, "%s.1", path);

  /* First target: past 256 bytes the log moves to daemon.log.bak, older backups shift to
   * daemon.log.bak.2 and .bak.3; the global threshold is the file's. */
  osl_str_snprintf(url, (int32_t)sizeof url, "file://%s", path);
  osl_log_set_max_logsize(256);
  osl_log_set_backups(3);
  osl_log_set_level(OSL_LOG_INFO);
  if (osl_log_set_target(url) != 0) return 1;
  /* Run by hand: every text on the console too, debug ones included. */
  if (argc == 3 && strcmp(argv[2], "--foreground") == 0) {
    if (osl_log_add_target("console://", OSL_LOG_ALL) < 0) return 1;
  }

  /* A collector for warnings and errors, bound to an ephemeral port on 127.0.0.1. */
  collector = osl_socket_create(AF_INET, SOCK_DGRAM, 0);
  if (collector == OSL_INVALID_SOCKET ||
      osl_socket_bind(collector, htonl(INADDR_LOOPBACK), 0) != 0 ||
      osl_socket_get_sockname(collector, &ip, &port) != 0)
    return 1;
  osl_socket_set_opt(collector, SOL_SOCKET, SO_RCVTIMEO, (const char *)&wait, (int32_t)sizeof wait);
  osl_str_snprintf(url, (int32_t)sizeof url, "udp://127.0.0.1:%u", (unsigned)ntohs(port));
  udp_id = osl_log_add_target(url, OSL_LOG_WARN);
  if (udp_id < 0) return 1;

  mod = osl_log_mod_create("pump", OSL_LOG_ALL);
  for (i = 0; i < 30 && !osl_is_exit(); ++i) { /* a daemon loop ends on SIGTERM */
    osl_log_mod_info(mod, "cycle %d: pressure %d kPa\n", i, 100 + i);
    osl_log_mod_debug(mod, "cycle %d: console only\n", i);
  }
  for (k = 1; k <= 2; ++k) {
    if (k == 1)
      osl_str_snprintf(name, (int32_t)sizeof name, "%s.bak", path);
    else
      osl_str_snprintf(name, (int32_t)sizeof name, "%s.bak.%d", path, k);
    if (osl_file_get_info(name, &info) != 0) {
      fprintf(stderr, "log_daemon: %s is missing\n", name);
      return 1;
    }
  }

  /* logrotate moves the log away and sends SIGHUP: the daemon reopens it. */
  if (osl_file_rename(path, moved) != 0) return 1;
  raise(SIGHUP);
  if (osl_signal_wait(0) == SIGHUP && osl_log_reopen() != 0) {
    fprintf(stderr, "log_daemon: %s could not be reopened\n", path);
  }
  osl_log_mod_warn(mod, "valve %d stuck\n", 3);
  if (osl_file_get_info(path, &info) != 0 || info.size == 0) {
    fprintf(stderr, "log_daemon: the reopened %s took nothing\n", path);
    return 1;
  }
  n = osl_socket_recvfrom(collector, &ip, &port, got, (int32_t)sizeof got - 1);
  if (n <= 0) {
    fprintf(stderr, "log_daemon: no datagram arrived\n");
    return 1;
  }
  got[n] = '\0'; /* the datagram carries its own terminator; this one guards a short one */
  printf("udp: %s", got);

  osl_log_remove_target(udp_id);
  osl_log_exit();
  osl_socket_destroy(collector);
  osl_exit();
  return 0;
}
