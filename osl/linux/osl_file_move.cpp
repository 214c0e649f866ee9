// Copy and move: the two file operations that take more than one system call. A move across file
// systems takes the source under a private name first, so that it removes only the file it
// copied whatever other processes do to the names meanwhile; docs/design.md ("Files") gives the
// reasons and what is not guaranteed.
#include "osl_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "osl_sys.h"

namespace {

constexpr mode_t kCreateMode = 0664;    // osl_file_copy's new files, before the umask
constexpr size_t kCopyBufSize = 4096;   // bytes moved per read by copy and move
constexpr char kPrivatePrefix[] = ".osl_mv.";  // a move's own names: this and 6 letters
constexpr size_t kPrivateSize = sizeof kPrivatePrefix + 6;
constexpr int kNameTries = 100;         // names tried before giving up with EEXIST
constexpr int kCopyTries = 3;           // copies of a source that changes meanwhile

using osl_sys::close_keep_errno;

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the file changed between two fstat calls on it: content (size, modification time) or
// metadata (change time).
bool changed(const struct stat &a, const struct stat &b) {
  return a.st_size != b.st_size || a.st_mtim.tv_sec != b.st_mtim.tv_sec ||
         a.st_mtim.tv_nsec != b.st_mtim.tv_nsec || a.st_ctim.tv_sec != b.st_ctim.tv_sec ||
         a.st_ctim.tv_nsec != b.st_ctim.tv_nsec;
}

// Writes in's content from position 0 to its end into out, empty at position 0: 0, or -1 with
// the errno of the failed call. When both are regular files and in has holes, only in's data
// ranges are read and written and out is sized to in at the end, so out gets the same holes.
int32_t copy_data(int in, int out) {
  char buf[kCopyBufSize];
  struct stat si, so;
  // A file whose first hole comes before its end has holes (its block count says nothing when
  // room is reserved past the end); the test keeps files whose size says nothing of their
  // content (/proc, sysfs) on the plain loop. Looking moves the position: it goes back to 0.
  const bool regular = fstat(in, &si) == 0 && fstat(out, &so) == 0 && S_ISREG(si.st_mode) &&
                       S_ISREG(so.st_mode);
  const off_t first_hole = regular ? lseek(in, 0, SEEK_HOLE) : -1;
  if (first_hole >= 0 && lseek(in, 0, SEEK_SET) < 0) return -1;
  const bool sparse = first_hole >= 0 && first_hole < si.st_size;
  off_t pos = 0;
  while (sparse) {
    const off_t data = lseek(in, pos, SEEK_DATA);
    if (data < 0 && errno == EINVAL) break;  // not supported here: the plain loop goes on
    if (data < 0 && errno != ENXIO) return -1;
    if (data < 0) {  // only a hole up to the end
      struct stat end;
      return fstat(in, &end) == 0 && ftruncate(out, end.st_size) == 0 ? 0 : -1;
    }
    off_t hole = lseek(in, data, SEEK_HOLE);
    if (hole < 0 || lseek(in, data, SEEK_SET) < 0 || lseek(out, data, SEEK_SET) < 0) return -1;
    for (pos = data; pos < hole;) {
      const size_t want = static_cast<size_t>(hole - pos) < sizeof buf
                              ? static_cast<size_t>(hole - pos) : sizeof buf;
      const ssize_t len = osl_sys::read_some(in, buf, want);
      if (len < 0 || (len > 0 && osl_sys::write_all(out, buf, static_cast<size_t>(len)) < 0)) {
        return -1;
      }
      if (len == 0) hole = pos;  // the file shrank: its end comes next
      pos += len;
    }
  }
  for (;;) {
    const ssize_t len = osl_sys::read_some(in, buf, sizeof buf);
    if (len == 0) return 0;
    if (len < 0 || osl_sys::write_all(out, buf, static_cast<size_t>(len)) < 0) return -1;
  }
}

// The folder of path (into folder, PATH_MAX bytes) and its last name (*name, *len), trailing
// slashes not counted (*slash tells whether there were any). False with ENAMETOOLONG when the
// folder's name does not fit.
bool split_path(const char *path, char *folder, const char **name, size_t *len, bool *slash) {
  size_t end = strlen(path);
  *slash = false;
  while (end > 1 && path[end - 1] == '/') --end, *slash = true;
  size_t start = end;
  while (start > 0 && path[start - 1] != '/') --start;
  *name = path + start;
  *len = end - start;
  if (start == 0) {
    memcpy(folder, ".", 2);
    return true;
  }
  if (start >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(folder, path, start);
  folder[start] = '\0';
  return true;
}

// Whether a (relative to the folder base) and b name one directory entry: the same last name in
// the same folder.
bool same_entry(int base, const char *a, const char *b) {
  char da[PATH_MAX], db[PATH_MAX];
  const char *na, *nb;
  size_t la, lb;
  bool sla, slb;
  struct stat sa, sb;
  return split_path(a, da, &na, &la, &sla) && split_path(b, db, &nb, &lb, &slb) && la == lb &&
         memcmp(na, nb, la) == 0 && fstatat(base, da, &sa, 0) == 0 && stat(db, &sb) == 0 &&
         same_file(sa, sb);
}

// Whether moving src (whose lstat is ls) over dst would lose dst's entry while src stays, or
// stays as a link to nothing: two entries of one file, or src a symbolic link that names dst's
// entry itself (by its text, or by what it resolves to). A link that names what dst names in
// turn (both links to one file) is an ordinary replacement. A text too long to be read whole
// counts as naming dst: what it names cannot be told.
bool one_file(const char *src, const struct stat &ls, const char *dst) {
  struct stat ld, ts;
  if (lstat(dst, &ld) != 0) return false;
  if (same_file(ls, ld)) return true;
  if (!S_ISLNK(ls.st_mode)) return false;
  if (stat(src, &ts) == 0 && same_file(ts, ld)) return true;
  char folder[PATH_MAX], text[PATH_MAX];
  const char *name;
  size_t len;
  bool slash;
  if (!split_path(src, folder, &name, &len, &slash)) return false;
  const ssize_t n = readlink(src, text, sizeof text);
  if (n <= 0) return false;
  if (static_cast<size_t>(n) == sizeof text) return true;
  text[n] = '\0';
  const int dir = osl_sys::open_file(folder, O_PATH | O_DIRECTORY);  // the text's own folder
  const bool same = dir >= 0 && same_entry(dir, text, dst);
  if (dir >= 0) close(dir);
  return same;
}

// Writes a fresh private name into name: kPrivatePrefix and 6 letters, random where the kernel
// gives randomness (a name that is taken is only tried again, never used).
void private_name(char (&name)[kPrivateSize]) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::atomic<unsigned> counter{0};
  unsigned char bytes[6];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    const unsigned mix = static_cast<unsigned>(getpid()) * 2654435761u + ++counter * 40503u +
                         static_cast<unsigned>(osl_sys::mono_ms());
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(mix >> (4 * i));
  }
  memcpy(name, kPrivatePrefix, sizeof kPrivatePrefix - 1);
  for (size_t i = 0; i < sizeof bytes; ++i) {
    name[sizeof kPrivatePrefix - 1 + i] = kLetters[bytes[i] % (sizeof kLetters - 1)];
  }
  name[kPrivateSize - 1] = '\0';
}

