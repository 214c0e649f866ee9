// Lines: osl_gets on standard input and osl_file_gets on a file handle, under one set of rules
// (the Line below): the text up to the newline, cut at the buffer's room or at a zero byte, the
// rest of the line read and dropped, signals ridden out.
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "osl.h"
#include "osl_file.h"
#include "osl_file_handle.h"
#include "osl_sys.h"

namespace {

constexpr size_t kChunk = 512;  // bytes osl_file_gets reads at a time from a seekable file

// One line being read into a caller's buffer. Only the text and its terminator are written, so
// a buffer may be smaller than the most the call could write when the lines are known short.
class Line {
 public:
  Line(char *text, size_t room) : text_(text), room_(room) {}

  // Takes bytes from p (n of them) up to and including the newline; returns how many it took.
  size_t take(const char *p, size_t n) {
    size_t i = 0;
    while (i < n && !done_) {
      const char c = p[i++];
      if (c == '\n') {
        done_ = true;
      } else if (!ended_ && len_ < room_) {
        if (c == '\0') ended_ = true;  // the text ends, the line goes on
        else text_[len_++] = c;
      }
    }
    taken_ += i;
    return i;
  }

  bool done() const { return done_; }
  uint64_t taken() const { return taken_; }   // bytes of the line taken, newline included
  void finish() { text_[len_] = '\0'; }

 private:
  char *text_;
  size_t room_;         // characters the buffer holds besides the terminator
  size_t len_ = 0;
  uint64_t taken_ = 0;
  bool ended_ = false;  // a zero byte has ended the text
  bool done_ = false;   // the newline was taken
};

}  // namespace

extern "C" {

void osl_gets(char_t *str) {
  if (str == nullptr) return;
  // A read cut short by a signal handler without SA_RESTART shows as EOF with the error flag
  // and EINTR, one on a non-blocking descriptor with nothing to read with EAGAIN: the flag is
  // cleared and the read goes on (after a wait for input).
  Line line(str, OSL_GETS_MAX - 1);
  flockfile(stdin);
  errno = 0;
  while (!line.done()) {
    const int c = getc_unlocked(stdin);
    if (c == EOF && ferror_unlocked(stdin) && (errno == EINTR || errno == EAGAIN)) {
      // EAGAIN: a non-blocking descriptor, waited on for the rest of the line
      const int fd = errno == EAGAIN ? fileno_unlocked(stdin) : -2;
      clearerr_unlocked(stdin);
      osl_sys::Deadline no_limit(-1);
      if (fd == -1 || (fd >= 0 && osl_sys::wait_fd(fd, POLLIN, no_limit) < 0)) break;
      errno = 0;
      continue;
    }
    if (c == EOF) break;
    const char byte = static_cast<char>(c);
    line.take(&byte, 1);
  }
  funlockfile(stdin);
  line.finish();
}

int32_t osl_file_gets(void *fp, char_t *buf, int32_t size) {
  if (buf == nullptr || size < 1) {
    errno = EINVAL;
    return -1;
  }
  const int fd = osl_file::fd_of(fp);
  // A regular file is read in chunks and the position put back after the newline; anything
  // else (pipe, FIFO, terminal, socket, a device whose lseek succeeds without moving) one byte
  // per read, so nothing past the line is taken.
  struct stat st;
  const off_t start =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? lseek(fd, 0, SEEK_CUR) : static_cast<off_t>(-1);
  char chunk[kChunk];
  const size_t want = start >= 0 ? sizeof chunk : 1;
  Line line(buf, static_cast<size_t>(size) - 1);
  while (!line.done()) {
    const ssize_t n = osl_sys::read_some(fd, chunk, want);
    if (n < 0 && errno == EAGAIN) {  // a non-blocking descriptor: wait for the rest
      osl_sys::Deadline no_limit(-1);
      if (osl_sys::wait_fd(fd, POLLIN, no_limit) > 0) continue;
    }
    if (n < 0) {
      line.finish();
      const int err = errno;
      if (start >= 0) lseek(fd, start, SEEK_SET);  // the line can be read again
      errno = err;
      return -1;
    }
    if (n == 0) break;
    const size_t used = line.take(chunk, static_cast<size_t>(n));
    if (used < static_cast<size_t>(n) &&
        lseek(fd, -static_cast<off_t>(static_cast<size_t>(n) - used), SEEK_CUR) < 0) {
      line.finish();
      return -1;
    }
  }
  line.finish();
  return line.taken() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(line.taken());
}

}  // extern "C"
