// The layer's start-up and shutdown, its single-instance hold, and its signals: the exit request,
// the SIGPIPE notice, and the watched signals a daemon waits on.
//
// Every handler here only stores lock-free atomics and writes to descriptors, so it takes no
// lock the interrupted code might hold. A watched signal sets its bit in m_pending and writes a
// byte to the wake pipe; a wait takes one bit and sleeps on the pipe while none is set. The bits
// are the truth and the bytes only wake: a byte may outlive its bit, never the reverse.

#include "osl.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
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
#include "osl_signal.h"
#include "osl_sys.h"

namespace {

constexpr int kMaxSignal = 64;        // signals 1..64: two 32-bit words of bits
constexpr mode_t kInstanceMode = 0600;  // only the owner (and root) may touch the hold

std::atomic<uchar_t> m_exit{0};
static_assert(std::atomic<uchar_t>::is_always_lock_free,
              "the exit request must be settable from a signal handler");

// Set once a SIGPIPE notice could not be written because standard output is itself a broken
// pipe: that failed write raises SIGPIPE again, and writing the notice each time would loop
// between handler and signal forever. Cleared by osl_init.
volatile sig_atomic_t m_notice_off = 0;

// Bit sig - 1 of a pair of words: watched signals, the stop signals among them, and those that
// arrived and were not yet returned by a wait.
using Bits = std::atomic<uint32_t>[2];
Bits m_watched = {{0}, {0}};
Bits m_stops = {{0}, {0}};
Bits m_pending = {{0}, {0}};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "signal bits are set by handlers");
std::atomic<int> m_wake_rd{-1};  // the wake pipe, non-blocking and close-on-exec
std::atomic<int> m_wake_wr{-1};
pthread_mutex_t m_watch_lock = PTHREAD_MUTEX_INITIALIZER;  // osl_signal_watch against fork
pthread_once_t m_fork_once = PTHREAD_ONCE_INIT;

std::atomic<uint32_t> &word(Bits &bits, int sig) { return bits[(sig - 1) / 32]; }
uint32_t bit(int sig) { return 1u << ((sig - 1) % 32); }
bool has(Bits &bits, int sig) { return (word(bits, sig).load() & bit(sig)) != 0; }

void wake() {
  const int fd = m_wake_wr.load();
  const char byte = 1;
  if (fd >= 0) (void)!write(fd, &byte, 1);  // a full pipe already wakes
}

void on_watched(int sig) {
  const int saved = errno;
  word(m_pending, sig).fetch_or(bit(sig));
  if (has(m_stops, sig)) m_exit.store(1);
  wake();
  errno = saved;
}

// The lowest-numbered pending stop signal, else the lowest-numbered pending one, taken from the
// pending bits; 0 when none is pending.
int take_pending() {
  for (int stops_first = 1; stops_first >= 0; --stops_first) {
    for (int w = 0; w < 2; ++w) {
      uint32_t cur = m_pending[w].load();
      for (;;) {
        const uint32_t pick = stops_first ? cur & m_stops[w].load() : cur;
        if (pick == 0) break;
        const uint32_t low = pick & (0u - pick);
        if (m_pending[w].compare_exchange_weak(cur, cur & ~low)) {
          return w * 32 + __builtin_ctz(low) + 1;
        }
      }
    }
  }
  return 0;
}

// take_pending for a wait; with more pending, wakes the pipe again, since another waiter may
// sleep on the byte this one drained.
int take_for_wait() {
  const int sig = take_pending();
  if (sig != 0 && (m_pending[0].load() | m_pending[1].load()) != 0) wake();
  return sig;
}

// The child of a fork gets a wake pipe of its own (sharing the parent's, it could take the
// parent's wake-ups) and, as the kernel does, none of the parent's pending signals. The new pipe
// is published before the old one is closed, so a handler never writes to a reused number.
void before_fork() { pthread_mutex_lock(&m_watch_lock); }
void after_fork_parent() { pthread_mutex_unlock(&m_watch_lock); }
void after_fork_child() {
  int fds[2];
  const int old_rd = m_wake_rd.load(), old_wr = m_wake_wr.load();
  if (old_rd >= 0 && pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    m_wake_wr.store(fds[1]);
    m_wake_rd.store(fds[0]);
    close(old_rd);
    close(old_wr);
  }
  m_pending[0].store(0);
  m_pending[1].store(0);
  pthread_mutex_unlock(&m_watch_lock);
}
void register_fork_handlers() { pthread_atfork(before_fork, after_fork_parent, after_fork_child); }

