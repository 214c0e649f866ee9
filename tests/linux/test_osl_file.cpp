// File operations: open modes and permissions, handles on descriptor 0, 64-bit positions,
// end-of-file, links, copy, the move (also while another party changes the names) and the line
// reader. Everything happens in private temp dirs.
#include "osl_file.h"
#include "osl.h"

#include <errno.h>
#include <glob.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_run.h"
#include "test_util.h"

// fsync(2) as fdatasync, first making a directory at this name when it is set, and calling
// g_on_fsync. A move across file systems flushes its copy before it puts it in place, so there
// the hook acts as another process would between the copy and the rename.
static const char *g_dir_after_fsync = nullptr;
static std::function<void()> g_on_fsync;
extern "C" int fsync(int fd) {
  if (g_dir_after_fsync != nullptr) mkdir(g_dir_after_fsync, 0700), g_dir_after_fsync = nullptr;
  if (g_on_fsync) g_on_fsync();
  return fdatasync(fd);
}

// rename(2) and unlinkat(2) of a move's private name (".osl_mv."), first calling their hook once:
// another process's act between a move's checks and its rename, or before it removes the source's
// private name. fchmod(2) is refused with EPERM while g_refuse_fchmod is set, as on vfat.
static std::function<void()> g_before_rename;
static std::function<void(int, const char *)> g_before_unlinkat;
static bool g_refuse_fchmod = false;
template <typename F, typename... Args> static void call_once(std::function<F> &hook, Args... a) {
  std::function<F> once;
  once.swap(hook);
  if (once) once(a...);
}
extern "C" int rename(const char *from, const char *to) {
  call_once(g_before_rename);
  return renameat(AT_FDCWD, from, AT_FDCWD, to);
}
extern "C" int unlinkat(int dir, const char *name, int flags) {
  if (strncmp(name, ".osl_mv.", 8) == 0) call_once(g_before_unlinkat, dir, name);
  return static_cast<int>(syscall(SYS_unlinkat, dir, name, flags));
}
extern "C" int fchmod(int fd, mode_t mode) {
  if (g_refuse_fchmod) return errno = EPERM, -1;
  return static_cast<int>(syscall(SYS_fchmod, fd, mode));
}

namespace {

using osltest::TempDir;

void put(const std::string &path, const std::string &data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
}

using osltest::CwdGuard;
using osltest::exists;
using osltest::read_file;

mode_t perms(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 07777;
  return st.st_mode & 07777;
}

// Sets the process's umask for one test and puts the old one back.
class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : old_(umask(mask)) {}
  ~UmaskGuard() { umask(old_); }

 private:
  mode_t old_;
};

std::string pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

TEST(OslFile, OpenModesCreateKeepOrEmpty) {
  struct Case {
    int32_t mode;
    bool file_exists;
    bool opened;
    const char *content_after;  // content right after the open
    mode_t perms_if_created;
  };
  const Case cases[] = {
      {1, false, false, "<missing>", 0},   {1, true, true, "hello", 0},
      {2, false, true, "", 0664 & ~027},   {2, true, true, "", 0},
      {4, false, true, "", 0664 & ~027},   {4, true, true, "hello", 0},
      {3, true, false, "hello", 0},        {3, false, false, "<missing>", 0},
      {0, false, false, "<missing>", 0},   {-1, true, false, "hello", 0},
      {8, false, false, "<missing>", 0},   {6, true, false, "hello", 0},
  };
  UmaskGuard mask(027);
  for (const Case &c : cases) {
    TempDir dir;
    std::string path = dir.file("f");
    if (c.file_exists) put(path, "hello");
    SCOPED_TRACE("mode " + std::to_string(c.mode) + (c.file_exists ? " existing" : " missing"));
    void *h = osl_file_open(path.c_str(), c.mode);
    EXPECT_EQ(h != nullptr, c.opened);
    EXPECT_EQ(read_file(path), c.content_after);
    if (!c.file_exists && c.opened) {
      EXPECT_EQ(perms(path), c.perms_if_created);
    }
    if (h != nullptr) {
      EXPECT_EQ(osl_file_tell(h), 0);
      osl_file_close(h);
    }
  }
}

TEST(OslFile, CreatedFilesAre0664BeforeTheMask) {
  const mode_t masks[] = {0, 022, 077};
  for (mode_t m : masks) {
    UmaskGuard mask(m);
    TempDir dir;
    void *h = osl_file_open(dir.file("f").c_str(), 2);
    ASSERT_NE(h, nullptr);
    osl_file_close(h);
    EXPECT_EQ(perms(dir.file("f")), 0664 & ~m) << "umask " << m;
  }
}

TEST(OslFile, ModeFourOverwritesTheBeginningAndModeOneCannotWrite) {
  TempDir dir;
  std::string path = dir.file("f");
  put(path, "0123456789");
  void *h = osl_file_open(path.c_str(), 4);
  ASSERT_NE(h, nullptr);
  char abc[] = "abc";
  EXPECT_EQ(osl_file_write(h, abc, 3), 3);
  EXPECT_EQ(osl_file_tell(h), 3);
  osl_file_close(h);
  EXPECT_EQ(read_file(path), "abc3456789");

  h = osl_file_open(path.c_str(), 1);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(osl_file_write(h, abc, 3), -1);
  EXPECT_EQ(errno, EBADF);
  osl_file_close(h);
  EXPECT_EQ(read_file(path), "abc3456789");
}

