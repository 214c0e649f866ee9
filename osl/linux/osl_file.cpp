// Files by path and by descriptor handle. Thin wrappers: one system call each (copy and move are
// short fixed sequences that ride out signals), results and errno as the kernel gave them, no
// state, nothing retried.
//
// Positions are 64-bit on every target: this unit is built with 64-bit file offsets, so on the
// 32-bit board open/lseek/fstat/stat are the large-file calls and files past 2 GiB work.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "osl_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "osl_sys.h"

static_assert(sizeof(off_t) == 8, "file positions must be 64-bit on every target");

namespace {

constexpr mode_t kCreateMode = 0664;   // new files, before the process's umask
constexpr mode_t kReadOnlyMode = 0444; // osl_file_chmod mode 1
constexpr mode_t kWritableMode = 0774; // osl_file_chmod modes 2 and 4
constexpr int32_t kCopyBufSize = 4096; // bytes moved per read by copy and move
constexpr char kMoveTemp[] = ".osl_mv.XXXXXX";  // osl_file_mv's temporary, beside the destination

// A handle is the descriptor plus 1; null gives -1, which every call rejects with EBADF.
inline int fd_of(void *fp) { return static_cast<int>(reinterpret_cast<intptr_t>(fp) - 1); }
inline void *handle_of(int fd) { return reinterpret_cast<void *>(static_cast<intptr_t>(fd) + 1); }

// Copies from fd_in to its end into fd_out: 0, or -1 with the errno of the failed read or write.
int32_t copy_data(int fd_in, int fd_out) {
  char buffer[kCopyBufSize];
  for (;;) {
    const ssize_t len = osl_sys::read_some(fd_in, buffer, sizeof buffer);
    if (len == 0) return 0;
    if (len < 0 || osl_sys::write_all(fd_out, buffer, static_cast<size_t>(len)) < 0) return -1;
  }
}

// Closes fd and removes the file at path, keeping errno: the clean-up of a failed move.
int32_t drop_temp(int fd, const char *path) {
  const int err = errno;
  if (fd >= 0) close(fd);
  unlink(path);
  errno = err;
  return -1;
}

// Makes at tmp (a mkstemp template, rewritten) a copy of src, whose lstat is st: a regular file
// with its content, owner where permitted, mode and times, flushed to disk; or a symbolic link
// to the same target. 0, or -1 with errno and nothing left at tmp.
int32_t copy_to_temp(const char *src, const struct stat &st, char *tmp) {
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (S_ISLNK(st.st_mode)) {
    char target[PATH_MAX];
    const ssize_t len = readlink(src, target, sizeof target);
    if (len < 0) return -1;
    if (static_cast<size_t>(len) == sizeof target) {
      errno = ENAMETOOLONG;
      return -1;
    }
    target[len] = '\0';
    const int fd = mkstemp(tmp);  // reserves a free name for the link
    if (fd < 0) return -1;
    close(fd);
    if (unlink(tmp) != 0) return drop_temp(-1, tmp);
    if (symlink(target, tmp) != 0) return -1;  // the name was taken meanwhile: not ours
    const int owned = lchown(tmp, st.st_uid, st.st_gid);  // where permitted, as for a file
    (void)owned;
    return utimensat(AT_FDCWD, tmp, times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : drop_temp(-1, tmp);
  }
  // Never waits on a FIFO put at src since its lstat: what is opened must be that file.
  const int in = osl_sys::open_file(src, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return -1;
  struct stat opened;
  if (fstat(in, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    close(in);
    errno = EXDEV;
    return -1;
  }
  const int fd = mkostemp(tmp, O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    close(in);
    errno = err;
    return -1;
  }
  // The owner first (it clears the set-id bits); a file that cannot keep its owner does not
  // keep them either.
  mode_t mode = st.st_mode & 07777;
  if (fchown(fd, st.st_uid, st.st_gid) != 0) mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
  const bool ok = copy_data(in, fd) == 0 && fchmod(fd, mode) == 0 && futimens(fd, times) == 0 &&
                  fsync(fd) == 0;
  const int err = errno;
  close(in);
  if (!ok) {
    errno = err;
    return drop_temp(fd, tmp);
  }
  return close(fd) == 0 ? 0 : drop_temp(-1, tmp);
}

// Moves src to dst on another file system: copy to a temporary beside dst, rename that over
// dst, flush dst's folder, remove src. Regular files and symbolic links only; 0, or -1 with
// errno and src kept.
int32_t move_across(const char *src, const char *dst) {
  struct stat st;
  struct stat at_dst;
  if (lstat(src, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    errno = EXDEV;
    return -1;
  }
  if (lstat(dst, &at_dst) == 0) {
    if (S_ISDIR(at_dst.st_mode)) {
      errno = EISDIR;
      return -1;
    }
    if (at_dst.st_dev == st.st_dev && at_dst.st_ino == st.st_ino) {
      errno = EINVAL;  // one file seen through two mounts: the copy would replace the source
      return -1;
    }
  }
  const char *slash = strrchr(dst, '/');
  const size_t dir_len = slash != nullptr ? static_cast<size_t>(slash - dst) + 1 : 0;
  char tmp[PATH_MAX];
  if (dir_len + sizeof kMoveTemp > sizeof tmp) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(tmp, dst, dir_len);
  memcpy(tmp + dir_len, kMoveTemp, sizeof kMoveTemp);
  if (copy_to_temp(src, st, tmp) != 0) return -1;
  // rename(2) refuses to put a file over a directory (EISDIR), also one that appeared since.
  if (rename(tmp, dst) != 0) return drop_temp(-1, tmp);
  // The rename reaches the disk before src goes, so a power cut leaves at least one of them.
  tmp[dir_len] = '\0';
  const int dir = open(dir_len != 0 ? tmp : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) fsync(dir), close(dir);
  return unlink(src) == 0 ? 0 : -1;
}

// The folder of path (in dir, PATH_MAX bytes) and its last name (*name, *len; trailing slashes
// not counted). False when the folder's name does not fit.
bool split_path(const char *path, char *dir, const char **name, size_t *len) {
  size_t end = strlen(path);
  while (end > 1 && path[end - 1] == '/') --end;
  size_t start = end;
  while (start > 0 && path[start - 1] != '/') --start;
  *name = path + start;
  *len = end - start;
  if (start == 0) {
    memcpy(dir, ".", 2);
    return true;
  }
  if (start >= PATH_MAX) return false;
  memcpy(dir, path, start);
  dir[start] = '\0';
  return true;
}

// Whether a and b name one directory entry: the same last name in the same folder.
bool same_entry(const char *a, const char *b) {
  char da[PATH_MAX], db[PATH_MAX];
  const char *na, *nb;
  size_t la, lb;
  struct stat sa, sb;
  return split_path(a, da, &na, &la) && split_path(b, db, &nb, &lb) && la == lb &&
         memcmp(na, nb, la) == 0 && stat(da, &sa) == 0 && stat(db, &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Whether moving src over dst would lose dst's file while src stays, or stays as a link to
// nothing: two entries of one file, or src a symbolic link whose target is dst's entry or
// resolves to dst's file.
bool one_file(const char *src, const char *dst) {
  struct stat ls, ld, ts, td;
  if (lstat(src, &ls) != 0 || lstat(dst, &ld) != 0) return false;
  if (ls.st_dev == ld.st_dev && ls.st_ino == ld.st_ino) return true;
  if (!S_ISLNK(ls.st_mode)) return false;
  if (stat(src, &ts) == 0 && stat(dst, &td) == 0 && ts.st_dev == td.st_dev &&
      ts.st_ino == td.st_ino) {
    return true;
  }
  char target[PATH_MAX];
  const char *name;
  size_t len;
  if (!split_path(src, target, &name, &len)) return false;
  const size_t dir_len = name - src;  // the link's text is read from its own folder
  const ssize_t n = readlink(src, target + dir_len, sizeof target - dir_len - 1);
  if (n <= 0) return false;
  target[dir_len + static_cast<size_t>(n)] = '\0';
  return same_entry(target[dir_len] == '/' ? target + dir_len : target, dst);
}

}  // namespace

extern "C" {

int32_t osl_file_rename(const char *srcfile, const char *dstfile) {
  return rename(srcfile, dstfile) == 0 ? 0 : -1;
}

int32_t osl_file_copy(const char *srcfile, const char *dstfile) {
  int fd1 = osl_sys::open_file(srcfile, O_RDONLY);
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

  int fd2 = osl_sys::open_file(dstfile, O_WRONLY | O_CREAT | O_TRUNC, kCreateMode);
  if (fd2 < 0) {
    int err = errno;
    close(fd1);
    errno = err;
    return -1;
  }

  // A failed read or write ends the copy with -1 (the destination then holds what was written
  // so far), so a cut-short copy is never reported as done.
  int32_t result = copy_data(fd1, fd2);
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
  // rename(2) does nothing and succeeds for two links to one file, and a link put over the file
  // it names loses that file. One entry under two spellings stays rename(2)'s success.
  if (!same_entry(srcfile, dstfile) && one_file(srcfile, dstfile)) {
    errno = EINVAL;
    return -1;
  }
  if (rename(srcfile, dstfile) == 0) return 0;
  return errno == EXDEV ? move_across(srcfile, dstfile) : -1;
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