// Installs handler for signo: kept after each delivery, interrupted calls resumed (what glibc's
// signal() does, spelled out so it holds on every C library).
int install_handler(int signo, void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return sigaction(signo, &sa, nullptr);
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

enum class Hold { kTaken, kRunning, kFailed };

// Whether pid names a live process (one this process may not signal counts). A pid of 0, a
// process outside this pid namespace, is unknown and counts as live.
bool alive(int pid) { return pid == 0 || (pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH)); }

// Whether the set, found raised, was left so by a process that has ended (its undo has run),
// so no start can take it while it stays raised. The last changer is read twice around the
// value, so a hold taken meanwhile (which names its taker) is not mistaken for it.
bool abandoned(int semid) {
  const int pid = semctl(semid, 0, GETPID);
  if (pid < 0 || alive(pid)) return false;
  return semctl(semid, 0, GETVAL) > 0 && semctl(semid, 0, GETPID) == pid;
}

// Removes a set; true also when another start removed it first.
bool remove_set(int semid) {
  return semctl(semid, 0, IPC_RMID) == 0 || errno == EIDRM || errno == EINVAL;
}

// Whether this process holds the set: raised once, last by this process.
bool held_here(int semid) {
  return semctl(semid, 0, GETVAL) == 1 && semctl(semid, 0, GETPID) == getpid();
}