// With standard input closed the next open gets descriptor 0; its handle must be 1, not null,
// and every handle call must act on descriptor 0. Done in this process (stdin is set aside and
// put back) rather than in a forked child, which the emulated board cannot run reliably.
TEST(OslFile, DescriptorZeroIsAValidHandle) {
  TempDir dir;
  std::string path = dir.file("zero");
  int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);
  void *h = osl_file_open(path.c_str(), 2);
  char data[] = "descriptor zero";
  int32_t wrote = osl_file_write(h, data, 15);
  int64_t tell = osl_file_tell(h);
  int32_t eof = osl_file_eof(h);
  osl_file_seek(h, 11, 0);
  char buf[8] = {0};
  int32_t got = osl_file_read(h, buf, sizeof buf);
  osl_file_close(h);
  int still_open = fcntl(0, F_GETFD);
  ASSERT_EQ(dup2(saved, 0), 0);
  close(saved);

  EXPECT_EQ(h, reinterpret_cast<void *>(1));
  EXPECT_EQ(wrote, 15);
  EXPECT_EQ(tell, 15);
  EXPECT_EQ(eof, 1);
  EXPECT_EQ(got, 4);
  EXPECT_STREQ(buf, "zero");
  EXPECT_EQ(still_open, -1) << "the close did not reach descriptor 0";
  EXPECT_EQ(read_file(path), "descriptor zero");
}

TEST(OslFile, SeekTellReadAndEndOfFile) {
  TempDir dir;
  std::string path = dir.file("f");
  put(path, "abcdefghij");
  void *h = osl_file_open(path.c_str(), 1);
  ASSERT_NE(h, nullptr);

  struct Step {
    int64_t pos;
    int32_t base;
    int64_t tell;
    int32_t eof;
    int32_t read_size;
    const char *read;  // what a read then returns (nullptr: skip reading)
  };
  const Step steps[] = {
      {0, 0, 0, 0, 4, "abcd"},      // from the start
      {2, 1, 6, 0, 10, "ghij"},     // from the current position; a short read at the end
      {0, 1, 10, 1, 4, ""},         // at the end: eof, and reads give 0
      {-3, 2, 7, 0, 3, "hij"},      // from the end
      {10, 0, 10, 1, 0, nullptr},   // exactly at the size
      {25, 0, 25, 0, 4, ""},        // beyond the end: not eof, reads give 0
      {0, 0, 0, 0, 0, ""},          // a zero-size read
  };
  for (const Step &s : steps) {
    SCOPED_TRACE("seek " + std::to_string(s.pos) + " base " + std::to_string(s.base));
    osl_file_seek(h, s.pos, s.base);
    EXPECT_EQ(osl_file_tell(h), s.tell);
    EXPECT_EQ(osl_file_eof(h), s.eof);
    EXPECT_EQ(osl_file_tell(h), s.tell) << "eof moved the position";
    if (s.read != nullptr) {
      char buf[16] = {0};
      EXPECT_EQ(osl_file_read(h, buf, s.read_size), static_cast<int32_t>(strlen(s.read)));
      EXPECT_STREQ(buf, s.read);
    }
  }
  // A seek before the start fails and leaves the position alone.
  osl_file_seek(h, 4, 0);
  osl_file_seek(h, -100, 1);
  EXPECT_EQ(osl_file_tell(h), 4);
  for (int32_t base : {3, 4, -1, 7}) {  // 3 and 4 would be SEEK_DATA and SEEK_HOLE: no move
    errno = 0, osl_file_seek(h, 2, base);
    EXPECT_EQ(osl_file_tell(h), 4) << base;
    EXPECT_EQ(errno, EINVAL) << base;
  }
  osl_file_close(h);

  // An empty file is at its end right after opening.
  h = osl_file_open(dir.file("empty").c_str(), 2);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(osl_file_eof(h), 1);
  osl_file_close(h);
}

// Positions past 2 GiB and 4 GiB must survive on the 32-bit board as well (a sparse file).
TEST(OslFile, PositionsBeyondFourGigabytes) {
  TempDir dir;
  std::string path = dir.file("big");
  void *h = osl_file_open(path.c_str(), 2);
  ASSERT_NE(h, nullptr);
  const int64_t far = (int64_t{5} << 30) + 7;  // 5 GiB + 7
  osl_file_seek(h, far, 0);
  ASSERT_EQ(osl_file_tell(h), far);
  char x[] = "X";
  if (osl_file_write(h, x, 1) != 1) {
    osl_file_close(h);
    GTEST_SKIP() << "file system refuses a 5 GiB sparse file (errno " << errno << ")";
  }
  EXPECT_EQ(osl_file_tell(h), far + 1);
  EXPECT_EQ(osl_file_eof(h), 1);
  osl_file_seek(h, -1, 2);
  EXPECT_EQ(osl_file_tell(h), far);
  char c = 0;
  EXPECT_EQ(osl_file_read(h, &c, 1), 1);
  EXPECT_EQ(c, 'X');
  osl_file_seek(h, int64_t{3} << 30, 0);  // 3 GiB: negative as a 32-bit offset
  EXPECT_EQ(osl_file_tell(h), int64_t{3} << 30);
  EXPECT_EQ(osl_file_eof(h), 0);
  osl_file_close(h);

  SFileNodeInfo info = {0, 0};
  EXPECT_EQ(osl_file_get_info(path.c_str(), &info), 0);
  EXPECT_EQ(info.size, far + 1);
}

