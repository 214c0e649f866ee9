// The log's file targets: opening a path and judging what it opened, rotation through numbered
// backups, following a path that names another file, and the writes to pipes and terminals that
// neither stall the caller nor cut a text nor let SIGPIPE or SIGTTOU reach the process. State is
// in the target records, unlocked: one thread at a time logs and changes settings.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "osl_log_target.h"
#include "osl_sys.h"

namespace osl_log_target {

namespace {

constexpr mode_t kLogFileMode = 0664;  // a new log file, before the umask
constexpr int kLogFileFlags = O_WRONLY | O_APPEND | O_NONBLOCK;  // open_file adds O_CLOEXEC
constexpr int64_t kCheckPathTexts = 256;  // how often PATH is compared while no clock reads
// A backup name: the longest path a URL carries and ".bak.dropped".
constexpr size_t kBackupNameSize = kUrlSize + 16;

// What an open found at a path.
struct Opened {
  bool in_place, may_pipe, tty, fifo, watch;
  dev_t dev;
  ino_t ino;
};

// Opens path for appending without waiting (a missing file is made only when create) and judges
// what was opened: a path that is a link, or a descriptor that is no regular file, is written in
// place and stays non-blocking; anything but a regular file or a character device is guarded.
int open_path(const char_t *path, bool create, Opened *o) {
  struct stat st;
  const bool named_other = lstat(path, &st) == 0 && !S_ISREG(st.st_mode);
  const bool link = named_other && S_ISLNK(st.st_mode);
  const int fd = osl_sys::open_file(path, kLogFileFlags | (create ? O_CREAT : 0), kLogFileMode);
  if (fd < 0) return -1;
  const bool known = fstat(fd, &st) == 0;
  const bool regular = known && S_ISREG(st.st_mode);
  o->in_place = named_other || !regular;
  o->may_pipe = !known || (!regular && !S_ISCHR(st.st_mode));
  o->fifo = known && S_ISFIFO(st.st_mode);
  o->watch = regular || link;
  o->tty = known && S_ISCHR(st.st_mode) && isatty(fd) == 1;
  o->dev = known ? st.st_dev : 0;
  o->ino = known ? st.st_ino : 0;
  if (regular) (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// Whether PATH is due to be compared with the open file: once each second of the coarse
// monotonic clock, which is read without a system call and far more cheaply than the fine one,
// or once every kCheckPathTexts texts while it cannot be read. errno is kept.
inline bool path_due(Target &t) {
  struct timespec ts;
  const int saved = errno;
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) == 0) {
    if (static_cast<int64_t>(ts.tv_sec) == t.checked_s) return false;
    t.checked_s = static_cast<int64_t>(ts.tv_sec);
    return true;
  }
  errno = saved;
  return ++t.checked_s % kCheckPathTexts == 0;
}

void commit(Target &t, int fd, const Opened &o) {
  t.fd = fd;
  t.in_place = o.in_place;
  t.may_pipe = o.may_pipe;
  t.tty = o.tty;
  t.fifo = o.fifo;
  t.watch = o.watch;
  t.dev = o.dev;
  t.ino = o.ino;
  t.reopen = false;
  t.stalled = false;
  t.rest_len = 0;
  (void)path_due(t);  // the first comparison comes a second on
}

// A FIFO whose reader left, or that had none: its path opened again, never created. Until an
// open succeeds the path is tried again at each text, whatever an attempt fails with.
__attribute__((noinline, cold)) bool open_fifo_again(Target &t) {
  Opened o;
  const int fd = open_path(t.path, false, &o);
  if (fd < 0) {
    t.reopen = true;
    return false;
  }
  commit(t, fd, o);
  return true;
}

// The name of step k of a rotation, never cut (false when it would be): 0, path itself; 1,
// PATH.bak; up to the count, PATH.bak.k; beyond it, PATH.bak.dropped, where the oldest backup
// waits until the rotation succeeded.
bool backup_name(const char_t *path, uint32_t k, char_t *buf) {
  const int n = k > 1 && k <= m_backups
                    ? snprintf(buf, kBackupNameSize, "%s.bak.%u", path, k)
                    : snprintf(buf, kBackupNameSize, "%s%s", path,
                               k == 0 ? "" : k == 1 ? ".bak" : ".bak.dropped");
  return n > 0 && static_cast<size_t>(n) < kBackupNameSize;
}

// The lowest backup from 1 to the count that is missing, the count + 1 when none is, or 0 when a
// directory comes first (no backup: never moved nor removed).
uint32_t first_free(const char_t *path) {
  char_t name[kBackupNameSize];
  struct stat st;
  for (uint32_t k = 1; k <= m_backups; ++k) {
    if (!backup_name(path, k, name)) return 0;
    if (lstat(name, &st) == 0) {
      if (S_ISDIR(st.st_mode)) return 0;
    } else if (errno == ENOENT) {
      return k;
    }
  }
  return m_backups + 1;
}

// Moves the log at path to PATH.bak, the backups before the first missing one each a step older,
// and opens a new one at path: its descriptor, or -1 with every name as it was when a rename
// fails or the new file cannot be opened. No rename replaces a file: when every backup within the
// count is taken, the oldest goes to PATH.bak.dropped, removed only once all else worked. When
// something took path's place meanwhile, the log stays PATH.bak all the same (-1).
int move_aside(const char_t *path, Opened *o) {
  static_assert(kBackupNameSize >= kUrlSize - 1 + 12 + 1, "backup names are never cut");
  char_t from[kBackupNameSize], to[kBackupNameSize], dropped[kBackupNameSize];
  if (!backup_name(path, kBackupsMax + 1, dropped)) return -1;
  (void)unlink(dropped);  // a crashed rotation's: the backup it was dropping
  const uint32_t top = first_free(path);
  if (top == 0) return -1;
  uint32_t k = top;  // steps k + 1 .. top are done: backup j - 1 is now j
  while (k > 0 && backup_name(path, k - 1, from) && backup_name(path, k, to) &&
         osl_sys::rename_noreplace(AT_FDCWD, from, to) == 0) {
    --k;
  }
  int fd = -1;
  if (k == 0) {
    fd = open_path(path, true, o);
    if (fd >= 0 || !backup_name(path, 1, from) ||
        osl_sys::rename_noreplace(AT_FDCWD, from, path) != 0) {
      (void)unlink(dropped);
      return fd;
    }
    k = 1;
  }
  while (++k <= top) {  // undone in reverse
    if (backup_name(path, k, from) && backup_name(path, k - 1, to)) {
      (void)osl_sys::rename_noreplace(AT_FDCWD, from, to);
    }
  }
  return -1;
}

// 1 when SIGPIPE is pending for this thread itself (a signal of the process as a whole is
// not), 0 when none is pending, -1 when one is but the "SigPnd" mask of
// /proc/thread-self/status cannot tell whose.
__attribute__((noinline)) int thread_sigpipe() {
  sigset_t pending;
  if (sigpending(&pending) != 0 || sigismember(&pending, SIGPIPE) != 1) return 0;
  char_t status[4096];
  const int fd = osl_sys::open_file("/proc/thread-self/status", O_RDONLY);
  const ssize_t n = fd < 0 ? -1 : osl_sys::read_some(fd, status, sizeof status - 1);
  if (fd >= 0) osl_sys::close_keep_errno(fd);
  status[n > 0 ? n : 0] = '\0';
  const char_t *line = strstr(status, "\nSigPnd:\t");  // then "\nShdPnd:\t", 16 digits each
  const uint64_t bit = uint64_t{1} << (SIGPIPE - 1);
  uint64_t own = 0, shared = 0;
  if (line == nullptr || osl_sys::scan_digits(line + 9, 16, 16, UINT64_MAX, &own) != 16 ||
      strncmp(line + 25, "\nShdPnd:\t", 9) != 0 ||
      osl_sys::scan_digits(line + 34, 16, 16, UINT64_MAX, &shared) != 16 ||
      ((own | shared) & bit) == 0) {
    return -1;
  }
  return (own & bit) != 0 ? 1 : 0;
}

// One write. A guarded one (had not null) first notes in *had whether this thread has a SIGPIPE
// of its own pending, which an EPIPE would merge with the log's; when that cannot be told,
// nothing is written (-1, ECANCELED).
ssize_t write_step(int fd, const char_t *text, size_t len, bool *had) {
  if (had != nullptr) {
    const int own = thread_sigpipe();
    if (own < 0) {
      errno = ECANCELED;
      return -1;
    }
    *had = own == 1;
  }
  return write(fd, text, len);
}

// The rest of a write that did not take everything (done bytes went), waiting for room at most
// wait_ms in all; signals do not cut the wait short. The bytes written in all; errno when fewer
// (EAGAIN: no room in time).
__attribute__((noinline, cold)) size_t wait_rest(int fd, const char_t *text, size_t len,
                                                 size_t done, int32_t wait_ms, bool *had) {
  osl_sys::Deadline limit(wait_ms);
  if (had == nullptr) {  // unguarded: no pending set to read before each write
    size_t more = 0;
    if (osl_sys::write_all(fd, text + done, len - done, limit, &more) < 0 && errno == ETIMEDOUT) {
      errno = EAGAIN;
    }
    return done + more;
  }
  while (done < len) {
    const int ready = osl_sys::wait_fd(fd, POLLOUT, limit);
    if (ready <= 0) {
      if (ready == 0) errno = EAGAIN;
      break;
    }
    const ssize_t n = write_step(fd, text + done, len - done, had);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      if (n == 0) errno = EIO;
      break;
    }
  }
  return done;
}

// Writes len bytes (n of them went by the first write), waiting for room at most wait_ms; as
// wait_rest.
size_t finish_write(int fd, const char_t *text, size_t len, ssize_t n, int32_t wait_ms, bool *had) {
  if (__builtin_expect(n == static_cast<ssize_t>(len), true)) return len;
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    if (n == 0) errno = EIO;
    return 0;
  }
  return wait_rest(fd, text, len, n > 0 ? static_cast<size_t>(n) : 0, wait_ms, had);
}

