// Files by path and by descriptor handle. Thin wrappers: one system call each, results and errno
// as the kernel gave them, no state, nothing retried. Copy and move live in osl_file_move.cpp,
// the line reader in osl_file_lines.cpp.
//
// Positions are 64-bit on every target: the build sets 64-bit file offsets, so on the 32-bit
// board open/lseek/fstat/stat are the large-file calls and files past 2 GiB work.

#include "osl_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "osl_file_handle.h"
#include "osl_sys.h"

static_assert(sizeof(off_t) == 8, "file positions must be 64-bit on every target");

namespace {

constexpr mode_t kCreateMode = 0664;    // new files, before the process's umask
constexpr mode_t kReadOnlyMode = 0444;  // osl_file_chmod mode 1
constexpr mode_t kWritableMode = 0774;  // osl_file_chmod modes 2 and 4

using osl_file::fd_of;
using osl_file::handle_of;

}  // namespace

extern "C" {

int32_t osl_file_rename(const char *srcfile, const char *dstfile) {
  return rename(srcfile, dstfile) == 0 ? 0 : -1;
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
  static_assert(SEEK_SET == 0 && SEEK_CUR == 1 && SEEK_END == 2, "bases are lseek's");
  if (base < 0 || base > 2) {
    errno = EINVAL;  // never SEEK_DATA, SEEK_HOLE or what a later kernel adds
    return;
  }
  (void)lseek(fd_of(fp), static_cast<off_t>(pos), base);
}

int64_t osl_file_tell(void *fp) { return static_cast<int64_t>(lseek(fd_of(fp), 0, SEEK_CUR)); }

int32_t osl_file_read(void *fp, void *buf, int32_t size) {
  if (osl_sys::bad_size(size)) return -1;
  return static_cast<int32_t>(read(fd_of(fp), buf, static_cast<size_t>(size)));
}

int32_t osl_file_write(void *fp, const void *buf, int32_t size) {
  if (osl_sys::bad_size(size)) return -1;
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
