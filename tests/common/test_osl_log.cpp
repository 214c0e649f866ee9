// Logging on the console and into rotating files: thresholds, module prefixes and slots, the
// summary print, the hex dump, target URLs and rotation. Console output is captured from stdout;
// files live in private temporary directories.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <regex.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "osl_log.h"
#include "osl_sys.h"
#include "test_util.h"

namespace {

constexpr uint32_t kDefaultMaxSize = 0x40000000u;

std::string captured(const std::function<void()> &fn) {
  osltest::StdoutCapture cap;
  cap.start();
  fn();
  return cap.stop();
}

// Every call's result and output; r is set by the callable.
std::string captured_ret(const std::function<int32_t()> &fn, int32_t *r) {
  return captured([&] { *r = fn(); });
}

using osltest::exists;
using osltest::read_file;

void write_file(const std::string &path, const std::string &text) {
  ASSERT_TRUE(osltest::write_file(path, text)) << path;
}

using osltest::open_fds;

// The descriptor of this process open on path, or -1.
int fd_open_on(const std::string &path) {
  char real[PATH_MAX];
  if (realpath(path.c_str(), real) == nullptr) return -1;
  for (int fd = 0; fd < 1024; ++fd) {
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0) continue;
    target[n] = '\0';
    if (strcmp(target, real) == 0) return fd;
  }
  return -1;
}

std::string g_fifo_after_rename;  // rename(2) leaves a FIFO here, as if one came at once
std::string g_rename_busy;  // rename(2) from here fails with EBUSY, as for a mount point
bool g_noreplace_refused;  // renameat2 refuses RENAME_NOREPLACE with EINVAL

// Makes path a new FIFO (removing what is there) and opens a non-blocking reader on it.
int fifo_reader(const std::string &path) {
  unlink(path.c_str());
  if (mkfifo(path.c_str(), 0600) != 0) return -1;
  return open(path.c_str(), O_RDONLY | O_NONBLOCK);
}

// Everything that can be read from fd (non-blocking) until it stays empty for wait_ms.
std::string drained(int fd, int wait_ms = 100) {
  std::string got;
  char buf[4096];
  for (struct pollfd p = {fd, POLLIN, 0}; poll(&p, 1, wait_ms) > 0;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

}  // namespace

extern "C" int renameat2(int from_dir, const char *from, int to_dir, const char *to,
                         unsigned int flags) noexcept {
  if (from == g_rename_busy || (g_noreplace_refused && flags != 0)) {
    errno = from == g_rename_busy ? EBUSY : EINVAL;
    return -1;
  }
  const int r = static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, flags));
  if (r == 0 && from == g_fifo_after_rename) mkfifo(from, 0600);
  return r;
}

extern "C" int rename(const char *from, const char *to) {
  return renameat2(AT_FDCWD, from, AT_FDCWD, to, 0);
}