TEST(OslFile, NullHandleAndNegativeSizesFailCleanly) {
  char buf[8] = "keep";
  EXPECT_EQ(osl_file_read(nullptr, buf, 4), -1);
  EXPECT_EQ(osl_file_write(nullptr, buf, 4), -1);
  EXPECT_EQ(osl_file_tell(nullptr), -1);
  EXPECT_EQ(osl_file_eof(nullptr), -1);
  osl_file_seek(nullptr, 10, 0);
  osl_file_close(nullptr);

  TempDir dir;
  std::string path = dir.file("f");
  put(path, "0123456789");
  void *h = osl_file_open(path.c_str(), 4);
  ASSERT_NE(h, nullptr);
  errno = 0;
  EXPECT_EQ(osl_file_read(h, buf, -1), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_STREQ(buf, "keep");
  errno = 0;
  EXPECT_EQ(osl_file_write(h, buf, -5), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(osl_file_tell(h), 0);
  osl_file_close(h);
  EXPECT_EQ(read_file(path), "0123456789");
}

TEST(OslFile, ExistFollowsLinksAndAcceptsOnlyRegularFiles) {
  TempDir dir;
  put(dir.file("file"), "x");
  ASSERT_EQ(mkdir(dir.file("dir").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink(dir.file("file").c_str(), dir.file("to_file").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("dir").c_str(), dir.file("to_dir").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
  // Touched to 2040 by the system's touch, whatever this program's time_t.
  put(dir.file("y2040"), "x");
  ASSERT_EQ(system(("touch -m -d @2208988800 '" + dir.file("y2040") + "'").c_str()), 0);
  const struct {
    const char *name;
    int32_t want;
  } cases[] = {{"file", 0},      {"to_file", 0},  {"dir", -1},      {"fifo", -1},
               {"to_dir", -1},   {"dangling", -1}, {"missing", -1}, {"file/x", -1}, {"y2040", 0}};
  for (const auto &c : cases) {
    EXPECT_EQ(osl_file_exist(dir.file(c.name).c_str()), c.want) << c.name;
  }
  EXPECT_EQ(osl_file_copy(dir.file("y2040").c_str(), dir.file("copy").c_str()), 0);
  EXPECT_EQ(osl_file_exist(""), -1);
  EXPECT_EQ(osl_file_exist("/dev/null"), -1);
}

TEST(OslFile, InfoDescribesTheLinkItself) {
  TempDir dir;
  std::string target = dir.file("target");
  put(target, std::string(1000, 'a'));
  ASSERT_EQ(osl_file_set_modify_utc(target.c_str(), 1000000000u), 0);
  std::string link = dir.file("link");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  std::string dangling = dir.file("dangling");
  ASSERT_EQ(symlink("nowhere", dangling.c_str()), 0);

  SFileNodeInfo info = {0, 0};
  EXPECT_EQ(osl_file_get_info(target.c_str(), &info), 0);
  EXPECT_EQ(info.size, 1000);
  EXPECT_EQ(info.modify_utc, 1000000000u);

  EXPECT_EQ(osl_file_get_info(link.c_str(), &info), 0);
  EXPECT_EQ(info.size, static_cast<int64_t>(target.size()));
  EXPECT_NE(info.modify_utc, 1000000000u);
  EXPECT_LE(static_cast<time_t>(info.modify_utc), time(nullptr) + 5);

  EXPECT_EQ(osl_file_get_info(dangling.c_str(), &info), 0);
  EXPECT_EQ(info.size, 7);

  EXPECT_EQ(osl_file_get_info(link.c_str(), nullptr), 0);
  SFileNodeInfo untouched = {123, 456};
  EXPECT_EQ(osl_file_get_info(dir.file("missing").c_str(), &untouched), -1);
  EXPECT_EQ(untouched.modify_utc, 123u);
  EXPECT_EQ(untouched.size, 456);
  EXPECT_EQ(osl_file_get_info(dir.file("missing").c_str(), nullptr), -1);
}

TEST(OslFile, SetModifyTimeKeepsTheAccessTime) {
  TempDir dir;
  std::string path = dir.file("f");
  put(path, "x");
  struct timespec times[2] = {{777777777, 0}, {888888888, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

  const uint32_t values[] = {0u, 1u, 1000000000u, 0x7fffffffu};
  for (uint32_t v : values) {
    EXPECT_EQ(osl_file_set_modify_utc(path.c_str(), v), 0) << v;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint32_t>(st.st_mtime), v);
    EXPECT_EQ(st.st_atime, 777777777);
  }
  // Past 2038 on every target, the board included: kept exactly.
  EXPECT_EQ(osl_file_set_modify_utc(path.c_str(), 4000000000u), 0);
  SFileNodeInfo info = {0, 0};
  EXPECT_EQ(osl_file_get_info(path.c_str(), &info), 0);
  EXPECT_EQ(info.modify_utc, 4000000000u);
  EXPECT_EQ(osl_file_set_modify_utc(dir.file("missing").c_str(), 5), -1);
  EXPECT_FALSE(exists(dir.file("missing")));
}

TEST(OslFile, ChmodModes) {
  const struct {
    int32_t mode;
    mode_t want;
  } cases[] = {{1, 0444}, {2, 0774}, {4, 0774}, {7, 0600}, {0, 0600}, {3, 0600}, {-1, 0600}};
  TempDir dir;
  std::string path = dir.file("f");
  put(path, "x");
  for (const auto &c : cases) {
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    osl_file_chmod(path.c_str(), c.mode);
    EXPECT_EQ(perms(path), c.want) << "mode " << c.mode;
  }
  osl_file_chmod(dir.file("missing").c_str(), 1);  // not reported, must not create anything
  EXPECT_FALSE(exists(dir.file("missing")));
}

TEST(OslFile, RenameAndDelete) {
  TempDir dir;
  put(dir.file("a"), "new");
  put(dir.file("b"), "old content");
  EXPECT_EQ(osl_file_rename(dir.file("a").c_str(), dir.file("b").c_str()), 0);
  EXPECT_FALSE(exists(dir.file("a")));
  EXPECT_EQ(read_file(dir.file("b")), "new");

  EXPECT_EQ(osl_file_rename(dir.file("missing").c_str(), dir.file("b").c_str()), -1);
  EXPECT_EQ(read_file(dir.file("b")), "new");

  EXPECT_EQ(osl_file_delete(dir.file("b").c_str()), 0);
  EXPECT_FALSE(exists(dir.file("b")));
  EXPECT_EQ(osl_file_delete(dir.file("b").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  ASSERT_EQ(mkdir(dir.file("d").c_str(), 0700), 0);
  EXPECT_EQ(osl_file_delete(dir.file("d").c_str()), -1);
  EXPECT_TRUE(exists(dir.file("d")));
}

TEST(OslFile, CopyProducesIdenticalContent) {
  const size_t sizes[] = {0, 1, 4095, 4096, 4097, 3 * 4096 + 17, 100000};
  UmaskGuard mask(022);
  for (size_t n : sizes) {
    TempDir dir;
    std::string src = dir.file("src");
    std::string data = pattern(n);
    put(src, data);
    // A fresh destination, and one that held more than the source.
    EXPECT_EQ(osl_file_copy(src.c_str(), dir.file("new").c_str()), 0) << n;
    EXPECT_TRUE(read_file(dir.file("new")) == data) << n;
    EXPECT_EQ(perms(dir.file("new")), 0644u);
    put(dir.file("old"), std::string(n + 5000, 'z'));
    ASSERT_EQ(chmod(dir.file("old").c_str(), 0600), 0);
    EXPECT_EQ(osl_file_copy(src.c_str(), dir.file("old").c_str()), 0) << n;
    EXPECT_TRUE(read_file(dir.file("old")) == data) << n;
    EXPECT_EQ(perms(dir.file("old")), 0600u) << "an existing destination keeps its permissions";
    EXPECT_TRUE(read_file(src) == data);
  }
}

// Every refusal must leave the destination exactly as it was.
TEST(OslFile, CopyRefusalsLeaveTheDestinationAlone) {
  TempDir dir;
  std::string src = dir.file("src");
  std::string dst = dir.file("dst");
  put(src, "source data");
  ASSERT_EQ(mkdir(dir.file("dir").c_str(), 0700), 0);
  ASSERT_EQ(link(src.c_str(), dir.file("hard").c_str()), 0);
  ASSERT_EQ(symlink(src.c_str(), dir.file("soft").c_str()), 0);

  const struct {
    std::string from, to, to_before;
  } cases[] = {
      {dir.file("missing"), dst, "precious"},     // missing source
      {dir.file("dir"), dst, "precious"},         // a directory opens but cannot be read
      {src, src, "source data"},                  // onto itself
      {src, dir.file("hard"), "source data"},     // onto a hard link of itself
      {dir.file("soft"), src, "source data"},     // through a symbolic link to itself
      {src, dir.file("soft"), "source data"},
      {src, dir.file("dir/none/x"), "<missing>"},  // destination cannot be created
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    if (c.to == dst) put(dst, c.to_before);
    EXPECT_EQ(osl_file_copy(c.from.c_str(), c.to.c_str()), -1);
    EXPECT_EQ(read_file(c.to), c.to_before);
    EXPECT_EQ(read_file(src), "source data");
  }
}

// A copy cut short must not be reported as done.
TEST(OslFile, CopyReportsFailedWritesAndReads) {
  TempDir dir;
  std::string src = dir.file("src");
  put(src, pattern(10000));
  errno = 0;
  EXPECT_EQ(osl_file_copy(src.c_str(), "/dev/full"), -1);  // every write fails with ENOSPC
  EXPECT_EQ(errno, ENOSPC);

  // /proc/self/mem opens but its first page is unmapped, so the first read fails.
  int fd = open("/proc/self/mem", O_RDONLY);
  char c;
  bool read_fails = fd >= 0 && read(fd, &c, 1) < 0;
  if (fd >= 0) close(fd);
  if (!read_fails) GTEST_SKIP() << "no source whose read fails here";
  EXPECT_EQ(osl_file_copy("/proc/self/mem", dir.file("dst").c_str()), -1);
}

// A private directory on another file system than path, or null when none can be had.
std::unique_ptr<TempDir> TempDirElsewhere(const std::string &path) {
  const char *old = getenv("TMPDIR");
  const std::string saved = old != nullptr ? old : "";
  struct stat here, there;
  std::unique_ptr<TempDir> dir;
  for (const char *base : {"/dev/shm", "/tmp", "/var/tmp"}) {
    setenv("TMPDIR", base, 1);
    dir.reset(new TempDir);
    if (stat(path.c_str(), &here) == 0 && stat(dir->path().c_str(), &there) == 0 &&
        here.st_dev != there.st_dev) break;
    dir.reset();
  }
  old != nullptr ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
  return dir;
}

// Moves a file of each name from the working directory, dir, to to_dir ("" for dir itself, else
// ending in "/") and back.
void MoveEachName(const TempDir &dir, const std::string &to_dir) {
  // Names that a shell would split, expand or execute; each payload would create "PWNED" in the
  // working directory (this test's private directory) if any shell ever saw it.
  const char *names[] = {
      "two words",           "it's",          "say \"hi\"",          "$(touch PWNED)",
      "`touch PWNED`",       "; touch PWNED", "a && touch PWNED",    "x | touch PWNED",
      "$HOME",               "*",             "-rf",                 "--",
      "> PWNED",             "tab\there",     "new\nline",           "\\ back",
  };
  int i = 0;
  for (const char *name : names) {
    SCOPED_TRACE(name);
    std::string src = name;
    std::string dst = to_dir + "moved " + name + " " + std::to_string(i++);
    const std::string moved = to_dir.empty() ? dir.file(dst) : dst;
    put(dir.file(src), src);
    EXPECT_EQ(osl_file_mv(src.c_str(), dst.c_str()), 0);
    EXPECT_FALSE(exists(dir.file(src)));
    EXPECT_EQ(read_file(moved), src);
    // The reverse direction with absolute names.
    EXPECT_EQ(osl_file_mv(moved.c_str(), dir.file(src).c_str()), 0);
    EXPECT_EQ(read_file(dir.file(src)), src);
    EXPECT_EQ(osl_file_delete(dir.file(src).c_str()), 0);
  }
  EXPECT_FALSE(exists(dir.file("PWNED")));
}

// No shell, no mv program: names that a shell would split or run, a PATH that begins with a mv
// that claims success, and SIGCHLD ignored change nothing.
TEST(OslFile, MoveTakesNamesAsTheyAreWhateverThePathAndSigchld) {
  TempDir dir;
  CwdGuard cwd(dir.path());
  ASSERT_TRUE(cwd.ok());
  std::unique_ptr<TempDir> elsewhere = TempDirElsewhere(dir.path());
  // A mv that moves nothing and claims success, for a PATH that a daemon should never trust.
  ASSERT_EQ(mkdir(dir.file(".fake").c_str(), 0700), 0);
  put(dir.file(".fake/mv"), "#!/bin/sh\nexit 0\n");
  ASSERT_EQ(chmod(dir.file(".fake/mv").c_str(), 0700), 0);
  // Settings: the destination on another file system (mv's work, not rename's); PATH beginning
  // with the fake mv; SIGCHLD ignored (no exit status can be had).
  const int settings[][3] = {{0, 0, 0}, {0, 1, 1}, {1, 1, 0}, {1, 0, 1}};
  const std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin";
  for (const auto &set : settings) {
    SCOPED_TRACE(testing::Message() << "setting " << set[0] << set[1] << set[2]);
    if (set[0] && !elsewhere) continue;  // no second file system here
    if (set[1]) setenv("PATH", (dir.file(".fake") + ":" + path).c_str(), 1);
    struct sigaction ign = {}, old_chld;
    ign.sa_handler = set[2] ? SIG_IGN : SIG_DFL;
    sigaction(SIGCHLD, &ign, &old_chld);
    MoveEachName(dir, set[0] ? elsewhere->path() + "/" : "");
    sigaction(SIGCHLD, &old_chld, nullptr);
    setenv("PATH", path.c_str(), 1);
  }
}

TEST(OslFile, MoveReportsFailuresAndKeepsLongNamesWhole) {
  TempDir dir;
  EXPECT_EQ(osl_file_mv(dir.file("missing").c_str(), dir.file("x").c_str()), -1);
  EXPECT_FALSE(exists(dir.file("x")));
  put(dir.file("a"), "a");
  EXPECT_EQ(osl_file_mv(dir.file("a").c_str(), dir.file("no/such/dir").c_str()), -1);
  EXPECT_EQ(read_file(dir.file("a")), "a");
  EXPECT_EQ(osl_file_mv(nullptr, dir.file("x").c_str()), -1);
  EXPECT_EQ(osl_file_mv(dir.file("a").c_str(), nullptr), -1);
  EXPECT_EQ(read_file(dir.file("a")), "a");
  // Two links to one file: rename(2) would do nothing and report success.
  ASSERT_EQ(link(dir.file("a").c_str(), dir.file("b").c_str()), 0);
  errno = 0;
  EXPECT_EQ(osl_file_mv(dir.file("a").c_str(), dir.file("b").c_str()), -1);
  EXPECT_EQ(errno, EINVAL);
  unlink(dir.file("b").c_str());
  ASSERT_EQ(symlink("a", dir.file("l").c_str()), 0);  // a link over the file it names
  EXPECT_EQ(osl_file_mv(dir.file("l").c_str(), dir.file("a").c_str()), -1);
  EXPECT_EQ(read_file(dir.file("a")), "a");
  ASSERT_EQ(symlink("l", dir.file("m").c_str()), 0);  // ... or over the link it names
  EXPECT_EQ(osl_file_mv(dir.file("m").c_str(), dir.file("l").c_str()), -1);
  std::string long_text;  // ... also by a text of 4095 bytes, "././.../l"
  while (long_text.size() < 4093) long_text += "./";
  ASSERT_EQ(symlink((long_text + "l").c_str(), dir.file("n").c_str()), 0);
  errno = 0;
  EXPECT_EQ(osl_file_mv((dir.path() + "/./n").c_str(), dir.file("l").c_str()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(osl_file_mv(dir.file("a").c_str(), (dir.path() + "/./a").c_str()), 0);  // one entry
  EXPECT_EQ(read_file(dir.file("l")), "a");
  unlink(dir.file("m").c_str());
  unlink(dir.file("l").c_str());
  // Across file systems as on one: a directory in the way is no place to move a file into.
  if (std::unique_ptr<TempDir> elsewhere = TempDirElsewhere(dir.path())) {
    EXPECT_EQ(osl_file_mv(dir.file("a").c_str(), elsewhere->path().c_str()), -1);
    EXPECT_EQ(read_file(dir.file("a")), "a");
    // Then by a caller that is not root, with a terminal on stdin and SIGCHLD ignored: src ("->"
    // a link to /dev/null) over a 0444 dst ("": a directory appears there during the copy).
    const char *rows[][2] = {{"new", "old"}, {"->", "old"}, {"", "old"}, {"new", ""}};
    // Per row: result, errno, src and dst (content:mode:t if the time is kept), folder emptied.
    const char want[] = "0 0 <missing>:0 new:100640:t clean|0 0 <missing>:0 :120777 clean|"
                        "-1 ENOENT <missing>:0 old:100444 clean|"
                        "-1 EISDIR new:100640:t :40700 clean|";
    auto show = [](const std::string &path, struct stat st = {}) {
      if (lstat(path.c_str(), &st) != 0) st.st_mode = 0;
      printf("%s:%o%s ", read_file(path).c_str(), st.st_mode, st.st_mtime == 1e9 ? ":t" : "");
    };
    osltest::ChildResult r = osltest::RunInChild([&] {
      const int pty = posix_openpt(O_RDWR | O_NOCTTY);
      if (pty < 0 || grantpt(pty) != 0 || unlockpt(pty) != 0) return osltest::kChildSkip;
      dup2(open(ptsname(pty), O_RDWR | O_NOCTTY), 0);
      if (write(pty, "n\nn\n", 4) != 4 || signal(SIGCHLD, SIG_IGN) == SIG_ERR) return 1;
      if (geteuid() == 0 && (chown(dir.path().c_str(), 65534, 65534) || setgid(65534) ||
                             chown(elsewhere->path().c_str(), 65534, 65534) || setuid(65534)))
        return osltest::kChildSkip;
      for (const auto &row : rows) {
        const std::string src = dir.file("s"), to = elsewhere->path() + "/d", dst = to + "/f";
        mkdir(to.c_str(), 0700);
        if (*row[1] != 0) put(dst, row[1]), chmod(dst.c_str(), 0444);
        if (*row[0] == '-' && symlink("/dev/null", src.c_str()) != 0) return 1;
        if (*row[0] != 0 && *row[0] != '-') put(src, row[0]), chmod(src.c_str(), 0640);
        osl_file_set_modify_utc(src.c_str(), 1000000000);  // a link: refused for /dev/null
        g_dir_after_fsync = *row[1] == 0 ? dst.c_str() : nullptr;
        const int32_t rc = osl_file_mv(src.c_str(), dst.c_str());
        printf("%d %s ", rc, rc != 0 ? strerrorname_np(errno) : "0"), show(src), show(dst);
        unlink(src.c_str()), unlink(dst.c_str()), rmdir(dst.c_str());
        printf("%s|", rmdir(to.c_str()) == 0 ? "clean" : "left");
      }
      return 0;
    });
    EXPECT_TRUE(r.code == osltest::kChildSkip || r.out == want) << r.out;
  }

  // Two names of about 700 characters each: together far longer than a 1 KiB command line.
  std::string deep = dir.path();
  for (int level = 0; level < 3; ++level) {
    deep += "/" + std::string(200, static_cast<char>('p' + level));
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  }
  std::string from = deep + "/" + std::string(100, 's');
  std::string to = deep + "/" + std::string(100, 't');
  put(from, "long");
  EXPECT_EQ(osl_file_mv(from.c_str(), to.c_str()), 0);
  EXPECT_EQ(read_file(to), "long");
  EXPECT_FALSE(exists(from));
}

// What path is: "<missing>", "<dir>", "->" and the content of a symbolic link's target, or the
// content of a file.
std::string Show(const std::string &path, struct stat st = {}) {
  if (lstat(path.c_str(), &st) != 0) return "<missing>";
  if (S_ISDIR(st.st_mode)) return "<dir>";
  return (S_ISLNK(st.st_mode) ? "->" : "") + read_file(path);
}

// The paths of the move's private names (".osl_mv.") in folder.
std::vector<std::string> PrivateNames(const std::string &folder) {
  glob_t g = {};
  std::vector<std::string> names;
  if (glob((folder + "/.osl_mv.*").c_str(), 0, nullptr, &g) == 0)
    names.assign(g.gl_pathv, g.gl_pathv + g.gl_pathc);
  globfree(&g);
  return names;
}

// The contents of the move's private names left in folder, joined by '|'.
std::string Leftovers(const std::string &folder) {
  std::string left;
  for (const std::string &name : PrivateNames(folder)) left += "|" + Show(name);
  return left.substr(std::min<size_t>(1, left.size()));
}

// Puts at name, in one rename as another process would, a new file with content or (when link_to
// is set) a hard link to link_to.
void PutOver(const std::string &name, const char *content, const std::string &link_to = "") {
  const std::string tmp = name.substr(0, name.rfind('/')) + "/put~";
  if (link_to.empty()) put(tmp, content);
  ASSERT_TRUE(link_to.empty() || link(link_to.c_str(), tmp.c_str()) == 0);
  ASSERT_EQ(renameat(AT_FDCWD, tmp.c_str(), AT_FDCWD, name.c_str()), 0) << name;
}

// Another party changes the names while a move runs, at a fixed point: the n-th fsync (after a
// copy of a move across file systems, then the flush of the destination's folder), just before
// rename(2) on one file system, or before the source's private name is removed. Nothing may be
// lost, and 0 only when the source's file left its name.
TEST(OslFile, MoveLosesNothingWhenOthersChangeTheNames) {
  enum Act { kNone, kLinks, kNewSrc, kAppend, kNewSrcDirAtDst, kLinkDstToSrc, kSrcToLinkOfDst,
             kNoSrcToLinkOfDst, kLinkPrivToSrc, kNoModes, kLinkBack, kOtherOverPriv };
  constexpr int kRename = -1, kUnlink = -2;
  // Per row: the destination on another file system; the act (kLinks: source and destination
  // are symbolic links to one file, "v2"; kNoModes: fchmod refused) and when (the n-th fsync, 1
  // after the first copy, 0 every one; or kRename, kUnlink); errno (0: success); then src, dst
  // and the source's file under a private name, here and beside a destination across.
  const struct {
    const char *name; bool across; Act act; int at, err;
    const char *src, *dst, *kept = "", *kept_there = "";
  } rows[] = {
      {"plain, one file system", 0, kNone, 0, 0, "<missing>", "old"},
      {"a new file put at the source during the copy stays", 1, kNewSrc, 1, 0, "new", "old"},
      {"bytes appended during the copy are copied again", 1, kAppend, 1, 0, "<missing>", "old+"},
      {"a writer that never stops: source kept whole", 1, kAppend, 0, EBUSY, "old+++", "prev"},
      {"bytes appended after dst was replaced: both back", 1, kAppend, 2, EBUSY, "old+", "prev"},
      {"new source, then failure: both kept", 1, kNewSrcDirAtDst, 1, EISDIR, "new", "<dir>", "old"},
      {"dst linked to the source before rename", 0, kLinkDstToSrc, kRename, EINVAL, "old", "old"},
      {"the moved file linked back after rename", 0, kLinkBack, kRename, EINVAL, "old", "old"},
      {"a file put over the private name during the copy stays, so does the copy", 1,
       kOtherOverPriv, 1, EBUSY, "<missing>", "prev", "other", "old"},
      {"... or after dst was replaced", 1, kOtherOverPriv, 2, EBUSY, "<missing>", "prev", "other",
       "old"},
      {"a link renamed over a link to the same file", 0, kLinks, 0, 0, "<missing>", "->v2"},
      {"a link moved across over a link to the same file", 1, kLinks, 0, 0, "<missing>", "->v2"},
      {"the source made a link of dst", 0, kSrcToLinkOfDst, kRename, EINVAL, "prev", "prev"},
      {"no source made a link of dst", 0, kNoSrcToLinkOfDst, kRename, EINVAL, "prev", "prev"},
      {"the private name linked to the source", 1, kLinkPrivToSrc, kUnlink, EBUSY, "old", "prev"},
      {"a destination that refuses modes", 1, kNoModes, 0, 0, "<missing>", "old"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    TempDir here;
    std::unique_ptr<TempDir> elsewhere = TempDirElsewhere(here.path());
    if (row.across && !elsewhere) continue;  // no second file system here
    const std::string there = row.across ? elsewhere->path() : here.path();
    const std::string src = here.file("s"), dst = there + "/d", v2 = here.file("v2");
    if (row.act == kLinks) {
      put(v2, "v2");
      ASSERT_EQ(symlink(v2.c_str(), src.c_str()) | symlink(v2.c_str(), dst.c_str()), 0);
    } else {
      put(src, "old"), put(dst, "prev");
    }
    if (row.act == kNoSrcToLinkOfDst) unlink(src.c_str());
    const int writer = open(src.c_str(), O_WRONLY | O_APPEND);  // a writer holding the source
    auto act = [&](int dir, const char *name) {
      switch (row.act) {
        case kAppend: EXPECT_EQ(write(writer, "+", 1), 1); break;
        case kNewSrcDirAtDst: EXPECT_EQ(unlink(dst.c_str()) | mkdir(dst.c_str(), 0700), 0);
          [[fallthrough]];
        case kNewSrc: PutOver(src, "new"); break;
        case kOtherOverPriv:
          for (const std::string &priv : PrivateNames(here.path())) PutOver(priv, "other");
          break;
        case kLinkDstToSrc: PutOver(dst, "", src); break;
        case kLinkBack:
          EXPECT_EQ(renameat(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str()), 0);
          EXPECT_EQ(link(dst.c_str(), src.c_str()), 0);
          break;
        case kSrcToLinkOfDst: case kNoSrcToLinkOfDst: PutOver(src, "", dst); break;
        case kLinkPrivToSrc: EXPECT_EQ(linkat(dir, name, AT_FDCWD, src.c_str(), 0), 0); break;
        default: break;
      }
    };
    int calls = 0;
    if (row.at >= 0) g_on_fsync = [&] { if (++calls == row.at || row.at == 0) act(AT_FDCWD, ""); };
    if (row.at == kRename) g_before_rename = [&] { act(AT_FDCWD, ""); };
    if (row.at == kUnlink) g_before_unlinkat = act;
    g_refuse_fchmod = row.act == kNoModes;
    errno = 0;
    const int32_t rc = osl_file_mv(src.c_str(), dst.c_str());
    EXPECT_EQ(rc != 0 ? errno : 0, row.err);
    EXPECT_EQ(rc, row.err != 0 ? -1 : 0);
    g_refuse_fchmod = false, g_on_fsync = nullptr, g_before_rename = nullptr;
    g_before_unlinkat = nullptr;
    if (writer >= 0) close(writer);
    EXPECT_EQ(Show(src), row.src);
    EXPECT_EQ(Show(dst), row.dst);
    EXPECT_EQ(Leftovers(here.path()), row.kept);
    EXPECT_EQ(Leftovers(there), row.across ? row.kept_there : row.kept);
  }
}

// A folder base/... whose path is exactly len bytes long, made with its parents ("" if not).
std::string DeepFolder(const std::string &base, size_t len) {
  std::string path = base;
  if (mkdir(path.c_str(), 0700) != 0) return "";
  while (path.size() < len) {
    const size_t part = std::min<size_t>(200, len - path.size() - 1);
    path += "/" + std::string(part, static_cast<char>('a' + path.size() % 26));
    if (mkdir(path.c_str(), 0700) != 0) return "";
  }
  return path;
}

// Blocks a file occupies, in bytes.
int64_t Allocated(const std::string &path, struct stat st = {}) {
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_blocks) * 512 : -1;
}

// Across file systems: folders within 15 bytes of PATH_MAX on either side, and sparse files,
// whose holes the move and the copy keep.
TEST(OslFile, MoveAcrossKeepsLongFoldersAndHoles) {
  TempDir here;
  std::unique_ptr<TempDir> elsewhere = TempDirElsewhere(here.path());
  if (!elsewhere) GTEST_SKIP() << "no second file system here";
  constexpr off_t kSize = off_t{24} << 20;  // data at 1 MiB and 12 MiB, holes around
  constexpr size_t kLong = PATH_MAX - 12;
  std::string sparse(static_cast<size_t>(kSize), '\0');
  sparse.replace(1 << 20, 5, "data1");
  sparse.replace(12 << 20, 5, "data2");
  // reserved: 40 MiB kept for the file past its end (more blocks than its size)
  const struct { const char *name; bool long_src, long_dst, holes, copy, reserved; } rows[] = {
      {"destination folder 12 bytes short of PATH_MAX", 0, 1, 0, 0, 0},
      {"source folder 12 bytes short of PATH_MAX", 1, 0, 0, 0, 0},
      {"both folders that long", 1, 1, 0, 0, 0},
      {"a sparse file moved across", 0, 0, 1, 0, 0},
      {"a sparse file copied", 0, 0, 1, 1, 0},
      {"a sparse file with room reserved past its end moved", 0, 0, 1, 0, 1},
      {"a sparse file with room reserved past its end copied", 0, 0, 1, 1, 1},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    const std::string n = std::to_string(&row - rows);
    const std::string from_dir = DeepFolder(here.file("l" + n), kLong * row.long_src);
    const std::string to_dir = DeepFolder(elsewhere->file("l" + n), kLong * row.long_dst);
    ASSERT_FALSE(from_dir.empty() || to_dir.empty());
    const std::string src = from_dir + "/s", dst = (row.copy ? from_dir : to_dir) + "/d";
    if (row.holes) {
      const int fd = open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ASSERT_TRUE(ftruncate(fd, kSize) == 0 && pwrite(fd, "data1", 5, 1 << 20) == 5 &&
                  pwrite(fd, "data2", 5, 12 << 20) == 5);
      const bool reserved = row.reserved && !fallocate(fd, FALLOC_FL_KEEP_SIZE, kSize, 40 << 20);
      close(fd);
      if (row.reserved != reserved) continue;  // no room can be reserved here
      if (Allocated(src) >= (reserved ? 40 << 20 : 0) + (1 << 20)) continue;  // no holes kept
    } else {
      put(src, "long");
    }
    EXPECT_EQ((row.copy ? osl_file_copy : osl_file_mv)(src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(exists(src), row.copy);
    EXPECT_TRUE(read_file(dst) == (row.holes ? sparse : "long"));
    EXPECT_LT(Allocated(dst), 1 << 20) << "holes filled";
    EXPECT_EQ(Leftovers(from_dir) + Leftovers(to_dir), "");
  }
}

// A pipe that a child fills with input in two halves, 20 ms apart; its reading end (non-blocking
// if asked) goes to *fd.
pid_t FeedInTwo(const std::string &input, bool nonblocking, int *fd) {
  int fds[2];
  if (pipe(fds) != 0 || (nonblocking && fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0)) return -1;
  fflush(stdout);  // or the child would print again what this process printed so far
  const pid_t pid = fork();
  const ssize_t half = static_cast<ssize_t>(input.size() / 2), rest = input.size() - half;
  if (pid == 0) {
    usleep(20000);
    const bool ok = write(fds[1], input.data(), half) == half;
    usleep(20000);
    _exit(ok && write(fds[1], input.data() + half, rest) == rest ? 0 : 1);
  }
  close(fds[1]);
  *fd = fds[0];
  return pid;
}

// One line reader, three kinds of file: a regular file (whose position must stand right after
// each line: nothing read ahead), and a pipe, blocking and non-blocking, fed in two pieces; a
// handler without SA_RESTART interrupts the reads. Each call shows as "result:strlen:text" (the
// text's first 8 bytes), or "-1 ERRNO"; reading stops at the first result <= 0.
TEST(OslFile, GetsReadsOneLineAtATime) {
  const std::string a1500(1500, 'a');
  const struct { const char *name; std::string input; int32_t size; std::string want; } rows[] = {
      {"lines, an empty one, no final newline", "a=1\n\nb = two\nlast", 16,
       "4:3:a=1|1:0:|8:7:b = two|4:4:last|0:0:|"},
      {"a longer line is cut, its rest dropped", "abcdefg\nxy\n", 4, "8:3:abc|3:2:xy|0:0:|"},
      {"exact fit, and one byte over", "abc\nabcd\nabcd", 4, "4:3:abc|5:3:abc|4:3:abc|0:0:|"},
      {"a zero byte ends the text, not the line", std::string("nul\0byte\nkept\n", 14), 16,
       "9:3:nul|5:4:kept|0:0:|"},
      {"room for the terminator only", "ab\n\n", 1, "3:0:|1:0:|0:0:|"},
      {"a line longer than a read", a1500 + "\nz", 2000, "1501:1500:aaaaaaaa|1:1:z|0:0:|"},
      {"carriage returns are text", "a\r\n", 8, "3:2:a\r|0:0:|"},
      {"empty input", "", 8, "0:0:|"},
      {"no room at all", "abc\n", 0, "-1 EINVAL|"},
  };
  // The calls on h as above, followed by "<overrun>" if one wrote past the text and its
  // terminator or (seekable) left the position elsewhere than after the line.
  auto read_lines = [](void *h, int32_t size, bool seekable) {
    std::string out;
    for (int64_t i = 0, at = 0; i < 10; ++i) {
      char buf[2102] = {};  // 2100 'Z's, to see what the call wrote, and two terminators
      memset(buf, 'Z', 2100);
      const int32_t n = osl_file_gets(h, buf, size);
      if (n < 0) return out + "-1 " + strerrorname_np(errno) + "|";
      const size_t len = strlen(buf);
      out += std::to_string(n) + ":" + std::to_string(len) + ":";
      out += std::string(buf, std::min<size_t>(len, 8)) + "|";
      if (strspn(buf + len + 1, "Z") != 2099 - len || (seekable && osl_file_tell(h) != (at += n)))
        break;
      if (n == 0) return out;
    }
    return out + "<overrun>";
  };
  TempDir dir;
  const char *kinds[] = {"file", "pipe", "non-blocking pipe"};
  // In a child that owns the signal handler and the timer.
  osltest::ChildResult r = osltest::RunInChild([&] {
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    struct itimerval every = {{0, 2000}, {0, 2000}};
    if (sigaction(SIGALRM, &sa, nullptr) || setitimer(ITIMER_REAL, &every, nullptr)) return 2;
    for (const auto &row : rows) {
      for (int kind = 0; kind < 3; ++kind) {
        int fd = -1;
        const pid_t writer = kind == 0 ? 0 : FeedInTwo(row.input, kind == 2, &fd);
        if (kind == 0) put(dir.file("lines"), row.input);
        void *h = kind == 0 ? osl_file_open(dir.file("lines").c_str(), OSL_FILE_READ)
                            : reinterpret_cast<void *>(static_cast<intptr_t>(fd) + 1);
        printf("%s, %s: %s\n", row.name, kinds[kind], read_lines(h, row.size, kind == 0).c_str());
        osl_file_close(h);
        if (writer > 0) waitpid(writer, nullptr, 0);
      }
    }
    // osl_gets on a non-blocking standard input, fed in two pieces.
    int fd = -1;
    const pid_t writer = FeedInTwo("hello\nnext\n", true, &fd);
    if (dup2(fd, 0) != 0) return 2;
    close(fd);
    char line[OSL_GETS_MAX];
    printf("osl_gets, non-blocking: ");
    for (int i = 0; i < 3; ++i) osl_gets(line), printf("%s|", line);
    waitpid(writer, nullptr, 0);
    return 0;
  });
  ASSERT_EQ(r.code, 0);
  std::string want;
  for (const auto &row : rows) {
    for (const char *k : kinds) want += std::string(row.name) + ", " + k + ": " + row.want + "\n";
  }
  EXPECT_EQ(r.out, want + "osl_gets, non-blocking: hello|next||");
  // Lines and plain reads mix on one handle; a null handle or buffer fails cleanly.
  put(dir.file("mixed"), "one\ntwo\n");
  void *h = osl_file_open(dir.file("mixed").c_str(), OSL_FILE_READ);
  char buf[16] = {0};
  EXPECT_EQ(osl_file_gets(h, buf, sizeof buf), 4);
  EXPECT_EQ(osl_file_read(h, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "two\n");
  EXPECT_EQ(osl_file_gets(h, nullptr, 8), -1);
  EXPECT_EQ(errno, EINVAL);
  osl_file_close(h);
  EXPECT_EQ(osl_file_gets(nullptr, buf, sizeof buf), -1);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