size_t write_waiting(int fd, const char_t *text, size_t len, int32_t wait_ms, bool *had) {
  return finish_write(fd, text, len, write_step(fd, text, len, had), wait_ms, had);
}

// What a text that n bytes of went by the first write leaves: whole, its rest kept, or lost to a
// full target (which is then stalled). 0, or the errno of a failed write.
int settle(Target &t, const char_t *text, size_t len, size_t n) {
  if (__builtin_expect(n == len, true)) {
    t.stalled = false;
    return 0;
  }
  const int err = errno;
  if (n > 0) {
    memcpy(t.rest, text + n, len - n);
    t.rest_len = len - n;
  }
  if (err == EAGAIN) t.stalled = true;
  return err == EAGAIN ? 0 : err;
}

// Writes a text to a target that is no regular file (a pipe, a terminal, a device), whole or not
// at all: the first text that finds it full waits at most kWaitMs, later ones are lost at once
// until it takes one again; the end of a text it took only part of is kept and written before any
// later text. 0, or the errno of a failed write (EPIPE: the reader left).
int put(Target &t, const char_t *text, size_t len, bool *had) {
  if (__builtin_expect(t.rest_len > 0, false)) {
    const size_t n = write_waiting(t.fd, t.rest, t.rest_len, 0, had);
    if (n < t.rest_len) {
      const int err = errno;
      memmove(t.rest, t.rest + n, t.rest_len - n);
      t.rest_len -= n;
      if (err != EAGAIN) t.rest_len = 0;
      return err == EAGAIN ? 0 : err;  // still full: this text is lost
    }
    t.rest_len = 0;
  }
  return settle(t, text, len, write_waiting(t.fd, text, len, t.stalled ? 0 : kWaitMs, had));
}

