/* spawn_stat: runs a command (or a two-command pipeline) many times and reports the medians of
 * its whole-process wall time, CPU time and peak memory, for compare.sh.
 *
 *   spawn_stat RUNS WARMUP prog [args...] [--pipe prog2 [args...]]
 *
 * Each run starts the program(s) with posix_spawnp, standard output to /dev/null (with --pipe,
 * the first program's output feeds the second's input), and waits for all of them with wait4.
 * Wall time runs from just before the first spawn to the last wait; CPU time is user + system of
 * all processes; peak memory is the sum of each process's own maximum resident set (ru_maxrss).
 * WARMUP runs come first and are not counted.
 *
 * Prints one line: runs failures wall_median_us wall_p10_us wall_p90_us cpu_median_us
 * maxrss_median_kb. A run fails when a program cannot start or exits other than with status 0.
 * Exits 1 when any run failed or on a usage error. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static int cmp_i64(const void *a, const void *b) {
  const int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
  return (x > y) - (x < y);
}

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int64_t tv_us(const struct timeval *tv) {
  return (int64_t)tv->tv_sec * 1000000 + tv->tv_usec;
}

/* Starts argv with the given descriptors on 0 and 1 (-1: inherit); returns the pid or -1.
 * The pipe ends are close-on-exec, so each program keeps only the end it was given. */
static pid_t start(char **argv, int in_fd, int out_fd) {
  posix_spawn_file_actions_t fa;
  pid_t pid;
  int rc;
  posix_spawn_file_actions_init(&fa);
  if (in_fd >= 0) posix_spawn_file_actions_adddup2(&fa, in_fd, 0);
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
  rc = posix_spawnp(&pid, argv[0], &fa, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

/* One run. Fills wall, cpu (us) and rss (KiB); returns 0 when every program exited with 0. */
static int run_once(char **cmd1, char **cmd2, int null_fd, int64_t *wall, int64_t *cpu,
                    int64_t *rss) {
  pid_t pids[2] = {-1, -1};
  int pfd[2] = {-1, -1};
  int i, failed = 0;
  const int64_t t0 = now_ns();
  if (cmd2 == NULL) {
    pids[0] = start(cmd1, -1, null_fd);
  } else {
    if (pipe2(pfd, O_CLOEXEC) != 0) return -1;
    pids[0] = start(cmd1, -1, pfd[1]);
    pids[1] = start(cmd2, pfd[0], null_fd);
    close(pfd[0]);
    close(pfd[1]);
  }
  *cpu = 0;
  *rss = 0;
  for (i = 0; i < 2; ++i) {
    int status = 0;
    struct rusage ru;
    if (i == 1 && cmd2 == NULL) break;
    if (pids[i] < 0) {
      failed = 1;
      continue;
    }
    if (wait4(pids[i], &status, 0, &ru) != pids[i]) {
      failed = 1;
      continue;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failed = 1;
    *cpu += tv_us(&ru.ru_utime) + tv_us(&ru.ru_stime);
    *rss += ru.ru_maxrss;
  }
  *wall = (now_ns() - t0) / 1000;
  return failed ? -1 : 0;
}

int main(int argc, char **argv) {
  char **cmd1, **cmd2 = NULL;
  int64_t *wall, *cpu, *rss;
  long runs, warmup, i, n = 0, failures = 0;
  int null_fd;
  if (argc < 4) {
    fputs("usage: spawn_stat RUNS WARMUP prog [args...] [--pipe prog2 [args...]]\n", stderr);
    return 1;
  }
  runs = strtol(argv[1], NULL, 10);
  warmup = strtol(argv[2], NULL, 10);
  if (runs < 1 || warmup < 0) {
    fputs("spawn_stat: RUNS must be at least 1 and WARMUP at least 0\n", stderr);
    return 1;
  }
  cmd1 = argv + 3;
  for (i = 3; i < argc; ++i) {
    if (strcmp(argv[i], "--pipe") == 0) {
      argv[i] = NULL;
      cmd2 = argv + i + 1;
      if (cmd2[0] == NULL) {
        fputs("spawn_stat: --pipe needs a program\n", stderr);
        return 1;
      }
      break;
    }
  }
  null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  wall = calloc((size_t)runs, sizeof *wall);
  cpu = calloc((size_t)runs, sizeof *cpu);
  rss = calloc((size_t)runs, sizeof *rss);
  if (null_fd < 0 || wall == NULL || cpu == NULL || rss == NULL) {
    perror("spawn_stat");
    return 1;
  }
  for (i = 0; i < warmup + runs; ++i) {
    int64_t w, c, r;
    const int rc = run_once(cmd1, cmd2, null_fd, &w, &c, &r);
    if (i < warmup) continue;
    if (rc != 0) {
      ++failures;
      continue;
    }
    wall[n] = w;
    cpu[n] = c;
    rss[n] = r;
    ++n;
  }
  if (n == 0) {
    printf("%ld %ld 0 0 0 0 0\n", runs, failures);
    return 1;
  }
  qsort(wall, (size_t)n, sizeof *wall, cmp_i64);
  qsort(cpu, (size_t)n, sizeof *cpu, cmp_i64);
  qsort(rss, (size_t)n, sizeof *rss, cmp_i64);
  printf("%ld %ld %lld %lld %lld %lld %lld\n", runs, failures, (long long)wall[n / 2],
         (long long)wall[n / 10], (long long)wall[n - 1 - n / 10], (long long)cpu[n / 2],
         (long long)rss[n / 2]);
  return failures != 0;
}
