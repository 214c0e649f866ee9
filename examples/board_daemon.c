/* A board daemon's start-up and signals: one instance at a time, SIGHUP to reload, SIGINT and
 * SIGTERM to stop, a main loop that sleeps until a signal or its next tick, and a long command
 * that a SIGTERM ends early instead of running to its limit.
 *
 *   cc -std=c99 board_daemon.c $(pkg-config --cflags --libs --static wanradio-osl) -o board_daemon
 *   ./board_daemon
 *
 * Here it sends itself the signals a service manager would send. Exits 0 when each was seen. */
#define _POSIX_C_SOURCE 200809L /* kill, fork, waitpid */
#include <osl/osl.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void) {
  char out[64];
  int32_t status, sig, rc, reloads = 0, ticks = 0;
  pid_t sender;

  /* A daemon forks (if it does) before osl_init: the single-instance hold is not inherited. */
  if (osl_init("brdd") != 0) return 1; /* "'brdd': This program is running!" */
  if (osl_signal_watch(SIGHUP, 0) != 0 || osl_signal_watch(SIGINT, 1) != 0 ||
      osl_signal_watch(SIGTERM, 1) != 0)
    return 1;

  /* The main loop: one wait per tick, which returns early with the signal that arrived. */
  kill(getpid(), SIGHUP);
  while (!osl_is_exit() && ticks < 3) {
    sig = osl_signal_wait(100);
    if (sig == SIGHUP) {
      ++reloads; /* reread the configuration here */
    } else if (sig == 0) {
      ++ticks; /* the periodic work */
    }
  }
  printf("reloads %d, ticks %d\n", (int)reloads, (int)ticks);

  /* A long command: a SIGTERM (here from a child of ours, 200 ms on) ends it at once. */
  sender = fork();
  if (sender == 0) {
    osl_usleep(200000);
    kill(getppid(), SIGTERM);
    _exit(0);
  }
  rc = osl_excute_timed("echo working; sleep 30", out, (int32_t)sizeof out, 60000, &status);
  printf("command: %s, status %d, output %s", rc != 0 && errno == EINTR ? "stopped" : "ran",
         (int)status, out);
  if (sender > 0) waitpid(sender, NULL, 0);
  sig = osl_signal_wait(0); /* takes the SIGTERM: commands may run again, say for clean-up */
  printf("signal %d, exit request %d\n", (int)sig, (int)osl_is_exit());
  osl_exit();
  return reloads == 1 && ticks == 3 && rc == -1 && sig == SIGTERM && osl_is_exit() ? 0 : 1;
}