namespace {

bool matches(const std::string &text, const char *pattern) {
  regex_t re;
  if (regcomp(&re, pattern, REG_EXTENDED | REG_NOSUB) != 0) return false;
  const bool ok = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
  regfree(&re);
  return ok;
}

class Log : public ::testing::Test {
 protected:
  void SetUp() override {
    defaults();
    osl_log_init(OSL_LOG_ALL);
  }
  void TearDown() override {
    osl_log_init(OSL_LOG_WARN);
    defaults();
  }
  // The rotation settings a process starts with.
  static void defaults() {
    osl_log_set_max_logsize(kDefaultMaxSize);
    osl_log_set_backups(1);
    osl_log_set_max_lognum(7);
  }
};

// ---------------------------------------------------------------- levels

TEST_F(Log, GlobalThresholdAgainstEachSeverity) {
  int32_t (*const calls[4])(const char_t *, ...) = {osl_log_debug, osl_log_info, osl_log_warn,
                                                    osl_log_error};
  const int32_t thresholds[] = {-5, 0, 1, 2, 3, 4, 5, 8, 100};
  for (int32_t t : thresholds) {
    osl_log_set_level(t);
    EXPECT_EQ(osl_log_get_level(), t);
    for (int32_t s = 1; s <= 4; ++s) {
      int32_t r = -1;
      const std::string out = captured_ret([&] { return calls[s - 1]("s%d\n", s); }, &r);
      if (t <= s) {
        EXPECT_EQ(r, 4) << "threshold " << t << " severity " << s;
        EXPECT_EQ(out, "s" + std::to_string(s) + "\n");
      } else {
        EXPECT_EQ(r, 0) << "threshold " << t << " severity " << s;
        EXPECT_EQ(out, "");
      }
    }
  }
}

// What one call puts in a log file of its own, with the call's result in *r; the console target
// is back when it returns.
std::string logged_to_file(const std::function<int32_t()> &fn, int32_t *r) {
  osltest::TempDir dir;
  const std::string log = dir.file("t.log");
  *r = -100;
  if (osl_log_set_target(("file://" + log).c_str()) != 0) return "(no file target)";
  *r = fn();
  osl_log_init(osl_log_get_level());
  return read_file(log);
}

// Every text is checked on the console and in a file: a file takes finished texts and texts
// without conversions straight from the caller, the console through the built buffer.
TEST_F(Log, LongTextIsCutTo8194Characters) {
  const std::string big(9000, 'q');
  int32_t r = 0;
  for (auto *deliver : {captured_ret, logged_to_file}) {
    EXPECT_EQ(deliver([&] { return osl_log_info("%s", big.c_str()); }, &r), big.substr(0, 8194));
    EXPECT_EQ(r, 8195);
    EXPECT_EQ(deliver([&] { return osl_log_info("n=%d%s", 7, "\n"); }, &r), "n=7\n");
    EXPECT_EQ(r, 5);
  }

  osl_log_mod_set_level(2, 0);
  const std::string mout =
      captured_ret([&] { return osl_log_mod_info(2, "%s", big.c_str()); }, &r);
  EXPECT_EQ(mout, "[I][02] " + big.substr(0, 8194 - 8));
  EXPECT_EQ(r, 8195);

  // Texts of only plain text, "%s" and "%%" read as printf would build them, cut at the same
  // place whether the cut falls in the plain text, an argument or a "%%".
  const std::string edge(8193, 'e');
  const std::string long_plain(8200, 'p');
  const struct {
    const char *format;
    const char *a, *b;
    std::string want;
  } rows[] = {
      {"a%sb%%c%s", "[x]", "", "a[x]b%c"},
      {"%s|%s", nullptr, "y", "(null)|y"},
      {"100%% %s", "", nullptr, "100% "},
      {"%s%%%s", edge.c_str(), "zz", edge + "%"},
      {"%s%s", edge.c_str(), "zz", edge + "z"},
      {"", "unused", nullptr, ""},
      {"%s", nullptr, nullptr, "(null)"},
      {"%s", "", "unused", ""},
      {"%s", "finished line\n", nullptr, "finished line\n"},
      {"no conversion\n", "unused", nullptr, "no conversion\n"},
      {long_plain.c_str(), nullptr, nullptr, long_plain.substr(0, 8194)},
  };
  for (auto *deliver : {captured_ret, logged_to_file}) {
    for (const auto &row : rows) {
      const std::string out = deliver(
          [&] {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
            return osl_log_info(row.format, row.a, row.b);
#pragma GCC diagnostic pop
          },
          &r);
      EXPECT_EQ(out, row.want) << row.format;
      EXPECT_EQ(r, static_cast<int32_t>(row.want.size()) + 1) << row.format;
    }
  }
}

// ---------------------------------------------------------------- modules

TEST_F(Log, ModuleNeedsBothThresholds) {
  const struct {
    int32_t global, module;
    bool pass[4];  // debug, info, warn, error
  } cases[] = {
      {3, 0, {false, false, true, true}},
      {0, 4, {false, false, false, true}},
      {0, 0, {true, true, true, true}},
      {2, 1, {false, true, true, true}},
      {0, 8, {false, false, false, false}},
      {8, 0, {false, false, false, false}},
      {0, -3, {true, true, true, true}},
  };
  int32_t (*const calls[4])(int32_t, const char_t *, ...) = {
      osl_log_mod_debug, osl_log_mod_info, osl_log_mod_warn, osl_log_mod_error};
  const char letters[] = "DIWE";
  for (const auto &c : cases) {
    osl_log_init(c.global);
    const int32_t mod = osl_log_mod_create("m", 0);
    ASSERT_EQ(mod, 1);
    osl_log_mod_set_level(mod, c.module);
    for (int s = 0; s < 4; ++s) {
      int32_t r = -1;
      const std::string out = captured_ret([&] { return calls[s](mod, "t\n"); }, &r);
      const std::string want = std::string("[") + letters[s] + "][01] t\n";
      EXPECT_EQ(out, c.pass[s] ? want : "") << c.global << "/" << c.module << " sev " << s + 1;
      EXPECT_EQ(r, c.pass[s] ? static_cast<int32_t>(want.size()) + 1 : 0);
    }
  }
}

TEST_F(Log, ModulePrefixByFlag) {
  osl_log_mod_set_level(5, 0);
  int32_t r = 0;
  std::string out = captured_ret([] { return osl_log_mod_error(5, "disk %d\n", 7); }, &r);
  EXPECT_EQ(out, "[E][05] disk 7\n");
  EXPECT_EQ(r, 16);

  for (uint32_t flag : {1u, 3u}) {  // bit 0 wins over bit 1
    osl_log_mod_set_flag(flag);
    EXPECT_EQ(osl_log_mod_get_flag(), flag);
    out = captured_ret([] { return osl_log_mod_error(5, "disk %d\n", 7); }, &r);
    EXPECT_TRUE(matches(out, "^\\[E\\]\\[05\\]\\[[0-9]+\\] disk 7\n$")) << out;
    EXPECT_EQ(r, static_cast<int32_t>(out.size()) + 1);
  }

  osl_log_mod_set_flag(2);  // the local time text, its own line feed included
  out = captured_ret([] { return osl_log_mod_warn(5, "disk %d\n", 7); }, &r);
  EXPECT_TRUE(matches(out,
                      "^\\[W\\]\\[05\\]\\[[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
                      "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n\\] disk 7\n$"))
      << out;
  EXPECT_EQ(r, static_cast<int32_t>(out.size()) + 1);

  osl_log_mod_set_flag(4);  // other bits are stored and change nothing
  EXPECT_EQ(captured([] { osl_log_mod_info(5, "x\n"); }), "[I][05] x\n");
  osl_log_init(OSL_LOG_ALL);
  EXPECT_EQ(osl_log_mod_get_flag(), 0u);
}

TEST_F(Log, ModuleNumbersOutsideTheTable) {
  for (int32_t mod : {0, -1, 65, 1000, INT32_MIN}) {
    EXPECT_EQ(osl_log_mod_debug(mod, "x"), 0);
    EXPECT_EQ(osl_log_mod_error(mod, "x"), 0);
    EXPECT_EQ(osl_log_mod_get_level(mod), -1);
    osl_log_mod_set_level(mod, 2);  // ignored, no crash
    osl_log_mod_release(mod);
  }
  // A slot that was never used logs nothing and reads 0.
  EXPECT_EQ(osl_log_mod_get_level(9), 0);
  EXPECT_EQ(osl_log_mod_error(9, "x"), 0);
}

TEST_F(Log, SlotsAreTakenLowestFirstAndReleased) {
  for (int32_t i = 1; i <= 64; ++i) ASSERT_EQ(osl_log_mod_create("same", 1), i);
  EXPECT_EQ(osl_log_mod_create("same", 1), -1);
  osl_log_mod_release(7);
  EXPECT_EQ(osl_log_mod_get_level(7), 8);
  EXPECT_EQ(osl_log_mod_error(7, "x"), 0);
  EXPECT_EQ(osl_log_mod_create("again", 2), 7);
  EXPECT_EQ(osl_log_mod_get_level(7), 2);
  EXPECT_EQ(osl_log_mod_create("more", 2), -1);

  osl_log_init(OSL_LOG_ALL);
  EXPECT_EQ(osl_log_mod_create("x", 9), 1);
  EXPECT_EQ(osl_log_mod_get_level(1), 0);
  EXPECT_EQ(osl_log_mod_create("x", -1), 2);
  EXPECT_EQ(osl_log_mod_get_level(2), 0);
  EXPECT_EQ(osl_log_mod_create("x", 8), 3);
  EXPECT_EQ(osl_log_mod_get_level(3), 8);
  EXPECT_EQ(osl_log_mod_create(nullptr, 1), 4);  // stored with an empty name
}

TEST_F(Log, SummaryPrint) {
  const std::string stars(76, '*');
  ASSERT_EQ(osl_log_mod_create("alpha", 2), 1);
  ASSERT_EQ(osl_log_mod_create("gone", 1), 2);
  ASSERT_EQ(osl_log_mod_create("0123456789012345678901234567890123456789", 4), 3);
  osl_log_mod_release(2);
  osl_log_mod_set_level(20, 2);  // never created: in use with an empty name
  EXPECT_EQ(osl_log_mod_create("next", 1), 2);  // slot 20 is no longer free, 2 is
  osl_log_mod_release(2);

  const std::string want = stars + "\n" +
                           "*   log level [N][08] [E][04] [W][03] [I][02] [D][01] [A][00] \n"
                           "*   log mod[00] level[00]-> GLOBLE MOD\n"
                           "*   log mod[01] level[02]-> alpha\n"
                           "*   log mod[03] level[04]-> 0123456789012345678901234567890\n"
                           "*   log mod[20] level[02]-> \n" +
                           stars + "\n" + "#LOG SET -00:00-01:02-03:04-20:02\n";
  EXPECT_EQ(captured(osl_log_mod_config), want);

  // A released slot comes back through its setter with its old name.
  osl_log_mod_set_level(2, 3);
  EXPECT_TRUE(captured(osl_log_mod_config).find("mod[02] level[03]-> next\n") !=
              std::string::npos);

  osl_log_set_level(4);
  EXPECT_NE(captured(osl_log_mod_config), "");
  osl_log_set_level(8);
  EXPECT_EQ(captured(osl_log_mod_config), "");
}

// ---------------------------------------------------------------- hex dump

std::string addr_text(const void *p) {
  char buf[32];
  snprintf(buf, sizeof buf, "%08lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

TEST_F(Log, HexDumpNarrowLine) {
  const unsigned char bytes[] = {0x48, 0x45, 0x4C, 0x4C, 0x4F, 0x01, 0xFF};
  const char *buf = reinterpret_cast<const char *>(bytes);
  int32_t r = 0;
  const std::string out = captured_ret([&] { return osl_log_hex("\trx", buf, 7, 8); }, &r);
  const std::string line = "\t    48 45 4C 4C 4F 01 FF       HELLO..";
  EXPECT_EQ(out, "\trx--> addr=" + addr_text(buf) + " 7 bytes\n" + line + "\n");
  EXPECT_EQ(r, static_cast<int32_t>(line.size()) + 2);
}

TEST_F(Log, HexDumpWideLines) {
  char bytes[20];
  for (int i = 0; i < 20; ++i) bytes[i] = static_cast<char>(0x41 + i);
  int32_t r = 0;
  const std::string out = captured_ret([&] { return osl_log_hex("data", bytes, 20, 16); }, &r);
  const std::string l1 =
      "    41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50    ABCDEFGHIJKLMNOP\n";
  const std::string l2 = "    51 52 53 54 " + std::string(39, ' ') + "QRST\n";
  EXPECT_EQ(out, "data--> addr=" + addr_text(bytes) + " 20 bytes\n" + l1 + l2);
  EXPECT_EQ(r, 134);
}

TEST_F(Log, HexDumpIndentAndArguments) {
  const char byte = 'z';
  std::string out = captured([&] { osl_log_hex("\t\t\t\t\t\t\t\tdeep", &byte, 1, 8); });
  EXPECT_NE(out.find("\n\t\t\t\t\t\t    7A "), std::string::npos) << out;
  EXPECT_EQ(out.find("\n\t\t\t\t\t\t\t"), std::string::npos) << out;

  out = captured([&] { osl_log_hex("\n\tcap", &byte, 1, 8); });
  EXPECT_EQ(out, "\n\tcap--> addr=" + addr_text(&byte) + " 1 bytes\n\t    7A " +
                     std::string(24, ' ') + "z\n");

  int32_t r = -1;
  out = captured_ret([&] { return osl_log_hex("none", &byte, 0, 16); }, &r);
  EXPECT_EQ(out, "none--> addr=" + addr_text(&byte) + " 0 bytes\n");
  EXPECT_EQ(r, 0);

  for (int32_t wide : {0, 12, 32, -8}) {
    out = captured_ret([&] { return osl_log_hex("w", &byte, 1, wide); }, &r);
    EXPECT_EQ(out, "");
    EXPECT_EQ(r, 0);
  }
  EXPECT_EQ(osl_log_hex(nullptr, &byte, 1, 8), 0);
  EXPECT_EQ(osl_log_hex("m", nullptr, 1, 8), 0);

  // Filtered: not one byte is read (this page cannot be).
  osl_log_set_level(OSL_LOG_INFO);
  void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  out = captured_ret([&] { return osl_log_hex("quiet", static_cast<char *>(page), 9, 8); }, &r);
  munmap(page, 4096);
  EXPECT_EQ(out, "");
  EXPECT_EQ(r, 0);
}

// ---------------------------------------------------------------- targets

TEST_F(Log, ConsoleTargetAndUrlHandling) {
  char url[16];
  osl_log_get_target(url, sizeof url);
  EXPECT_STREQ(url, "console://");
  osl_log_get_target(url, 8);
  EXPECT_STREQ(url, "console");
  memset(url, 'Z', sizeof url);
  osl_log_get_target(url, 1);
  EXPECT_EQ(url[0], '\0');
  osl_log_get_target(url, 0);  // no room: untouched, no crash
  osl_log_get_target(nullptr, 8);

  EXPECT_EQ(captured([] { osl_log_warn("a%sc\n", "b"); }), "abc\n");

  EXPECT_EQ(osl_log_set_target("CoNsOlE://ignored"), 0);
  EXPECT_EQ(captured([] { osl_log_info("case\n"); }), "case\n");

  EXPECT_EQ(osl_log_set_target(nullptr), -1);  // the URL stays: still printing
  EXPECT_EQ(captured([] { osl_log_info("still\n"); }), "still\n");

  osl_log_exit();  // a console target goes on printing
  EXPECT_EQ(captured([] { osl_log_info("after exit\n"); }), "after exit\n");

  EXPECT_EQ(osl_log_set_target("none"), 0);
  EXPECT_EQ(captured([] { EXPECT_EQ(osl_log_error("lost\n"), 6); }), "");
  osl_log_get_target(url, sizeof url);
  EXPECT_STREQ(url, "none");

  const std::string huge = "console://" + std::string(2000, 'x');
  EXPECT_EQ(osl_log_set_target(huge.c_str()), 0);
  char back[2048];
  osl_log_get_target(back, sizeof back);
  EXPECT_EQ(std::string(back), huge.substr(0, 1023));
}

TEST_F(Log, FileTargetMovesTheOldLogToItsBackup) {
  osltest::TempDir dir;
  const std::string log = dir.file("a.log");
  write_file(log, "previous run\n");
  write_file(log + ".bak", "older backup\n");

  ASSERT_EQ(osl_log_set_target(("FILE://" + log).c_str()), 0);
  EXPECT_EQ(read_file(log + ".bak"), "previous run\n");
  EXPECT_EQ(read_file(log), "");
  EXPECT_EQ(captured([] { EXPECT_EQ(osl_log_info("0123456789"), 11); }), "");
  EXPECT_EQ(read_file(log), "0123456789");  // no terminator written
  osl_log_mod_set_level(3, 0);
  osl_log_mod_warn(3, "m\n");
  EXPECT_EQ(read_file(log), "0123456789[W][03] m\n");

  // The log's descriptor is not inherited by commands the process starts.
  const int fd = fd_open_on(log);
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

  // Emptied from outside (logrotate's copytruncate): the next text starts at offset 0, with no
  // hole of zero bytes before it.
  ASSERT_EQ(truncate(log.c_str(), 0), 0);
  osl_log_info("after\n");
  EXPECT_EQ(read_file(log), "after\n");

  osl_log_exit();  // the file is closed and texts go nowhere
  osl_log_info("dropped\n");
  EXPECT_EQ(read_file(log), "after\n");
}

TEST_F(Log, LogThatCannotBeMovedAsideIsKeptAndAppendedTo) {
  // path.bak is a directory (with a file in it), or, for a user the permissions bind, the
  // directory is read-only: the rename fails, and neither the log nor the backup name's
  // contents may be deleted or emptied, at target setting or at rotation.
  for (const bool read_only : {false, true}) {
    if (read_only && geteuid() == 0) continue;  // root renames in a read-only directory
    osltest::TempDir dir;
    const std::string log = dir.file("k.log");
    write_file(log, "earlier\n");
    if (read_only) {
      ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);
    } else {
      ASSERT_EQ(mkdir((log + ".bak").c_str(), 0700), 0);
      write_file(log + ".bak/keep", "kept\n");
    }
    osl_log_set_max_logsize(20);
    EXPECT_EQ(osl_log_set_target(("file://" + log).c_str()), 0);
    osl_log_info("one\n");
    EXPECT_EQ(read_file(log), "earlier\none\n") << read_only;
    osl_log_info("%s", "0123456789abcdef\n");  // 21 bytes counted: rotation is attempted
    osl_log_info("two\n");
    EXPECT_EQ(read_file(log), "earlier\none\n0123456789abcdef\ntwo\n") << read_only;
    if (!read_only) {
      EXPECT_EQ(read_file(log + ".bak/keep"), "kept\n");
    }
    osl_log_exit();
    chmod(dir.path().c_str(), 0700);
  }
}

// A rotation that cannot move the log aside, or whose new file cannot be made, keeps the open
// log with every text (also when a directory took its path) and every backup. No log or backup
// with text is ever replaced by a file without, also when writes fail (a full disk), and only
// bytes written count toward the maximum.
TEST_F(Log, RotationThatFailsKeepsAppendingToTheOpenLog) {
  enum How { kDirectoryAtPath, kWritesFail, kDiskFreedLater, kNoDescriptor, kPathBusy, kBakBusy };
  for (int how = kDirectoryAtPath; how <= kBakBusy; ++how) {
    osltest::TempDir dir;
    const std::string log = dir.file("k.log");
    const std::string kept = how == kDirectoryAtPath ? dir.file("link") : log;  // the log's name
    write_file(log, std::string(19995, 'b'));  // becomes the backup
    write_file(log + ".bak", "older\n");
    write_file(log + ".bak.2", "oldest\n");
    osl_log_set_backups(3);
    osl_log_set_max_logsize(how == kWritesFail ? 0 : 20);  // 0: every text tries a rotation
    ASSERT_EQ(osl_log_set_target(("file://" + log).c_str()), 0);
    // No byte can be written (as on a full disk), or no file opened (the lowest free descriptor
    // is at the limit).
    const bool full = how == kWritesFail || how == kDiskFreedLater;
    const int res = full ? RLIMIT_FSIZE : RLIMIT_NOFILE, lowest_free = dup(0);
    close(lowest_free);
    struct rlimit saved, low;
    ASSERT_EQ(getrlimit(res, &saved), 0);
    low = saved;
    if (full) low.rlim_cur = how == kWritesFail ? 0 : 4;  // 4: room for "one\n" only
    if (how == kNoDescriptor) low.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(setrlimit(res, &low), 0);
    void (*const old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    // The log, or .bak after .bak.3 and .bak.2 moved up, cannot be renamed.
    g_rename_busy = how == kPathBusy ? log : how == kBakBusy ? log + ".bak" : "";
    osl_log_info("one\n");
    if (how == kDirectoryAtPath) {  // the open log keeps only another name
      ASSERT_EQ(link(log.c_str(), kept.c_str()) | unlink(log.c_str()), 0);
      ASSERT_EQ(mkdir(log.c_str(), 0700), 0);
    }
    osl_log_info("%s", "0123456789abcdef\n");  // past 20 bytes: rotation is attempted
    if (how == kDiskFreedLater) setrlimit(res, &saved);  // 8 bytes written: no rotation
    osl_log_info("two\n");
    setrlimit(res, &saved);
    signal(SIGXFSZ, old_handler);
    g_rename_busy.clear();
    const char *want = how == kWritesFail       ? ""
                       : how == kDiskFreedLater ? "one\ntwo\n"
                                                : "one\n0123456789abcdef\ntwo\n";
    EXPECT_EQ(read_file(kept), want) << how;
    const std::string bak = log + ".bak";
    EXPECT_EQ(read_file(bak).size(), 19995u) << how;
    EXPECT_EQ(read_file(bak + ".2").substr(0, 16), "older\n") << how;  // short when it fails
    EXPECT_EQ(read_file(bak + ".3").substr(0, 16), "oldest\n") << how;
    EXPECT_FALSE(exists(bak + ".0") || exists(bak + ".dropped")) << how;
    osl_log_exit();
    defaults();
  }
}

// A log removed, moved or replaced from outside, or a link at its path re-pointed or removed:
// within about a second the log opens its path again, moving nothing. osl_log_reopen does so at
// once, and keeps the open log when the path cannot be opened.
TEST_F(Log, FileTargetFollowsItsPath) {
  osltest::TempDir dir;
  const std::string log = dir.file("f.log");
  write_file(log + ".bak", "backup\n");
  ASSERT_EQ(osl_log_set_target(("file://" + log).c_str()), 0);
  osl_log_info("first\n");
  const struct {
    const char *link_to, *text;  // link_to: the path becomes a link to it, else stays removed
  } steps[] = {{"a", "to a\n"}, {"b", "to b\n"}, {nullptr, "second\n"}};
  for (const auto &step : steps) {
    ASSERT_EQ(unlink(log.c_str()), 0);
    ASSERT_EQ(step.link_to != nullptr ? symlink(step.link_to, log.c_str()) : 0, 0);
    usleep(1100 * 1000);
    osl_log_info("%s", step.text);
    EXPECT_EQ(read_file(step.link_to != nullptr ? dir.file(step.link_to) : log), step.text);
  }
  ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);  // logrotate moves it, then SIGHUP
  EXPECT_EQ(osl_log_reopen(), 0);
  osl_log_info("third\n");
  EXPECT_EQ(read_file(log + ".1"), "second\n");
  EXPECT_EQ(read_file(log), "third\n");
  // A directory in its place: nothing can be opened there.
  ASSERT_EQ(rename(log.c_str(), (log + ".2").c_str()) | mkdir(log.c_str(), 0700), 0);
  EXPECT_EQ(osl_log_reopen(), -1);
  osl_log_info("fourth\n");
  EXPECT_EQ(read_file(log + ".2"), "third\nfourth\n");
  EXPECT_EQ(read_file(log + ".bak"), "backup\n");  // nothing was moved
}

// Backups: the newest is PATH.bak, older ones PATH.bak.2 ... PATH.bak.N, older ones dropped;
// osl_log_set_max_lognum changes nothing. A file at another name (a user's, or a log a crash left
// at PATH.bak.0) stays; a crashed rotation's PATH.bak.dropped is removed.
TEST_F(Log, RotationKeepsTheNumberOfBackupsAsked) {
  const struct {
    uint32_t count, lognum;  // count 0: not set (the default)
    const char *want;        // .bak .bak.2 .bak.3 .bak.4, "-" for none
    const char *other;       // a file "x" there before, or ""
    bool refused;  // renames that replace nothing are refused (EINVAL), as by some kernels
  } rows[] = {
      {0, 7, "t5 - - -", "", false},
      {1, 30, "t5 - - -", "", false},
      {3, 7, "t5 t4 t3 -", "", false},
      {100, 7, "t5 t4 t3 t2", "", false},  // taken as 99: all kept
      {1, 7, "t5 - - -", ".bak.0", false},
      {3, 7, "t5 t4 t3 -", ".bak.0", true},
      {3, 7, "t5 t4 t3 -", ".bak.dropped", false},
  };
  for (const auto &row : rows) {
    osltest::TempDir dir;
    const std::string log = dir.file("n.log");
    if (*row.other != '\0') write_file(log + row.other, "x");
    g_noreplace_refused = row.refused;
    osl_log_set_max_lognum(row.lognum);
    if (row.count != 0) osl_log_set_backups(row.count);
    osl_log_set_max_logsize(1);
    ASSERT_EQ(osl_log_set_target(("file://" + log).c_str()), 0);
    for (int i = 1; i <= 5; ++i) osl_log_info("t%d", i);
    g_noreplace_refused = false;
    std::string got;
    for (const char *suffix : {".bak", ".bak.2", ".bak.3", ".bak.4"}) {
      got += (got.empty() ? "" : " ") + (exists(log + suffix) ? read_file(log + suffix) : "-");
    }
    EXPECT_EQ(got, row.want) << row.count;
    EXPECT_EQ(!*row.other || exists(log + row.other), strcmp(row.other, ".bak.dropped") != 0);
    defaults();
  }
}

// Further targets: each takes the texts its own threshold passes, whatever the global one; a
// text is built once for all; a target that cannot be written stops no other.
TEST_F(Log, SeveralTargetsEachWithItsOwnThreshold) {
  osltest::TempDir dir;
  const std::string first = dir.file("first.log"), extra = dir.file("extra.log");
  osl_log_set_level(OSL_LOG_WARN);
  ASSERT_EQ(osl_log_set_target(("file://" + first).c_str()), 0);
  EXPECT_EQ(osl_log_add_target(("FILE://" + extra).c_str(), OSL_LOG_DEBUG), 1);
  EXPECT_EQ(osl_log_add_target("console://", OSL_LOG_ERROR), 2);
  EXPECT_EQ(osl_log_add_target(("file://" + dir.file("no/such/x.log")).c_str(), 0), 3);
  osl_log_mod_set_level(3, OSL_LOG_INFO);
  int32_t (*const calls[])(const char_t *, ...) = {osl_log_debug, osl_log_info, osl_log_warn,
                                                   osl_log_error};
  for (int s = 0; s < 4; ++s) {  // the console takes only the error
    const std::string text = std::string(1, "diwe"[s]) + "\n";
    int32_t r = 0;
    EXPECT_EQ(captured_ret([&] { return calls[s]("%s", text.c_str()); }, &r), s == 3 ? text : "");
    EXPECT_EQ(r, 3) << text;
  }
  EXPECT_EQ(osl_log_mod_debug(3, "md\n"), 0);  // the module's threshold filters it for all
  EXPECT_EQ(osl_log_mod_info(3, "mi\n"), 12);
  EXPECT_EQ(read_file(first), "w\ne\n");
  EXPECT_EQ(read_file(extra), "d\ni\nw\ne\n[I][03] mi\n");

  EXPECT_EQ(osl_log_add_target("console://", 0), 4);
  EXPECT_EQ(osl_log_add_target("console://", 0), -1);  // all four in use
  EXPECT_EQ(osl_log_remove_target(1), 0);
  for (int32_t id : {1, 0, -1, 5, INT32_MIN}) EXPECT_EQ(osl_log_remove_target(id), -1);
  for (const char *url : {"none", "udp://", "udp://127.0.0.1:0", ""})  // "": a null url
    EXPECT_EQ(osl_log_add_target(*url ? url : nullptr, 0), -1) << url;
  const std::string too_long = "console://" + std::string(1014, 'x');
  EXPECT_EQ(osl_log_add_target(too_long.c_str(), 0), -1);  // never cut: 1024 characters
  EXPECT_EQ(osl_log_add_target(too_long.substr(0, 1023).c_str(), 0), 1);
  osl_log_debug("gone\n");
  EXPECT_EQ(read_file(extra), "d\ni\nw\ne\n[I][03] mi\n");

  osl_log_init(OSL_LOG_ERROR);  // removes every further target
  EXPECT_EQ(captured([] { EXPECT_EQ(osl_log_warn("w\n"), 0); }), "");
  EXPECT_EQ(osl_log_add_target("console://", 0), 1);
  // A further target on the first one's file writes beside it: the live log is not moved aside.
  ASSERT_EQ(osl_log_set_target(("file://" + first).c_str()), 0);
  osl_log_error("x\n");
  EXPECT_EQ(osl_log_add_target(("file://" + first).c_str(), 0), 2);
  osl_log_error("y\n");
  EXPECT_EQ(read_file(first), "x\ny\ny\n");
  EXPECT_EQ(read_file(first + ".bak"), "w\ne\n");
}

TEST_F(Log, TargetThatIsNoRegularFileIsNeverMoved) {
  // A pipe, or a directory, named as the log: neither setting the target nor reaching the
  // maximum may rename it (as root that would take /dev/null or a console away from everyone).
  // A pipe with a reader gets every text; one without a reader must not stop the process at
  // setting, which the alarm would show.
  osltest::TempDir dir;
  const std::string fifo = dir.file("p.log");
  const std::string sub = dir.file("d.log");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  static volatile sig_atomic_t rang;
  rang = 0;
  struct sigaction sa {}, old {};
  sa.sa_handler = [](int) { rang = 1; };
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  alarm(5);
  g_fifo_after_rename = dir.file("f.log");  // nor at rotation, when a FIFO took the log's place
  osl_log_set_max_logsize(20);
  EXPECT_EQ(osl_log_set_target(("file://" + g_fifo_after_rename).c_str()), 0);
  osl_log_info("%s", "0123456789012345678901\n");
  EXPECT_EQ(osl_log_set_target(("file://" + fifo).c_str()), 0);
  osl_log_info("nobody reads\n");
  alarm(0);
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_EQ(rang, 0) << "setting a pipe without a reader as the target waited for one";

  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  osl_log_info("late reader\n");  // a reader that came after the target was set gets it
  ASSERT_EQ(osl_log_set_target(("file://" + fifo).c_str()), 0);
  for (int i = 0; i < 3; ++i) osl_log_info("%s", "0123456789\n");  // past 20 bytes: rotation
  osl_log_info("n=%d\n", 4);
  char got[128] = {};
  EXPECT_EQ(read(reader, got, sizeof got - 1), 49);
  EXPECT_STREQ(got, "late reader\n0123456789\n0123456789\n0123456789\nn=4\n");
  close(reader);

  // Its reader gone, the pipe loses texts quietly: no SIGPIPE reaches the process, caught or
  // blocked, and the mask stays; a SIGPIPE the application had pending for the process stays,
  // alone. Kept through rotation, and opened again when made anew, it serves a reader that comes
  // back.
  rang = 0;
  ASSERT_EQ(sigaction(SIGPIPE, &sa, &old), 0);
  sigset_t pipe_only, mask;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  const struct timespec now = {0, 0};
  for (const int how : {SIG_UNBLOCK, SIG_BLOCK, -1}) {  // -1: blocked, the application's pending
    const int anew = fifo_reader(fifo);  // its collector makes it anew, reads, leaves again
    EXPECT_GE(anew, 0);
    osl_log_info("x\n");  // the first time the log still has the old FIFO open
    EXPECT_EQ(drained(anew, 0), "x\n") << how;
    close(anew);
    pthread_sigmask(how < 0 ? SIG_BLOCK : how, &pipe_only, nullptr);
    if (how < 0) kill(getpid(), SIGPIPE);
    for (int i = 0; i < 3; ++i) osl_log_info("%s", "0123456789\n");
    EXPECT_EQ(how < 0 ? sigtimedwait(&pipe_only, nullptr, &now) : SIGPIPE, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe_only, &mask);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), how != SIG_UNBLOCK);
  }
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(rang, 0);
  const int again = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  osl_log_info("back\n");
  EXPECT_EQ(read(again, got, sizeof got - 1), 5);
  close(again);

