// The layer's system habits; see osl_sys.h.
#include "osl_sys.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>  // renameat2
#include <string.h>
#include <sys/stat.h>
#include <sys/times.h>
#include <sys/wait.h>
#include <unistd.h>

namespace osl_sys {

ptrdiff_t scan_digits(const char *s, size_t len, int base, uint64_t max, uint64_t *out) {
  uint64_t value = 0;
  size_t i = 0;
  for (; i < len; ++i) {
    const int32_t d = hex_value(static_cast<unsigned char>(s[i]));
    if (d < 0 || d >= base) break;
    // Checked without a 64-bit division, which the 32-bit board does in a runtime helper.
    if (__builtin_mul_overflow(value, static_cast<uint64_t>(base), &value) ||
        __builtin_add_overflow(value, static_cast<uint64_t>(d), &value) || value > max) {
      return -1;
    }
  }
  *out = value;
  return static_cast<ptrdiff_t>(i);
}

void copy_bounded(char *dst, size_t size, const char *src) {
  const size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

uint64_t dec_wrapping(const char *s, const char **end) {
  uint64_t value = 0;
  for (; is_digit(*s); ++s) value = value * 10u + static_cast<uint64_t>(*s - '0');
  if (end != nullptr) *end = s;
  return value;
}

int64_t mono_ms(void) {
  const int saved = errno;
  struct timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) == 0) {
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
  errno = saved;
  return -1;
}

namespace {

constexpr int64_t kBlindWaitMs = 10;

// The kernel's tick count (USER_HZ, 100 on every Linux architecture) into *out; false when it
// cannot be read, which shows as a buffer the kernel left unwritten (glibc's return value does
// not tell). Differences are right across its wrap for 497 days. errno is kept.
bool ticks(uint32_t *out) {
  const int saved = errno;
  struct tms buf;
  buf.tms_utime = static_cast<clock_t>(-1);
  *out = static_cast<uint32_t>(times(&buf));
  errno = saved;
  return buf.tms_utime != static_cast<clock_t>(-1);
}

}  // namespace

Deadline::Deadline(int64_t limit_ms)
    : limit_ms_(limit_ms), start_ms_(mono_ms()), spent_ms_(0), start_tick_(0),
      ticking_(ticks(&start_tick_)) {}

int64_t Deadline::remaining() {
  if (limit_ms_ < 0) return -1;
  if (start_ms_ >= 0) {
    const int64_t now = mono_ms();
    if (now >= 0) {
      spent_ms_ = now - start_ms_;
    } else {
      start_ms_ = -1;
    }
  }
  uint32_t now_tick;
  if (start_ms_ < 0 && ticking_) {
    if (ticks(&now_tick)) {
      // The first step may come at once: only the steps after it surely passed.
      const uint32_t steps = now_tick - start_tick_;
      const int64_t passed = steps > 0 ? static_cast<int64_t>(steps - 1) * 10 : 0;
      if (passed > spent_ms_) spent_ms_ = passed;
    } else {
      ticking_ = false;
    }
  }
  return spent_ms_ >= limit_ms_ ? 0 : limit_ms_ - spent_ms_;
}

int32_t Deadline::wait_ms(int32_t at_most) {
  int64_t n = remaining();
  if (n < 0) return at_most;
  if (at_most >= 0 && n > at_most) n = at_most;
  if (start_ms_ < 0 && !ticking_) {  // no clock at all: the waits keep the limit
    if (n > kBlindWaitMs) n = kBlindWaitMs;
    spent_ms_ += n;
  }
  return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

int open_file(const char *path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t read_some(int fd, void *buf, size_t n) {
  ssize_t got;
  do {
    got = read(fd, buf, n);
  } while (got < 0 && errno == EINTR);
  return got;
}

ssize_t write_all(int fd, const void *buf, size_t n) {
  const char *p = static_cast<const char *>(buf);
  size_t done = 0;
  while (done < n) {
    const ssize_t w = write(fd, p + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w == 0 || errno != EINTR) {
      if (w == 0) errno = EIO;
      return -1;
    }
  }
  return static_cast<ssize_t>(n);
}

void close_keep_errno(int fd) {
  const int saved = errno;
  (void)close(fd);
  errno = saved;
}

int wait_fd(int fd, short events, Deadline &limit) {
  struct pollfd p;
  p.fd = fd;
  p.events = events;
  for (;;) {
    const int32_t ms = limit.wait_ms();
    if (ms == 0) return 0;
    p.revents = 0;
    const int n = poll(&p, 1, ms);
    if (n > 0) return p.revents;
    if (n < 0 && errno != EINTR) return -1;
  }
}

ssize_t write_all(int fd, const void *buf, size_t n, Deadline &limit, size_t *done) {
  const char *p = static_cast<const char *>(buf);
  size_t sent = 0;
  ssize_t result = static_cast<ssize_t>(n);
  while (sent < n) {
    const ssize_t w = write(fd, p + sent, n - sent);
    if (w > 0) {
      sent += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int ready = wait_fd(fd, POLLOUT, limit);
      if (ready > 0) continue;  // room, or an error the next write reports
      if (ready == 0) errno = ETIMEDOUT;
    } else if (w == 0) {
      errno = EIO;
    }
    result = -1;
    break;
  }
  if (done != nullptr) *done = sent;
  return result;
}

int rename_noreplace(int dir, const char *from, const char *to) {
  if (renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (linkat(dir, from, dir, to, 0) == 0) {
    if (unlinkat(dir, from, 0) == 0) return 0;
    const int err = errno;
    (void)unlinkat(dir, to, 0);
    errno = err;
    return -1;
  }
  struct stat st;
  if (errno == EEXIST || fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;  // to cannot be looked at: its own error
  return renameat(dir, from, dir, to);
}

pid_t wait_child(pid_t pid, int *status, int options) {
  pid_t got;
  do {
    got = waitpid(pid, status, options);
  } while (got < 0 && errno == EINTR);
  return got;
}

}  // namespace osl_sys