// The end of put for an unguarded target whose first write (n) did not take the whole text.
__attribute__((noinline, cold)) void put_after(Target &t, const char_t *text, size_t len,
                                               ssize_t n) {
  (void)settle(t, text, len, finish_write(t.fd, text, len, n, kWaitMs, nullptr));
}

void take_back_sigpipe(bool had, const sigset_t &block) {
  const struct timespec now = {0, 0};
  while (!had && sigtimedwait(&block, nullptr, &now) < 0 && errno == EINTR) {
  }
}

// Writes a text to a target that can raise SIGPIPE or is a terminal, with SIGPIPE or SIGTTOU
// blocked in this thread. The SIGPIPE a reader's leaving raised is taken back; one this thread
// had pending just before the failed write stays, as does one of the process. A FIFO whose
// reader left is opened again at once and gets the same text. The mask is put back as found.
__attribute__((noinline)) void write_guarded(Target &t, const char_t *text, size_t len) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, t.tty ? SIGTTOU : SIGPIPE);
  if (pthread_sigmask(SIG_BLOCK, &block, &old) != 0) return;
  bool had = false;
  bool *const guard = t.tty ? nullptr : &had;
  if (put(t, text, len, guard) == EPIPE && guard != nullptr) {
    take_back_sigpipe(had, block);
    if (t.fifo) {
      close(t.fd);
      t.fd = -1;
      if (open_fifo_again(t) && put(t, text, len, guard) == EPIPE) {
        take_back_sigpipe(had, block);
        close(t.fd);
        t.fd = -1;
        t.reopen = true;
      }
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// The rest of a regular file's write that failed or fell short; the bytes written in all (a full
// disk takes fewer, and only what was written counts toward the maximum).
__attribute__((noinline, cold)) size_t finish_regular(int fd, const char_t *text, size_t len,
                                                      ssize_t n) {
  if (n < 0 && errno != EINTR) return 0;
  const size_t done = n > 0 ? static_cast<size_t>(n) : 0;
  osl_sys::Deadline no_limit(-1);
  size_t more = 0;
  (void)osl_sys::write_all(fd, text + done, len - done, no_limit, &more);
  return done + more;
}

// Moves the log aside and opens a new one, keeping the open descriptor until that succeeded. A
// log with no text is not moved (no backup is replaced by an empty file); a path that names
// another file by now is opened again instead, moving nothing.
__attribute__((noinline, cold)) void rotate(Target &t) {
  t.filesize = 0;
  if (t.in_place || t.fd < 0) return;
  struct stat cur, at;
  if (fstat(t.fd, &cur) != 0 || cur.st_size == 0) return;
  if (lstat(t.path, &at) != 0 || at.st_dev != cur.st_dev || at.st_ino != cur.st_ino) {
    (void)reopen_file(t);
    return;
  }
  Opened o;
  const int fd = move_aside(t.path, &o);
  if (fd < 0) return;  // kept and appended to
  close(t.fd);
  commit(t, fd, o);
}

// Opens PATH again when it names another file than the open one (removed or replaced from
// outside, or a link that names another file), once path_due says so. Out of line, so that a
// device's writes set up no clock reading.
__attribute__((noinline)) void check_path(Target &t) {
  if (__builtin_expect(!path_due(t), true)) return;
  struct stat st;
  const int r = t.in_place ? stat(t.path, &st) : lstat(t.path, &st);
  if (r == 0 ? st.st_dev == t.dev && st.st_ino == t.ino : errno != ENOENT) {
    return;
  }
  (void)reopen_file(t);
}

}  // namespace

void close_file(Target &t) {
  if (t.fd >= 0) close(t.fd);
  t.fd = -1;
  t.in_place = t.may_pipe = t.tty = t.fifo = t.watch = t.reopen = t.stalled = false;
  t.rest_len = 0;
}

void open_file_target(Target &t) {
  close_file(t);
  const char_t *path = t.path;
  if (path == nullptr || path[0] == '\0') return;
  struct stat st;
  Opened o;
  int fd = lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
                   !open_elsewhere(t, st.st_dev, st.st_ino)
               ? move_aside(path, &o)
               : -1;
  if (fd < 0) fd = open_path(path, true, &o);
  const bool no_reader = fd < 0 && errno == ENXIO;
  if (fd >= 0) {
    commit(t, fd, o);
  } else {
    t.reopen = no_reader;
  }
}

int32_t reopen_file(Target &t) {
  if (t.path == nullptr || t.path[0] == '\0') return -1;
  Opened o;
  const int fd = open_path(t.path, !(t.fifo || t.reopen), &o);
  if (fd < 0) return -1;
  if (t.fd >= 0) close(t.fd);
  commit(t, fd, o);
  struct stat st;
  t.filesize = !o.in_place && fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  return 0;
}

void write_file(Target &t, const char_t *text, size_t len) {
  if (__builtin_expect(t.fd < 0, false)) {
    if (!t.reopen || !open_fifo_again(t)) return;
  }
  size_t written = len;
  if (t.watch) check_path(t);
  if (__builtin_expect(!t.in_place, true)) {
    const ssize_t n = write(t.fd, text, len);
    if (__builtin_expect(n != static_cast<ssize_t>(len), false)) {
      written = finish_regular(t.fd, text, len, n);
    }
  } else if (__builtin_expect(!t.may_pipe && !t.tty && !t.stalled && t.rest_len == 0, true)) {
    const ssize_t n = write(t.fd, text, len);  // a device such as /dev/null: put, inline
    if (__builtin_expect(n != static_cast<ssize_t>(len), false)) put_after(t, text, len, n);
  } else if (!t.may_pipe && !t.tty) {
    (void)put(t, text, len, nullptr);
  } else {
    write_guarded(t, text, len);
  }
  t.filesize += written;
  osl_clock::start_ms();
  if (t.filesize >= m_maxsize) rotate(t);
}

}  // namespace osl_log_target