// A name of a move: the open folder and the last name in it.
struct Place {
  int dir = -1;
  char name[NAME_MAX + 1];
  bool slash = false;  // the path ended in '/': it names a directory

  ~Place() {
    if (dir >= 0) close(dir);
  }

  // Opens path's folder (for reading where permitted, so that it can be flushed): 0, or -1.
  int open(const char *path) {
    char folder[PATH_MAX];
    const char *last;
    size_t len;
    if (!split_path(path, folder, &last, &len, &slash)) return -1;
    if (len == 0 || (len <= 2 && memcmp(last, "..", len) == 0)) {
      errno = EBUSY;  // "/", "." or "..": as rename(2) refuses them
      return -1;
    }
    if (len > NAME_MAX) {
      errno = ENAMETOOLONG;
      return -1;
    }
    memcpy(name, last, len);
    name[len] = '\0';
    dir = osl_sys::open_file(folder, O_RDONLY | O_DIRECTORY);
    if (dir < 0 && errno == EACCES) dir = osl_sys::open_file(folder, O_PATH | O_DIRECTORY);
    return dir >= 0 ? 0 : -1;
  }
};

// osl_file_mv across file systems: the source is renamed to a private name in its folder, copied
// from there to a temporary beside the destination, the temporary swapped with the destination
// (or renamed to it), and only then the private name removed. Any failure swaps the destination
// back and renames the source back, never over a file that another process put at its name
// meanwhile.
class CrossMove {
 public:
  ~CrossMove() {
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
  }