  // Nor a symbolic link (as root, /dev/stdout is one): texts go to the file it names.
  const std::string link = dir.file("l.log");
  write_file(dir.file("real.log"), "kept\n");
  ASSERT_EQ(symlink("real.log", link.c_str()), 0);
  ASSERT_EQ(osl_log_set_target(("file://" + link).c_str()), 0);
  for (int i = 0; i < 3; ++i) osl_log_info("%s", "0123456789\n");
  EXPECT_EQ(read_file(dir.file("real.log")), "kept\n0123456789\n0123456789\n0123456789\n");

  EXPECT_EQ(osl_log_set_target(("file://" + sub).c_str()), 0);
  osl_log_info("%s", "lost\n");
  osl_log_exit();
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(stat(sub.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_FALSE(exists(fifo + ".bak"));
  EXPECT_FALSE(exists(sub + ".bak"));
}

// A FIFO whose reader left, made anew with a new reader, as a further target: the next text
// reaches the new FIFO within the same call (as for the first target above), with no SIGPIPE.
TEST_F(Log, FifoMadeAnewGetsTheNextTextWithinTheSameCall) {
  osltest::TempDir dir;
  const std::string fifo = dir.file("p.log");
  int reader = fifo_reader(fifo);
  ASSERT_EQ(osl_log_set_target("none"), 0);
  ASSERT_EQ(osl_log_add_target(("file://" + fifo).c_str(), OSL_LOG_ALL), 1);
  void (*const old_handler)(int) = signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end the test
  for (const char *text : {"a\n", "b\n"}) {
    osl_log_info("%s", text);
    EXPECT_EQ(drained(reader, 0), text);
    close(reader);
    reader = fifo_reader(fifo);
  }
  close(reader);
  signal(SIGPIPE, old_handler);
}

// A pipe or a terminal whose reader stopped reading: the first text waits at most 100 ms and is
// lost, later ones are lost at once; once the reader drains it, texts go again, whole. A text
// the target took only part of is finished before the next one, never cut.
TEST_F(Log, StalledPipeOrTerminalLosesWholeTextsWithoutWaiting) {
  for (const bool tty : {false, true}) {
    int p[2];  // the reading end, the writing end (the log opens it again)
    if (tty) {
      p[0] = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
      ASSERT_EQ(grantpt(p[0]) | unlockpt(p[0]), 0);
      p[1] = open(ptsname(p[0]), O_WRONLY | O_NOCTTY | O_NONBLOCK);
      struct termios raw;
      ASSERT_EQ(tcgetattr(p[1], &raw), 0);
      cfmakeraw(&raw);
      ASSERT_EQ(tcsetattr(p[1], TCSANOW, &raw), 0);
    } else {
      ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
      ASSERT_EQ(fcntl(p[1], F_SETPIPE_SZ, 4096), 4096);
    }
    for (const std::string fill(512, 'f'); write(p[1], fill.data(), fill.size()) > 0;) {
    }
    ASSERT_EQ(osl_log_set_target(("file:///proc/self/fd/" + std::to_string(p[1])).c_str()), 0);
    const int64_t start = osl_sys::mono_ms();
    for (int i = 0; i < 30; ++i) osl_log_info("%s", "0123456789\n");
    const int64_t spent = osl_sys::mono_ms() - start;
    EXPECT_LT(spent, 1500) << tty;  // 30 texts waiting 100 ms each would take 3 s
    EXPECT_GE(spent, tty ? 0 : 90);  // the first one waited (a terminal may find room later)
    std::string got = drained(p[0]);
    osl_log_info("after\n");
    got += drained(p[0]);
    got.erase(0, got.find_first_not_of('f'));
    std::string whole;  // texts a terminal found room for later came whole; a pipe's were lost
    while (whole.size() + 6 < got.size()) whole += "0123456789\n";
    EXPECT_EQ(got, (tty ? whole : "") + "after\n") << tty;
    if (!tty) {  // 8000 bytes to a 4 KiB pipe: the rest goes before the next text
      const std::string text(8000, 't');
      osl_log_info("%s", text.c_str());
      got = drained(p[0]);
      osl_log_info("next\n");
      EXPECT_EQ(got + drained(p[0]), text + "next\n");
    }
    osl_log_exit();
    close(p[1]);
    close(p[0]);
  }
}

TEST_F(Log, PipeTargetGetsWholeTextsWhenASignalComesWhileItWaits) {
  // A full pipe makes the log's write wait; a signal 10 ms later (no SA_RESTART) ends that
  // wait after part of a long text, or before any byte of a short one. A reader that drains the
  // pipe at 40 ms finds every byte, in order; one that comes at 400 ms, only what the pipe took
  // in the 100 ms the log waits, since the log is closed before a next text could finish it.
  static volatile sig_atomic_t rang;
  struct sigaction sa {}, old {};
  sa.sa_handler = [](int) { rang = 1; };
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  const struct {
    size_t before;  // bytes already in the 4 KiB pipe
    size_t text, reader_ms, got;
  } rows[] = {{0, 8000, 40, 8000}, {4096, 100, 40, 100}, {0, 8000, 400, 4096}};
  for (const auto &row : rows) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(fcntl(p[1], F_SETPIPE_SZ, 4096), 4096);
    const std::string before(row.before, 'b');
    const std::string text(row.text, 't');
    ASSERT_EQ(write(p[1], before.data(), before.size()), static_cast<ssize_t>(before.size()));
    ASSERT_EQ(osl_log_set_target(("file:///proc/self/fd/" + std::to_string(p[1])).c_str()), 0);
    std::string got;
    std::thread reader([&] {
      usleep(static_cast<useconds_t>(row.reader_ms * 1000));
      char buf[4096];
      ssize_t n;
      while ((n = read(p[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) got.append(buf, static_cast<size_t>(n));
      }
    });
    rang = 0;
    const struct itimerval in10ms = {{0, 0}, {0, 10 * 1000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &in10ms, nullptr), 0);
    osl_log_info("%s", text.c_str());
    osl_log_exit();
    close(p[1]);
    reader.join();
    close(p[0]);
    EXPECT_EQ(rang, 1) << "the signal never came";
    EXPECT_EQ(got.size(), row.before + row.got) << row.text;
    EXPECT_TRUE(got == before + text.substr(0, row.got)) << "the bytes came in another order";
  }
  sigaction(SIGALRM, &old, nullptr);
}

TEST_F(Log, FileRotationAtTheLimit) {
  osltest::TempDir dir;
  const std::string log = dir.file("r.log");
  const std::string text(30, 't');
  osl_log_set_max_logsize(100);
  ASSERT_EQ(osl_log_set_target(("file://" + log).c_str()), 0);
  for (int i = 1; i <= 3; ++i) osl_log_info("%s", text.c_str());
  EXPECT_EQ(read_file(log).size(), 90u);
  EXPECT_FALSE(exists(log + ".bak"));
  osl_log_info("%s", text.c_str());  // reaches 120 >= 100: rotated after this write
  EXPECT_EQ(read_file(log + ".bak").size(), 120u);
  EXPECT_EQ(read_file(log), "");
  osl_log_info("next\n");
  EXPECT_EQ(read_file(log), "next\n");
}

TEST_F(Log, FileMaximumZeroRotatesAfterEveryText) {
  osltest::TempDir dir;
  const std::string log = dir.file("z.log");
  osl_log_set_max_logsize(0);
  ASSERT_EQ(osl_log_set_target(("file://" + log).c_str()), 0);
  for (const char *t : {"one\n", "two\n", "three\n"}) {
    osl_log_info("%s", t);
    EXPECT_EQ(read_file(log + ".bak"), t);
    EXPECT_EQ(read_file(log), "");
  }
}

TEST_F(Log, FileByteCountCarriesOverToTheNextFile) {
  osltest::TempDir dir;
  const std::string a = dir.file("a.log"), b = dir.file("b.log");
  const std::string text(30, 'c');
  osl_log_set_max_logsize(100);
  ASSERT_EQ(osl_log_set_target(("file://" + a).c_str()), 0);
  osl_log_info("%s", text.c_str());
  osl_log_info("%s", text.c_str());  // 60 counted
  ASSERT_EQ(osl_log_set_target(("file://" + b).c_str()), 0);
  osl_log_info("%s", text.c_str());  // 90
  EXPECT_FALSE(exists(b + ".bak"));
  osl_log_info("%s", text.c_str());  // 120: rotated with only 60 bytes of its own
  EXPECT_EQ(read_file(b + ".bak").size(), 60u);
  EXPECT_EQ(read_file(b), "");
  EXPECT_EQ(read_file(a).size(), 60u);

  // osl_log_init starts the count again.
  osl_log_init(OSL_LOG_ALL);
  osl_log_set_max_logsize(100);
  ASSERT_EQ(osl_log_set_target(("file://" + a).c_str()), 0);
  for (int i = 0; i < 3; ++i) osl_log_info("%s", text.c_str());
  EXPECT_EQ(read_file(a).size(), 90u);
}

TEST_F(Log, FileByteCountDoesNotWrapBelowAMaximumNear4GiB) {
  // 524160 longest texts count 4294967040 bytes, one more passes 2^32: a 32-bit count would
  // wrap to 7938 there and the log would never rotate. Only written bytes count, so every text
  // is written; the file is emptied from outside now and then (as copytruncate does), which
  // keeps the disk free and leaves the count alone.
  osltest::TempDir dir;
  const std::string log = dir.file("big.log");
  const std::string text(8194, 'g');
  osl_log_set_max_logsize(0xFFFFFFFFu);
  ASSERT_EQ(osl_log_set_target(("file://" + log).c_str()), 0);
  for (int i = 0; i < 524160; ++i) {
    osl_log_info("%s", text.c_str());
    if (i % 1024 == 1023) {
      ASSERT_EQ(truncate(log.c_str(), 0), 0);
    }
  }
  const bool early = exists(log + ".bak");
  osl_log_info("%s", text.c_str());
  EXPECT_FALSE(early);
  EXPECT_TRUE(exists(log + ".bak"));
  EXPECT_EQ(read_file(log), "");
}

TEST_F(Log, FileTargetThatCannotBeOpened) {
  osltest::TempDir dir;
  const std::string log = dir.file("missing/dir/x.log");
  EXPECT_EQ(osl_log_set_target(("file://" + log).c_str()), 0);
  EXPECT_EQ(captured([] { EXPECT_EQ(osl_log_info("lost\n"), 6); }), "");
  EXPECT_FALSE(exists(log));
}

TEST_F(Log, FileRelativePathIsInTheWorkingDirectory) {
  osltest::TempDir dir;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const int32_t r = osl_log_set_target("file://app.log");
  osl_log_info("here\n");
  osl_log_exit();
  // An empty path names no log: nothing is opened, and an unrelated ./.bak stays.
  write_file(dir.file(".bak"), "unrelated\n");
  const int before = open_fds();
  const int32_t empty = osl_log_set_target("file://");
  const int fds = open_fds();
  osl_log_info("nowhere\n");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(read_file(dir.file("app.log")), "here\n");
  EXPECT_EQ(empty, 0);
  EXPECT_EQ(fds, before);
  EXPECT_EQ(read_file(dir.file(".bak")), "unrelated\n");
}

TEST_F(Log, LongPathGetsItsOwnFullBackupName) {
  // A backup name cut to a fixed buffer (127 or 255 characters) would name, and delete or
  // overwrite, some other file; the second path is too long for either.
  osltest::TempDir dir;
  ASSERT_EQ(mkdir(dir.file(std::string(150, 'D')).c_str(), 0700), 0);
  const std::string names[] = {std::string(200, 'L') + ".log",
                               std::string(150, 'D') + "/" + std::string(150, 'L') + ".log"};
  for (const std::string &name : names) {
    const std::string log = dir.file(name);
    const std::string bak = log + ".bak";
    write_file(log, "old\n");
    ASSERT_EQ(osl_log_set_target(("file://" + log).c_str()), 0);
    EXPECT_EQ(read_file(bak), "old\n");
    osl_log_set_max_logsize(1);
    osl_log_info("rotated\n");
    EXPECT_EQ(read_file(bak), "rotated\n");
    EXPECT_EQ(read_file(log), "");
    for (size_t cut : {127u, 255u}) {
      if (cut < bak.size()) {
        EXPECT_FALSE(exists(bak.substr(0, cut))) << cut;
      }
    }
    osl_log_set_max_logsize(kDefaultMaxSize);
  }
}

TEST_F(Log, InitAndTargetChangesCloseTheFile) {
  osltest::TempDir dir;
  const int before = open_fds();
  ASSERT_EQ(osl_log_set_target(("file://" + dir.file("c.log")).c_str()), 0);
  EXPECT_EQ(open_fds(), before + 1);
  osl_log_init(OSL_LOG_ALL);
  EXPECT_EQ(open_fds(), before);
  ASSERT_EQ(osl_log_set_target(("file://" + dir.file("c.log")).c_str()), 0);
  EXPECT_EQ(osl_log_set_target(nullptr), -1);  // fails, yet closes the old target first
  EXPECT_EQ(open_fds(), before);
  char url[256];
  osl_log_get_target(url, sizeof url);
  EXPECT_EQ(std::string(url), "file://" + dir.file("c.log"));
}

}  // namespace
