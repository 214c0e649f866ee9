// The layer's system habits, each written once: ASCII classes and case folding, digit parsing
// with overflow checks, the monotonic clock and time limits kept on it, and read, write and
// waitpid that ride out signals, waits and writes bounded by a time limit, closes that keep
// errno. Private to the layer: never installed, never included by a public header. Locale-free on purpose: protocol and board text must not be read
// differently under another locale or sign of char.
#ifndef OSL_SYS_H
#define OSL_SYS_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

extern "C" char **environ;

namespace osl_sys {

// ---- ASCII

// Upper-case hexadecimal digits, as escapes and dumps write them.
constexpr char kHexDigits[] = "0123456789ABCDEF";

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }
constexpr bool is_alpha(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool is_alnum(int c) { return is_digit(c) || is_alpha(c); }
constexpr int to_upper(int c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }
constexpr int to_lower(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Whether the n bytes at a and b are equal ignoring ASCII case (zero bytes compare as bytes).
inline bool equal_nocase(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (to_lower(static_cast<unsigned char>(a[i])) != to_lower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Copies src into dst of size bytes (size >= 1), cut to size - 1 bytes, and terminates it;
// nothing after the terminator is written.
void copy_bounded(char *dst, size_t size, const char *src);

// 0-15 for a hexadecimal digit in either case, -1 for any other byte.
constexpr int32_t hex_value(int c) {
  return is_digit(c)               ? c - '0'
         : (c >= 'a' && c <= 'f') ? c - 'a' + 10
         : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                  : -1;
}
constexpr bool is_xdigit(int c) { return hex_value(c) >= 0; }

// ---- digits

// Reads the run of digits in base 10 or 16 that starts at s, looking at no more than len bytes.
// Returns how many digits it read (0 when s starts with none), the value in *out; -1 when the
// value would exceed max (then *out is untouched).
ptrdiff_t scan_digits(const char *s, size_t len, int base, uint64_t max, uint64_t *out);

// True when all len bytes of s are digits in base (len >= 1) and their value is at most max.
inline bool parse_digits(const char *s, size_t len, int base, uint64_t max, uint64_t *out) {
  return len > 0 && scan_digits(s, len, base, max, out) == static_cast<ptrdiff_t>(len);
}

// The run of decimal digits that starts at s, modulo 2^64, for the contracts that state that
// wrap; *end (when non-null) is set past the run.
uint64_t dec_wrapping(const char *s, const char **end);

// ---- clock and time limits

// Milliseconds of CLOCK_MONOTONIC, or -1 when the clock cannot be read (on the 32-bit board, a
// filter that refuses the 64-bit time calls with EPERM); errno is kept.
int64_t mono_ms(void);

// A time limit on the monotonic clock. While that clock cannot be read it is kept on the
// kernel's tick count (times(2), 10 ms steps, only whole steps counted), which no time-call filter
// refuses; should that fail too, each wait lasts at most 10 ms and counts as that long (so a
// storm of signals that cuts the waits short may end the limit early). errno is kept.
class Deadline {
 public:
  // limit_ms < 0: no limit.
  explicit Deadline(int64_t limit_ms);

  // Milliseconds the next wait may last, at most at_most: 0 once the limit is reached, -1 (wait
  // without end) when there is no limit and at_most is negative.
  int32_t wait_ms(int32_t at_most = -1);

  bool expired() { return remaining() == 0; }

 private:
  int64_t remaining();  // ms left (0: reached), -1 without a limit

  int64_t limit_ms_;
  int64_t start_ms_;  // -1 once the clock could not be read
  int64_t spent_ms_;  // at least this much has passed
  uint32_t start_tick_;
  bool ticking_;      // start_tick_ was read and the tick count still reads
};

// ---- descriptors and children

// open(2) for the layer's own work: always close-on-exec, continued after EINTR (opening a FIFO
// waits for its other end). Descriptors handed to a caller are opened by their own call.
int open_file(const char *path, int flags, mode_t mode = 0);

// close(2) for the clean-up after a failure: the failure's errno is kept. EINTR is not retried
// (Linux has released the descriptor by then).
void close_keep_errno(int fd);

// A negative byte count fails as the kernel fails a bad length: true, with errno EINVAL. Sizes
// are int32_t in the public calls; a negative one would reach the kernel as gigabytes.
inline bool bad_size(int32_t size);

// Waits until fd is ready for events (POLLIN, POLLOUT) or limit is reached, riding out signals.
// Returns poll's revents (> 0; POLLERR, POLLHUP and POLLNVAL count as ready), 0 at the limit,
// -1 with errno when poll itself fails.
int wait_fd(int fd, short events, Deadline &limit);

// read(2), continued after EINTR.
ssize_t read_some(int fd, void *buf, size_t n);

// Writes all n bytes, continuing after EINTR and short writes. Returns n, or -1 with the failing
// write's errno (some bytes may have been written). A descriptor in non-blocking mode may fail
// with EAGAIN.
ssize_t write_all(int fd, const void *buf, size_t n);

// write_all on a descriptor that may be non-blocking, bounded by limit: waits for room with
// wait_fd. Returns n, or -1 with errno (ETIMEDOUT at the limit, else the failing write's); *done
// (when given) counts the bytes written either way.
ssize_t write_all(int fd, const void *buf, size_t n, Deadline &limit, size_t *done = nullptr);

// Renames from to to (both relative to the folder dir, or AT_FDCWD) only while to does not exist:
// 0, or -1 with errno (EEXIST when it does). Where the file system refuses RENAME_NOREPLACE, a
// hard link and an unlink do it; where it has no hard links either, a plain rename once to is
// seen free (the one step that another process could still race).
int rename_noreplace(int dir, const char *from, const char *to);

// waitpid(2), continued after EINTR.
pid_t wait_child(pid_t pid, int *status, int options);

// The local-time breakdown of t into *out; tzset first so that a TZ changed by setenv alone is
// seen, as localtime itself would. The process-wide record of localtime is left untouched. Null
// when t cannot be broken down.
inline struct tm *local_of(time_t t, struct tm *out) {
  tzset();
  return localtime_r(&t, out);
}

inline bool bad_size(int32_t size) {
  if (size >= 0) return false;
  errno = EINVAL;
  return true;
}

static_assert(sizeof(time_t) == 8,
              "build with _TIME_BITS=64: dates past 2038 must work on the 32-bit board too");

}  // namespace osl_sys

#endif  // OSL_SYS_H