  int32_t run(const char *src, const char *dst);

 private:
  int32_t fail();  // undoes what was done, keeping errno: -1
  int32_t take_source();
  int32_t copy_link();
  int32_t copy_file();
  int32_t place();
  void swap_back();
  bool changed_since_copy();
  bool taken_at_private(struct stat *at);
  bool source_gone();

  Place from_, to_;
  struct stat st_;              // the source as taken
  char priv_[kPrivateSize] = {};  // the source's private name, once taken
  char temp_[kPrivateSize] = {};  // the temporary beside the destination, once made
  struct stat copy_;            // the temporary as made
  bool swapped_ = false;        // the temporary holds the old destination, its name the copy
  int in_ = -1, out_ = -1;
};

int32_t CrossMove::fail() {
  const int err = errno;
  if (out_ >= 0) close(out_), out_ = -1;
  if (swapped_) swap_back();
  // A file another process renamed over the private name stays there, and the copy stays beside
  // the destination when it may be all that is left of the source.
  struct stat at;
  const bool ours = priv_[0] != '\0' && taken_at_private(&at);
  const bool keep_copy = priv_[0] != '\0' && !ours && source_gone();
  if (temp_[0] != '\0' && !keep_copy) unlinkat(to_.dir, temp_, 0);
  // A file another process put at the source's name stays; the source then keeps its private
  // name.
  if (ours) osl_sys::rename_noreplace(from_.dir, priv_, from_.name);
  errno = err;
  return -1;
}

// Renames the source to a private name on its own file system, so that what is copied is what
// is removed, whatever comes to the source's name meanwhile.
int32_t CrossMove::take_source() {
  char name[kPrivateSize];
  for (int i = 0; i < kNameTries; ++i) {
    private_name(name);
    int rc = renameat2(from_.dir, from_.name, from_.dir, name, RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // No such renaming here: an empty file reserves the name, the rename then replaces it.
      const int fd = openat(from_.dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0) return -1;
      close(fd);
      rc = renameat(from_.dir, from_.name, from_.dir, name);
      if (rc != 0) {
        const int err = errno;
        unlinkat(from_.dir, name, 0);
        errno = err;
      }
    }
    if (rc != 0 && errno == EEXIST) continue;
    if (rc != 0) return -1;
    memcpy(priv_, name, sizeof name);
    return 0;
  }
  errno = EEXIST;
  return -1;
}

// Makes the temporary a symbolic link with the source's text, owner where permitted and times.
int32_t CrossMove::copy_link() {
  char target[PATH_MAX];
  const ssize_t len = readlinkat(from_.dir, priv_, target, sizeof target);
  if (len < 0) return -1;
  if (static_cast<size_t>(len) == sizeof target) {
    errno = ENAMETOOLONG;
    return -1;
  }
  target[len] = '\0';
  char name[kPrivateSize];
  for (int i = 0;; ++i) {
    private_name(name);
    if (symlinkat(target, to_.dir, name) == 0) break;
    if (errno != EEXIST || i == kNameTries) return -1;
  }
  memcpy(temp_, name, sizeof name);
  const int owned = fchownat(to_.dir, temp_, st_.st_uid, st_.st_gid, AT_SYMLINK_NOFOLLOW);
  (void)owned;  // where permitted
  const struct timespec times[2] = {st_.st_atim, st_.st_mtim};
  return utimensat(to_.dir, temp_, times, AT_SYMLINK_NOFOLLOW);
}

