// Files by path and by descriptor handle. Thin wrappers: one system call each (copy and move are
// short fixed sequences), results and errno as the kernel gave them, no state, nothing retried.
//
// Positions are 64-bit on every target: this unit is built with 64-bit file offsets, so on the
// 32-bit board open/lseek/fstat/stat are the large-file calls and files past 2 GiB work.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "osl_file.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static_assert(sizeof(off_t) == 8, "file positions must be 64-bit on every target");

namespace {

constexpr mode_t kCreateMode = 0664;   // new files, before the process's umask
constexpr mode_t kReadOnlyMode = 0444; // osl_file_chmod mode 1
constexpr mode_t kWritableMode = 0774; // osl_file_chmod modes 2 and 4
constexpr int32_t kCopyBufSize = 4096; // bytes moved per read by osl_file_copy
constexpr char kMvPath[] = "/bin/mv";  // osl_file_mv across file systems

// A handle is the descriptor plus 1; null gives -1, which every call rejects with EBADF.
inline int fd_of(void *fp) { return static_cast<int>(reinterpret_cast<intptr_t>(fp) - 1); }
inline void *handle_of(int fd) { return reinterpret_cast<void *>(static_cast<intptr_t>(fd) + 1); }

// Writes all len bytes, continuing after short writes: 0 done, -1 on a failed write.
int32_t write_all(int fd, const char *buf, ssize_t len) {
  while (len > 0) {
    ssize_t n = write(fd, buf, static_cast<size_t>(len));
    if (n < 0) return -1;
    buf += n;
    len -= n;
  }
  return 0;
}

}  // namespace

extern "C" {

int32_t osl_file_rename(const char *srcfile, const char *dstfile) {
  return rename(srcfile, dstfile) == 0 ? 0 : -1;
}

int32_t osl_file_copy(const char *srcfile, const char *dstfile) {
  int fd1 = open(srcfile, O_RDONLY);
  if (fd1 < 0) return -1;

  // Refuse before the destination is emptied when that would lose data: a directory as source
  // (it opens but cannot be read), or a destination that is the source itself (same name, a
  // hard link, or a symbolic link to it), which the truncation would wipe.
  struct stat src;
  struct stat dst;
  if (fstat(fd1, &src) != 0) {
    close(fd1);
    return -1;
  }
  if (S_ISDIR(src.st_mode)) {
    close(fd1);
    errno = EISDIR;
    return -1;
  }
  if (stat(dstfile, &dst) == 0 && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
    close(fd1);
    errno = EINVAL;
    return -1;
  }

  int fd2 = open(dstfile, O_WRONLY | O_CREAT | O_TRUNC, kCreateMode);
  if (fd2 < 0) {
    int err = errno;
    close(fd1);
    errno = err;
    return -1;
  }

  // A failed read or write ends the copy with -1 (the destination then holds what was written
  // so far), so a cut-short copy is never reported as done.
  char buffer[kCopyBufSize];
  int32_t result = 0;
  for (;;) {
    ssize_t len = read(fd1, buffer, sizeof buffer);
    if (len == 0) break;
    if (len < 0 || write_all(fd2, buffer, len) != 0) {
      result = -1;
      break;
    }
  }
  int err = errno;
  close(fd1);
  if (close(fd2) != 0 && result == 0) {
    err = errno;
    result = -1;
  }
  errno = err;
  return result;
}

int32_t osl_file_mv(const char_t *srcfile, const char_t *dstfile) {
  if (srcfile == nullptr || dstfile == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (rename(srcfile, dstfile) == 0) return 0;
  if (errno != EXDEV) return -1;
  // Across file systems rename(2) cannot move; the system's mv copies and removes. It is run by
  // its absolute path, never found through PATH, with the names as two separate arguments after
  // "--": no shell sees them, and a leading '-' is no option.
  struct stat st;
  if (stat(dstfile, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;  // mv would put srcfile inside it, which rename never does
    return -1;
  }
  char *argv[] = {const_cast<char *>("mv"), const_cast<char *>("--"),
                  const_cast<char *>(srcfile), const_cast<char *>(dstfile), nullptr};
  pid_t pid;
  int err = posix_spawn(&pid, kMvPath, nullptr, nullptr, argv, environ);
  if (err != 0) {
    errno = err;
    return -1;
  }
  // The child is ours to reap whatever happens, so an interrupted wait is resumed.
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
  // No status to be had (SIGCHLD ignored: the system reaped mv once it ended): judge by the
  // outcome, the source gone and the destination there.
  struct stat after;
  if (lstat(srcfile, &after) == 0 || errno != ENOENT) return -1;
  return lstat(dstfile, &after) == 0 ? 0 : -1;
}

int32_t osl_file_delete(const char *file) { return unlink(file) == 0 ? 0 : -1; }

int32_t osl_file_exist(const char *file) {
  struct stat st;
  if (stat(file, &st) != 0) return -1;
  return S_ISREG(st.st_mode) ? 0 : -1;
}

int32_t osl_file_get_info(const char *file, SFileNodeInfo *node) {
  struct stat st;
  if (lstat(file, &st) != 0) return -1;
  if (node != nullptr) {
    node->modify_utc = static_cast<uint32_t>(st.st_mtime);
    node->size = static_cast<int64_t>(st.st_size);
  }
  return 0;
}

int32_t osl_file_set_modify_utc(const char *file, uint32_t modify_utc) {
  // Only the modification time is given; the access time is left as it was.
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(modify_utc);
  times[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, file, times, 0) == 0 ? 0 : -1;
}

void osl_file_chmod(const char *file, int32_t mode) {
  switch (mode) {
    case OSL_FILE_READ:
      (void)chmod(file, kReadOnlyMode);
      break;
    case OSL_FILE_CREATE:
    case OSL_FILE_READWRITE:
      (void)chmod(file, kWritableMode);
      break;
    default:
      break;
  }
}

void *osl_file_open(const char *file, int32_t mode) {
  int flags;
  switch (mode) {
    case OSL_FILE_READ:
      flags = O_RDONLY;
      break;
    case OSL_FILE_CREATE:
      flags = O_RDWR | O_CREAT | O_TRUNC;
      break;
    case OSL_FILE_READWRITE:
      flags = O_RDWR | O_CREAT;
      break;
    default:
      errno = EINVAL;
      return nullptr;
  }
  int fd = open(file, flags, kCreateMode);
  return fd < 0 ? nullptr : handle_of(fd);
}

void osl_file_close(void *fp) {
  int fd = fd_of(fp);
  if (fd >= 0) (void)close(fd);
}

void osl_file_seek(void *fp, int64_t pos, int32_t base) {
  (void)lseek(fd_of(fp), static_cast<off_t>(pos), base);
}

int64_t osl_file_tell(void *fp) { return static_cast<int64_t>(lseek(fd_of(fp), 0, SEEK_CUR)); }

int32_t osl_file_read(void *fp, void *buf, int32_t size) {
  // A negative size would become a huge count and let the kernel write past buf.
  if (size < 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int32_t>(read(fd_of(fp), buf, static_cast<size_t>(size)));
}

int32_t osl_file_write(void *fp, const void *buf, int32_t size) {
  // A negative size would become a huge count and send memory past buf to the file.
  if (size < 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int32_t>(write(fd_of(fp), buf, static_cast<size_t>(size)));
}

int32_t osl_file_eof(void *fp) {
  int fd = fd_of(fp);
  off_t pos = lseek(fd, 0, SEEK_CUR);
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  return st.st_size == pos ? 1 : 0;
}

}  // extern "C"