// Takes the single-instance hold under key: the set's value goes from 0 to 1 in one semop with
// SEM_UNDO, so the kernel takes it back however this process ends. The set is kept for good,
// mode 0600. A set another user made is never used (its creator could reset it): held, or not
// removable by this process, it refuses the start; otherwise it is removed and made anew. So is
// one of ours left wider by an older start, unless a live process holds it, and one left raised
// by a process that has ended. A hold this process already has (an earlier osl_init, or one
// before exec) is kept.
Hold take_instance(key_t key) {
  for (int tries = 0; tries < 3; ++tries) {
    const int semid = semget(key, 1, IPC_CREAT | kInstanceMode);
    if (semid < 0) return errno == EACCES ? Hold::kRunning : Hold::kFailed;
    struct semid_ds ds;
    memset(&ds, 0, sizeof ds);
    if (semctl(semid, 0, IPC_STAT, &ds) != 0) return Hold::kFailed;
    const uid_t me = geteuid();
    if (ds.sem_perm.uid != me || ds.sem_perm.cuid != me) {
      if (semctl(semid, 0, GETVAL) != 0) return Hold::kRunning;
      if (semctl(semid, 0, IPC_RMID) != 0) return Hold::kRunning;
      continue;
    }
    if ((ds.sem_perm.mode & 0777) != kInstanceMode) {  // made by an older start with 0666
      // Anyone could have raised it, or armed an undo that raises it later: it is raised
      // without undo (so no start, older or not, can take it meanwhile) and replaced. It is not
      // narrowed first: a set of mode 0600 has then only ever been open to its owner.
      struct sembuf lock[2] = {{0, 0, IPC_NOWAIT}, {0, 1, IPC_NOWAIT}};
      if (semop(semid, lock, 2) != 0) {
        if (errno == EIDRM || errno == EINVAL) continue;  // replaced by another start
        if (errno != EAGAIN) return Hold::kFailed;
        if (held_here(semid)) return Hold::kTaken;
        if (!abandoned(semid)) return Hold::kRunning;
      }
      if (!remove_set(semid)) return Hold::kFailed;
      continue;
    }
    struct sembuf ops[2];
    ops[0].sem_num = 0;
    ops[0].sem_op = 0;
    ops[0].sem_flg = IPC_NOWAIT;
    ops[1].sem_num = 0;
    ops[1].sem_op = 1;
    ops[1].sem_flg = IPC_NOWAIT | SEM_UNDO;
    if (semop(semid, ops, 2) == 0) return Hold::kTaken;
    if (errno == EAGAIN) {
      if (held_here(semid)) return Hold::kTaken;
      if (!abandoned(semid)) return Hold::kRunning;
      if (!remove_set(semid)) return Hold::kFailed;
      continue;  // a start killed while it held an old set as a lock, for one
    }
    if (errno != EIDRM && errno != EINVAL) return Hold::kFailed;  // removed meanwhile: again
  }
  return Hold::kRunning;
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

namespace osl_signal {

bool stop_pending() {
  return ((m_pending[0].load() & m_stops[0].load()) | (m_pending[1].load() & m_stops[1].load())) !=
         0;
}

}  // namespace osl_signal

extern "C" {

int32_t osl_init(const char *name) {
  srand(static_cast<unsigned>(time(nullptr)));

  // An empty name's key is IPC_PRIVATE, which names no shared set: nothing to check.
  if (name != nullptr && instance_key(name) != IPC_PRIVATE) {
    const Hold hold = take_instance(instance_key(name));
    if (hold == Hold::kRunning) printf("'%s': This program is running!\n", name);
    if (hold == Hold::kFailed) puts("semop failed");
    if (hold != Hold::kTaken) return -1;
  }

  m_exit.store(0);
  m_notice_off = 0;
  // A signal the application watches keeps its watch.
  install_handler(SIGTERM, has(m_watched, SIGTERM) ? on_watched : osl_kill);
  install_handler(SIGPIPE, has(m_watched, SIGPIPE) ? on_watched : osl_on_signal);
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

int32_t osl_signal_watch(int32_t sig, int32_t stop) {
  // A handler that returns from a fault runs the faulting instruction again, for ever.
  static const int kFaults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};
  bool fault = false;
  for (int f : kFaults) fault = fault || sig == f;
  if (sig < 1 || sig > kMaxSignal || sig == SIGKILL || sig == SIGSTOP || fault) {
    errno = EINVAL;
    return -1;
  }
  pthread_once(&m_fork_once, register_fork_handlers);
  pthread_mutex_lock(&m_watch_lock);
  int32_t rc = 0;
  int fds[2];
  if (m_wake_rd.load() < 0) {
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      m_wake_wr.store(fds[1]);
      m_wake_rd.store(fds[0]);
    } else {
      rc = -1;
    }
  }
  if (rc == 0) {
    // The bits first: a signal that comes as the handler goes in finds them set.
    const bool was_watched = has(m_watched, sig);
    const bool was_stop = has(m_stops, sig);
    if (stop != 0) {
      word(m_stops, sig).fetch_or(bit(sig));
    } else {
      word(m_stops, sig).fetch_and(~bit(sig));
    }
    word(m_watched, sig).fetch_or(bit(sig));
    if (install_handler(sig, on_watched) != 0) {
      const int err = errno;
      if (!was_watched) word(m_watched, sig).fetch_and(~bit(sig));
      if (was_stop) word(m_stops, sig).fetch_or(bit(sig));
      else word(m_stops, sig).fetch_and(~bit(sig));
      errno = err;
      rc = -1;
    }
  }
  pthread_mutex_unlock(&m_watch_lock);
  return rc;
}

int32_t osl_signal_wait(int32_t timeout_ms) {
  if (m_wake_rd.load() < 0) {
    errno = EINVAL;
    return -1;
  }
  osl_sys::Deadline limit(timeout_ms < 0 ? -1 : timeout_ms);
  for (;;) {
    const int sig = take_for_wait();
    if (sig != 0) return sig;
    const int fd = m_wake_rd.load();
    const int ready = osl_sys::wait_fd(fd, POLLIN, limit);
    if (ready < 0) return -1;
    if (ready == 0) return take_for_wait();
    char drain[64];
    while (read(fd, drain, sizeof drain) > 0) {
    }
  }
}

}  // extern "C"