// Makes the temporary a flushed copy of the source's content, owner where permitted, mode and
// times. A source that changes during a copy (another process still writing it) is copied again,
// up to kCopyTries times, then the move fails with EBUSY.
int32_t CrossMove::copy_file() {
  in_ = openat(from_.dir, priv_, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (in_ < 0) return -1;
  struct stat opened;
  if (fstat(in_, &opened) != 0) return -1;
  if (!same_file(opened, st_)) {
    errno = EXDEV;
    return -1;
  }
  char name[kPrivateSize];
  for (int i = 0;; ++i) {
    private_name(name);
    out_ = openat(to_.dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out_ >= 0) break;
    if (errno != EEXIST || i == kNameTries) return -1;
  }
  memcpy(temp_, name, sizeof name);
  // The owner first (it clears the set-id bits); a file that cannot keep its owner does not
  // keep them either.
  const bool owned = fchown(out_, st_.st_uid, st_.st_gid) == 0;
  for (int i = 0; i < kCopyTries; ++i) {
    struct stat after;
    if (fstat(in_, &st_) != 0 ||
        (i > 0 && (ftruncate(out_, 0) != 0 || lseek(out_, 0, SEEK_SET) < 0 ||
                   lseek(in_, 0, SEEK_SET) < 0))) {
      return -1;
    }
    mode_t mode = st_.st_mode & 07777;
    if (!owned) mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    const struct timespec times[2] = {st_.st_atim, st_.st_mtim};
    // A file system that keeps no such mode (vfat) refuses it as it would refuse the owner.
    if (copy_data(in_, out_) != 0 || (fchmod(out_, mode) != 0 && errno != EPERM) ||
        futimens(out_, times) != 0 ||
        fsync(out_) != 0 || fstat(in_, &after) != 0) {
      return -1;
    }
    if (!changed(st_, after)) {
      const int fd = out_;
      out_ = -1;
      return close(fd);
    }
  }
  errno = EBUSY;
  return -1;
}

int32_t CrossMove::run(const char *src, const char *dst) {
  if (from_.open(src) != 0 || to_.open(dst) != 0) return -1;
  struct stat at_dst;
  if (fstatat(from_.dir, from_.name, &st_, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (!S_ISREG(st_.st_mode) && !S_ISLNK(st_.st_mode)) {
    errno = EXDEV;  // directories and special files are not moved across file systems
    return -1;
  }
  if (from_.slash || to_.slash) {
    errno = ENOTDIR;
    return -1;
  }
  if (fstatat(to_.dir, to_.name, &at_dst, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(at_dst.st_mode)) {
      errno = EISDIR;
      return -1;
    }
    if (same_file(at_dst, st_)) {
      errno = EINVAL;  // one file seen through two mounts: the copy would replace the source
      return -1;
    }
  }
  if (take_source() != 0) return -1;
  // What was taken may have come to the name since the look above.
  if (fstatat(from_.dir, priv_, &st_, AT_SYMLINK_NOFOLLOW) != 0) return fail();
  if (!S_ISREG(st_.st_mode) && !S_ISLNK(st_.st_mode)) {
    errno = EXDEV;
    return fail();
  }
  if ((S_ISLNK(st_.st_mode) ? copy_link() : copy_file()) != 0 || place() != 0) return fail();
  // Only the file copied, as copied, is removed: not one another process renamed over the private
  // name, nor the source written to since its copy.
  struct stat at;
  if (!taken_at_private(&at) || changed(st_, at)) {
    errno = EBUSY;
    return fail();
  }
  if (unlinkat(from_.dir, priv_, 0) != 0) return fail();
  priv_[0] = '\0';
  // Another process may have linked the private name to the source's name before the removal.
  struct stat now;
  if (fstatat(from_.dir, from_.name, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, st_)) {
    errno = EBUSY;
    return fail();
  }
  if (swapped_) unlinkat(to_.dir, temp_, 0);  // the old destination
  return 0;
}

// Whether the source was written to since its copy (a link is not compared).
bool CrossMove::changed_since_copy() {
  struct stat last;
  return in_ >= 0 && fstat(in_, &last) == 0 && changed(st_, last);
}

// Whether the private name still names the file taken (its lstat into *at).
bool CrossMove::taken_at_private(struct stat *at) {
  return fstatat(from_.dir, priv_, at, AT_SYMLINK_NOFOLLOW) == 0 && same_file(*at, st_);
}

// Whether the source's file may have no name left: linked nowhere, or a link (not held open).
bool CrossMove::source_gone() {
  struct stat now;
  return in_ < 0 || fstat(in_, &now) != 0 || now.st_nlink == 0;
}

// Puts the temporary at the destination's name. An existing destination swaps places with it
// (RENAME_EXCHANGE), so that a source changed meanwhile can still be given up with both names as
// they were; where there is none, or the file system cannot swap, the source is compared before
// the destination is touched. A source written to since its copy gives EBUSY.
int32_t CrossMove::place() {
  if (fstatat(to_.dir, temp_, &copy_, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (renameat2(to_.dir, temp_, to_.dir, to_.name, RENAME_EXCHANGE) == 0) {
    swapped_ = true;
    struct stat old;
    if (fstatat(to_.dir, temp_, &old, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (S_ISDIR(old.st_mode)) {
      errno = EISDIR;  // a directory appeared at the destination since the first look
      return -1;
    }
  } else if (errno != ENOENT && errno != EINVAL) {
    return -1;
  } else if (changed_since_copy()) {
    errno = EBUSY;
    return -1;
  } else if (renameat(to_.dir, temp_, to_.dir, to_.name) != 0) {
    return -1;  // rename(2) refuses to put a file over a directory (EISDIR)
  } else {
    temp_[0] = '\0';
  }
  // The copy reaches the disk at its name before the source goes: a power cut leaves one.
  fsync(to_.dir);
  if (swapped_ && changed_since_copy()) {
    errno = EBUSY;  // written to since its copy: kept, under its own name where that is free
    return -1;
  }
  return 0;
}

// Swaps the old destination back to its name; the copy is then the temporary again. Should
// another process have put a file at the destination's name meanwhile, that file stays there
// (the old destination then goes, as that file's rename would have removed it); should the name
// have gone, the old destination returns to it, or stays at the temporary name if another file
// came first.
void CrossMove::swap_back() {
  swapped_ = false;
  if (renameat2(to_.dir, temp_, to_.dir, to_.name, RENAME_EXCHANGE) != 0) {
    osl_sys::rename_noreplace(to_.dir, temp_, to_.name);
    temp_[0] = '\0';
    return;
  }
  struct stat back;
  if (fstatat(to_.dir, temp_, &back, AT_SYMLINK_NOFOLLOW) == 0 && !same_file(back, copy_)) {
    renameat2(to_.dir, temp_, to_.dir, to_.name, RENAME_EXCHANGE);
  }
}

}  // namespace

extern "C" {

int32_t osl_file_copy(const char *srcfile, const char *dstfile) {
  const int in = osl_sys::open_file(srcfile, O_RDONLY);
  if (in < 0) return -1;
  // Refuse before the destination is emptied when that would lose data: a directory as source
  // (it opens but cannot be read), or a destination that is the source itself (same name, a
  // hard link, or a symbolic link to it), which the truncation would wipe.
  struct stat src;
  struct stat dst;
  if (fstat(in, &src) != 0) {
    close_keep_errno(in);
    return -1;
  }
  if (S_ISDIR(src.st_mode) || (stat(dstfile, &dst) == 0 && same_file(dst, src))) {
    close(in);
    errno = S_ISDIR(src.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  const int out = osl_sys::open_file(dstfile, O_WRONLY | O_CREAT | O_TRUNC, kCreateMode);
  if (out < 0) {
    close_keep_errno(in);
    return -1;
  }
  // A failed read or write ends the copy with -1 (the destination then holds what was written
  // so far), so a cut-short copy is never reported as done.
  int32_t result = copy_data(in, out);
  close_keep_errno(in);
  if (result != 0) {
    close_keep_errno(out);
  } else if (close(out) != 0) {
    result = -1;
  }
  return result;
}

int32_t osl_file_mv(const char_t *srcfile, const char_t *dstfile) {
  if (srcfile == nullptr || dstfile == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // One entry under two spellings: rename(2)'s success, as callers have it.
  if (same_entry(AT_FDCWD, srcfile, dstfile)) return rename(srcfile, dstfile) == 0 ? 0 : -1;
  struct stat ls;
  const bool had = lstat(srcfile, &ls) == 0;
  // Two links to one file, or a link put over the entry it names, would lose that entry.
  if (had && one_file(srcfile, ls, dstfile)) {
    errno = EINVAL;
    return -1;
  }
  if (rename(srcfile, dstfile) == 0) {
    // rename(2) does nothing and succeeds when both names are links to one file, which another
    // process may have made since the look above (also of a source that was missing then). A
    // link made back to the source's name right after a rename that did move looks the same:
    // either way the source's name still names the file, which is never a success.
    struct stat now, at_dst;
    const bool still = lstat(srcfile, &now) == 0 &&
                       ((had && same_file(now, ls)) ||
                        (lstat(dstfile, &at_dst) == 0 && same_file(now, at_dst)));
    if (still) {
      errno = EINVAL;
      return -1;
    }
    return 0;
  }
  return errno == EXDEV ? CrossMove().run(srcfile, dstfile) : -1;
}

}  // extern "C"
