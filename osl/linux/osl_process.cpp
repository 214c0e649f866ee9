// Small system queries, and the layer's start-up, shutdown and signals.
//
// The state: the exit request, a lock-free atomic byte set from the SIGTERM handler and read by
// any thread, and the flag that silences the SIGPIPE notice once standard output is broken. The
// SIGPIPE notice is formatted on the stack and written with write(2), so the handler takes no
// lock that the interrupted code might hold.

#include "osl.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "osl_log.h"
#include "osl_network.h"
#include "osl_string.h"
#include "osl_sys.h"

namespace {

constexpr int32_t kCpuLineSize = 1024;  // line buffer of osl_get_cpu_count; reads take 1023

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

}  // namespace

extern "C" {

int32_t osl_get_cpu_count(void) {
  FILE *fp = fopen("/proc/cpuinfo", "rbe");
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

  // An empty name's key is IPC_PRIVATE, which names no shared set: nothing to check.
  if (name != nullptr && instance_key(name) != IPC_PRIVATE) {
    // The set under the key is kept for good; a running copy holds its value at 1. Waiting for
    // zero and raising happen in one semop, so two copies starting together cannot both pass,
    // and SEM_UNDO has the kernel take the raise back however this process ends.
    const int semid = semget(instance_key(name), 1, IPC_CREAT | 0666);
    struct sembuf ops[2];
    ops[0].sem_num = 0;
    ops[0].sem_op = 0;
    ops[0].sem_flg = IPC_NOWAIT;
    ops[1].sem_num = 0;
    ops[1].sem_op = 1;
    ops[1].sem_flg = IPC_NOWAIT | SEM_UNDO;
    if (semid == -1 || semop(semid, ops, 2) == -1) {
      if (semid != -1 && errno == EAGAIN) {
        printf("'%s': This program is running!\n", name);
      } else {
        puts("semop failed");
      }
      return -1;
    }
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
  if (osl_sys::write_all(1, text, static_cast<size_t>(p - text)) < 0 && errno == EPIPE) {
    m_notice_off = 1;
  }
  errno = saved;
}

void osl_assert(int32_t flag, const char *file, int32_t line) {
  if (flag == 0) {
    printf("%s(%d): assert failed\n", file != nullptr ? file : "", static_cast<int>(line));
  }
}

}  // extern "C"
