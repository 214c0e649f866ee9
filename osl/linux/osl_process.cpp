// Shell commands and small system queries, and the layer's start-up, shutdown and signals.
//
// The state: the exit request, a lock-free atomic byte set from the SIGTERM handler and read by
// any thread, and the flag that silences the SIGPIPE notice once standard output is broken. The
// SIGPIPE notice is formatted on the stack and written with write(2), so the handler takes no
// lock that the interrupted code might hold.

#include "osl.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "osl_command.h"
#include "osl_log.h"
#include "osl_network.h"
#include "osl_string.h"

extern char **environ;

namespace {

constexpr int32_t kCpuLineSize = 1024;  // line buffer of osl_get_cpu_count; reads take 1023
constexpr int kShellCheckMs = 50;       // how often a running command's end is looked for

std::atomic<uchar_t> m_exit{0};
static_assert(std::atomic<uchar_t>::is_always_lock_free,
              "the exit request must be settable from a signal handler");

// Set once a SIGPIPE notice could not be written because standard output is itself a broken
// pipe: that failed write raises SIGPIPE again, and writing the notice each time would loop
// between handler and signal forever. Cleared by osl_init.
volatile sig_atomic_t m_notice_off = 0;

// Installs handler for signo: kept after each delivery, interrupted calls resumed (what glibc's
// signal() does, spelled out so it holds on every C library).
void install_handler(int signo, void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(signo, &sa, nullptr);
}

// The single-instance key: the first four bytes of name as they lie in memory, bytes past the
// terminator of a shorter name left 0. Byte order is the machine's.
key_t instance_key(const char *name) {
  unsigned char bytes[sizeof(key_t)] = {0, 0, 0, 0};
  static_assert(sizeof(key_t) == 4, "the key holds exactly four bytes of the name");
  for (size_t i = 0; i < sizeof bytes && name[i] != '\0'; ++i) {
    bytes[i] = static_cast<unsigned char>(name[i]);
  }
  key_t key;
  memcpy(&key, bytes, sizeof key);
  return key;
}

// Appends the decimal text of v to p (at least 12 bytes of room); returns the new end.
char *append_int(char *p, int32_t v) {
  uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  if (v < 0) *p++ = '-';
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  while (n > 0) *p++ = digits[--n];
  return p;
}

// Waits for the shell pid to end, resuming after signals.
void reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

constexpr int kDiscardOutput = -1;  // spawn_shell: standard output on /dev/null

// Starts /bin/sh -c cmd with its standard output on out_fd, or on /dev/null for kDiscardOutput.
// Standard input, error, the signal mask and dispositions stay the caller's; own_group instead
// makes it the leader of a new process group with standard input on /dev/null, the mask empty
// and SIGPIPE and SIGCHLD at their defaults. False when it could not be started.
bool spawn_shell(const char *cmd, int out_fd, bool own_group, pid_t *pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  char sh[] = "sh";
  char dash_c[] = "-c";
  char *argv[] = {sh, dash_c, const_cast<char *>(cmd), nullptr};  // posix_spawn writes none
  int err = out_fd == kDiscardOutput
                ? posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0)
                : posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  if (own_group) {
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    if (err == 0) {
      err = posix_spawnattr_setflags(
          &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    if (err == 0) err = posix_spawnattr_setpgroup(&attr, 0);
    if (err == 0) err = posix_spawnattr_setsigmask(&attr, &none);
    if (err == 0) err = posix_spawnattr_setsigdefault(&attr, &defaults);
    if (err == 0) err = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (err == 0) err = posix_spawn(pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return err == 0;
}

// Runs cmd through the shell with its standard output on /dev/null and waits for that shell
// only, as system() does. No pipe: a pipe would have to be drained to spare the command SIGPIPE,
// and a background child that inherits it would hold the caller until that child ends.
int32_t run_discarding_output(const char *cmd) {
  pid_t pid = -1;
  if (!spawn_shell(cmd, kDiscardOutput, false, &pid)) {
    osl_log_warn("popen() error!\r\n");
    return -1;
  }
  reap(pid);
  return 0;
}

// True once the shell pid has ended (and been reaped, or reaped by the system because SIGCHLD
// is ignored).
bool shell_has_ended(pid_t pid) {
  int status = 0;
  const pid_t w = waitpid(pid, &status, WNOHANG);
  return w == pid || (w < 0 && errno != EINTR);
}

// Reads into buf (room bytes) what lies in the pipe fd right now, and nothing that arrives
// later: the caller's answer once the shell has ended, when only a background child can still
// be writing. Returns the bytes read.
size_t read_queued(int fd, char *buf, size_t room) {
  int queued = 0;
  if (ioctl(fd, FIONREAD, &queued) != 0 || queued <= 0) return 0;
  size_t want = static_cast<size_t>(queued) < room ? static_cast<size_t>(queued) : room;
  size_t got = 0;
  while (got < want) {
    ssize_t n = read(fd, buf + got, want - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return got;
}

int64_t monotonic_ms() {
  struct timespec ts = {0, 0};
  clock_gettime(CLOCK_MONOTONIC, &ts);  // cannot fail for this clock; never read unset
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// How long the next wait for the shell may take: kShellCheckMs, or what is left before the
// deadline when there is one (0 or less: the time is up).
int64_t next_wait(bool bounded, int64_t deadline) {
  if (!bounded) return kShellCheckMs;
  const int64_t left = deadline - monotonic_ms();
  return left < kShellCheckMs ? left : kShellCheckMs;
}

// Waits for the shell pid to end: for ever without a deadline, else until it; false when the
// deadline came first.
bool await_shell(pid_t pid, bool bounded, int64_t deadline) {
  if (!bounded) {
    reap(pid);
    return true;
  }
  while (!shell_has_ended(pid)) {
    const int64_t wait_ms = next_wait(true, deadline);
    if (wait_ms <= 0) return false;
    poll(nullptr, 0, static_cast<int>(wait_ms));
  }
  return true;
}

}  // namespace

namespace osl_command {

Run capture(const char *cmd, char *buf, size_t size, int64_t limit_ms) {
  const bool bounded = limit_ms >= 0;
  const int64_t deadline = bounded ? monotonic_ms() + limit_ms : 0;
  int fds[2] = {-1, -1};
  // With standard output closed the write end may itself be descriptor 1, which the dup2 in
  // the child would leave close-on-exec: move it above the standard three first.
  if (pipe2(fds, O_CLOEXEC) == 0 && fds[1] <= 2) {
    const int moved = fcntl(fds[1], F_DUPFD_CLOEXEC, 3);
    close(fds[1]);
    fds[1] = moved;
  }
  pid_t pid = -1;
  const bool started = fds[1] >= 0 && spawn_shell(cmd, fds[1], bounded, &pid);
  if (fds[1] >= 0) close(fds[1]);
  if (!started) {
    if (fds[0] >= 0) close(fds[0]);
    osl_log_warn("popen() error!\r\n");
    return Run::kNotStarted;
  }

  memset(buf, 0, size);
  size_t got = 0;
  bool shell_ended = false;
  bool late = false;
  // Looked at before every read, not only when the pipe is quiet: a background child that
  // writes without pause would otherwise keep the pipe busy and hide the shell's end.
  while (got < size && !(shell_ended = shell_has_ended(pid))) {
    const int64_t wait_ms = next_wait(bounded, deadline);
    if (wait_ms <= 0) {
      late = true;
      break;
    }
    struct pollfd p = {fds[0], POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(wait_ms));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    ssize_t n = read(fds[0], buf + got, size - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;  // the end of the output: every writer has closed the pipe
    }
  }
  if (shell_ended) got += read_queued(fds[0], buf + got, size - got);
  // Output beyond size stays unread; the command may see EPIPE if it writes more.
  close(fds[0]);
  if (!shell_ended && !late) late = !await_shell(pid, bounded, deadline);
  if (!late) return Run::kDone;
  // The group outlives its leader while any member lives, so its id is not reused meanwhile.
  kill(-pid, SIGKILL);
  reap(pid);
  return Run::kTimedOut;
}

}  // namespace osl_command

extern "C" {

int32_t osl_excute(const char *cmd, char *buf, int32_t size) {
  if (cmd == nullptr || cmd[0] == '\0') return 0;
  if (buf == nullptr || size <= 0) return run_discarding_output(cmd);
  return osl_command::capture(cmd, buf, static_cast<size_t>(size), -1) == osl_command::Run::kDone
             ? 0
             : -1;
}

int32_t osl_get_cpu_count(void) {
  FILE *fp = fopen("/proc/cpuinfo", "rb");
  if (fp == nullptr) return -1;
  int32_t count = 0;
  char line[kCpuLineSize];
  memset(line, 0, sizeof line);
  // A line longer than 1022 characters arrives in pieces; each piece is tested as a line.
  while (fgets(line, kCpuLineSize - 1, fp) != nullptr) {
    if (osl_strncmp_nocase(line, "processor", 9) == 0) ++count;
  }
  fclose(fp);
  return count;
}

void osl_gets(char_t *str) {
  if (str == nullptr) return;
  // Byte by byte up to the newline, so that only the text and its terminator are written: the
  // caller's buffer may be smaller than OSL_GETS_MAX when it knows its lines are short. A zero
  // byte ends the text but not the line; the rest of the line, and of an overlong one, is read
  // and dropped so that the next call starts on the next line.
  int32_t len = 0;
  bool ended = false;  // a zero byte has ended the text
  flockfile(stdin);
  int c;
  while ((c = getc_unlocked(stdin)) != EOF && c != '\n') {
    if (ended || len == OSL_GETS_MAX - 1) continue;
    if (c == '\0') {
      ended = true;
      continue;
    }
    str[len++] = static_cast<char_t>(c);
  }
  funlockfile(stdin);
  str[len] = '\0';
}

void os_sys_print_ip(uint32_t ip) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    printf("%d.", static_cast<int>((ip >> shift) & 0xFFu));
  }
}

int32_t osl_generate_uuid(char_t *buf, int32_t size) {
  (void)buf;
  (void)size;
  return 1;
}

int32_t osl_init(const char *name) {
  srand(static_cast<unsigned>(time(nullptr)));

  if (name != nullptr) {
    // The set lives only for this check: it refuses a start while another process holds a set
    // under the same key, and is removed again on every path that created it.
    int semid = semget(instance_key(name), 1, IPC_CREAT | IPC_EXCL | 0666);
    if (semid == -1) {
      printf("'%s': This program is running!\n", name);
      return -1;
    }
    struct sembuf op;
    op.sem_num = 0;
    op.sem_op = 1;
    op.sem_flg = IPC_NOWAIT | SEM_UNDO;
    if (semop(semid, &op, 1) == -1) {
      semctl(semid, 0, IPC_RMID);
      puts("semop failed");
      return -1;
    }
    semctl(semid, 0, IPC_RMID);
  }

  m_exit.store(0);
  m_notice_off = 0;
  install_handler(SIGTERM, osl_kill);
  install_handler(SIGPIPE, osl_on_signal);
  osl_log_init(0);
  osl_network_init();
  return 0;
}

void osl_exit(void) { osl_network_exit(); }

uchar_t osl_is_exit(void) { return m_exit.load(); }

void osl_kill(int32_t sig) {
  (void)sig;
  m_exit.store(1);
}

void osl_on_signal(int32_t signal) {
  if (m_notice_off != 0) return;
  int saved = errno;
  static const char kHead[] = "sytem signal ";
  static const char kTail[] = " captured!\n";
  char text[sizeof kHead + 12 + sizeof kTail];
  char *p = text;
  memcpy(p, kHead, sizeof kHead - 1);
  p += sizeof kHead - 1;
  p = append_int(p, signal);
  memcpy(p, kTail, sizeof kTail - 1);
  p += sizeof kTail - 1;
  const char *q = text;
  while (q < p) {
    ssize_t n = write(1, q, static_cast<size_t>(p - q));
    if (n > 0) {
      q += n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n < 0 && errno == EPIPE) m_notice_off = 1;
      break;
    }
  }
  errno = saved;
}

void osl_assert(int32_t flag, const char *file, int32_t line) {
  if (flag == 0) {
    printf("%s(%d): assert failed\n", file != nullptr ? file : "", static_cast<int>(line));
  }
}

}  // extern "C"
