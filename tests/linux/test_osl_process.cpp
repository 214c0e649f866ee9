// Shell commands, system queries, start-up, signals and the single-instance check.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_run.h"
#include "osl.h"
#include "osl_log.h"
#include "test_util.h"

namespace {

using osltest::ChildResult;
using osltest::kChildSkip;
using osltest::RunInChild;

void WriteFile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// ---------------------------------------------------------------- osl_excute

TEST(OslExcute, CapturesOutputIntoZeroedBuffer) {
  osltest::TempDir dir;
  struct Case {
    std::string cmd;
    int32_t size;
    std::string want;  // the first size bytes of buf after the call
  } cases[] = {
      {"printf 'abc\\n'", 16, std::string("abc\n", 4) + std::string(12, '\0')},
      {"printf 0123456789", 4, "0123"},                // longer output: exactly size bytes
      {"printf 0123456789", 10, "0123456789"},         // exactly size: no terminator written
      {"printf ''", 8, std::string(8, '\0')},          // no output: all zero
      {"echo out; exit 3", 8, std::string("out\n\0\0\0\0", 8)},  // failure status still 0
      {"cd '" + dir.path() + "' && pwd", 200, dir.path() + "\n"},
      // A background child keeps the pipe open long after the shell ended: the call returns
      // with what the shell left, without waiting for that child (it would add "late").
      {"(sleep 5; printf late) 2>/dev/null & echo $! > '" + dir.file("pid") + "'; printf now", 16,
       "now"},
  };
  for (const Case& c : cases) {
    char buf[256];
    memset(buf, 'G', sizeof buf);
    std::vector<char> cmd(c.cmd.begin(), c.cmd.end());
    cmd.push_back('\0');
    EXPECT_EQ(osl_excute(cmd.data(), buf, c.size), 0) << c.cmd;
    std::string got(buf, static_cast<size_t>(c.size));
    if (c.want.size() < got.size()) {
      EXPECT_EQ(got.substr(0, c.want.size()), c.want) << c.cmd;
      EXPECT_EQ(got.find_first_not_of('\0', c.want.size()), std::string::npos) << c.cmd;
    } else {
      EXPECT_EQ(got, c.want) << c.cmd;
    }
    EXPECT_EQ(buf[c.size], 'G') << c.cmd << ": wrote past size";
  }
  int child = 0;
  if (FILE* f = fopen(dir.file("pid").c_str(), "r")) {
    if (fscanf(f, "%d", &child) != 1) child = 0;
    fclose(f);
  }
  if (child > 0) kill(static_cast<pid_t>(child), SIGKILL);
}

// A handler installed without SA_RESTART interrupts the blocking read of the command's output
// again and again; every byte must still arrive.
TEST(OslExcute, SignalsDoNotCutTheOutputShort) {
  ChildResult r = RunInChild([] {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGALRM, &sa, nullptr) != 0) return 2;
    struct itimerval every = {{0, 20000}, {0, 20000}};
    if (setitimer(ITIMER_REAL, &every, nullptr) != 0) return 3;
    char cmd[] = "printf abc; sleep 0.3; printf def; sleep 0.3; printf ghi";
    char buf[32];
    int32_t rc = osl_excute(cmd, buf, sizeof buf - 1);
    struct itimerval off = {{0, 0}, {0, 0}};
    setitimer(ITIMER_REAL, &off, nullptr);
    printf("%d:%s", static_cast<int>(rc), buf);
    return 0;
  });
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "0:abcdefghi");
}

TEST(OslExcute, EmptyOrNullCommandRunsNothing) {
  char buf[8];
  memset(buf, 'G', sizeof buf);
  EXPECT_EQ(osl_excute(nullptr, buf, sizeof buf), 0);
  char empty[] = "";
  EXPECT_EQ(osl_excute(empty, buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, 'G'));
}

TEST(OslExcute, NullBufferRunsAndWaitsForTheCommand) {
  osltest::TempDir dir;
  const std::string mark = dir.file("ran");
  // The output is discarded, yet the command is not cut short by a closed pipe.
  std::string text = "echo ignored; sleep 0.2; echo ignored; touch '" + mark + "'";
  std::vector<char> cmd(text.begin(), text.end());
  cmd.push_back('\0');
  osltest::StdoutCapture cap;
  cap.start();
  EXPECT_EQ(osl_excute(cmd.data(), nullptr, 0), 0);
  EXPECT_EQ(cap.stop(), "") << "the output must go nowhere";
  EXPECT_TRUE(Exists(mark)) << "returned before the command ended";

  // A child left in the background, still holding the command's standard output, does not
  // hold the call: it returns when the shell ends, before the child has done its work.
  const std::string late = dir.file("late"), pidfile = dir.file("pid");
  text = "(sleep 2; touch '" + late + "') 2>/dev/null & echo $! > '" + pidfile + "'";
  std::vector<char> bg(text.begin(), text.end());
  bg.push_back('\0');
  EXPECT_EQ(osl_excute(bg.data(), nullptr, 0), 0);
  EXPECT_FALSE(Exists(late)) << "waited for the background child";
  int child = 0;
  if (FILE* f = fopen(pidfile.c_str(), "r")) {
    if (fscanf(f, "%d", &child) != 1) child = 0;
    fclose(f);
  }
  if (child > 0) kill(static_cast<pid_t>(child), SIGKILL);

  // A non-positive size reads nothing and touches nothing.
  char buf[4] = {'G', 'G', 'G', 'G'};
  char echo[] = "echo hi";
  EXPECT_EQ(osl_excute(echo, buf, 0), 0);
  EXPECT_EQ(osl_excute(echo, buf, -5), 0);
  EXPECT_EQ(std::string(buf, 4), "GGGG");
}

TEST(OslExcute, FailureToStartIsLoggedAndGivesMinusOne) {
  ChildResult r = RunInChild([] {
    osl_log_init(0);
    // Leave no descriptor free, so popen cannot make its pipe.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    struct rlimit lim = {3, 3};
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return kChildSkip;
    char cmd[] = "echo never";
    char buf[16];
    return osl_excute(cmd, buf, sizeof buf) == -1 ? 0 : 1;
  });
  if (r.code == kChildSkip) GTEST_SKIP() << "cannot lower the descriptor limit";
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "popen() error!\r\n");
}

// ---------------------------------------------------------------- system queries

// Mounts text over /proc/cpuinfo in a private mount namespace (inside a child) and counts.
ChildResult CountWithCpuinfo(const std::string& dir, const std::string* text) {
  return RunInChild([&] {
    if (osltest::EnterNamespaces(CLONE_NEWNS) != 0) return kChildSkip;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kChildSkip;
    if (text == nullptr) {
      if (mount("none", "/proc", "tmpfs", 0, nullptr) != 0) return kChildSkip;
    } else {
      std::string path = dir + "/cpuinfo";
      FILE* f = fopen(path.c_str(), "wb");
      if (f == nullptr) return 2;
      fwrite(text->data(), 1, text->size(), f);
      fclose(f);
      if (mount(path.c_str(), "/proc/cpuinfo", nullptr, MS_BIND, nullptr) != 0) return kChildSkip;
    }
    printf("%d", osl_get_cpu_count());
    return 0;
  });
}

TEST(OslCpuCount, CountsProcessorLinesIgnoringCase) {
  osltest::TempDir dir;
  struct Case {
    const char* what;
    std::string text;
    const char* want;
  } cases[] = {
      {"four entries", "processor\t: 0\nprocessor\t: 1\nprocessor\t: 2\nprocessor\t: 3\n", "4"},
      {"capitalised model line counts",
       "Processor\t: ARMv7 Processor rev 10 (v7l)\nprocessor\t: 0\nprocessor\t: 1\n"
       "processor\t: 2\nprocessor\t: 3\nBogoMIPS\t: 38.40\n",
       "5"},
      {"only at the line start", "  processor : 0\nmodel name : processor\nproc : 1\n", "0"},
      {"a long line is tested piece by piece", std::string(1022, 'x') + "processor : 9\n", "1"},
      {"last line without newline", "processor : 0\nprocessor : 1", "2"},
      {"empty file", "", "0"},
  };
  for (const Case& c : cases) {
    ChildResult r = CountWithCpuinfo(dir.path(), &c.text);
    if (r.code == kChildSkip) GTEST_SKIP() << "cannot make a private mount namespace";
    EXPECT_EQ(r.code, 0) << c.what;
    EXPECT_EQ(r.out, c.want) << c.what;
  }
  ChildResult missing = CountWithCpuinfo(dir.path(), nullptr);
  if (missing.code == kChildSkip) GTEST_SKIP() << "cannot mount over /proc";
  EXPECT_EQ(missing.out, "-1") << "no /proc/cpuinfo";
}

TEST(OslGets, ReadsLinesWithinTheBound) {
  osltest::TempDir dir;
  // A zero byte inside a line ends the text there but not the line.
  const std::string input = "hello\n" + std::string(1500, 'a') + "\nnext\n" +
                            std::string(OSL_GETS_MAX - 1, 'b') + "\n\nnul" +
                            std::string(1, '\0') + "byte\nkept\nlast";
  WriteFile(dir.file("in"), input);
  ChildResult r = RunInChild([&] {
    int fd = open(dir.file("in").c_str(), O_RDONLY);
    if (fd < 0 || dup2(fd, 0) < 0) return 2;
    char buf[OSL_GETS_MAX + 64];
    for (int i = 0; i < 9; ++i) {
      memset(buf, 'Z', sizeof buf);
      osl_gets(buf);
      for (size_t k = OSL_GETS_MAX; k < sizeof buf; ++k) {
        if (buf[k] != 'Z') return 3;  // wrote past the documented bound
      }
      printf("%zu:%.8s|", strlen(buf), buf);
    }
    return 0;
  });
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "5:hello|1023:aaaaaaaa|4:next|1023:bbbbbbbb|0:|3:nul|4:kept|4:last|0:|");
}

TEST(OslPrintIp, PrintsFourDottedBytesMostSignificantFirst) {
  struct Case {
    uint32_t ip;
    const char* want;
  } cases[] = {
      {0, "0.0.0.0."},
      {0xC0A80001u, "192.168.0.1."},
      {0xFFFFFFFFu, "255.255.255.255."},
      {0x7F000001u, "127.0.0.1."},
  };
  for (const Case& c : cases) {
    osltest::StdoutCapture cap;
    cap.start();
    os_sys_print_ip(c.ip);
    EXPECT_EQ(cap.stop(), c.want);
  }
}

TEST(OslUuid, ProducesNothing) {
  char buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(osl_generate_uuid(buf, sizeof buf), 1);
  EXPECT_EQ(memcmp(buf, "\1\2\3\4\5\6\7\10", 8), 0);
}

TEST(OslAssert, PrintsOnlyWhenTheFlagIsZero) {
  osltest::StdoutCapture cap;
  cap.start();
  osl_assert(0, "worker", 12);
  osl_assert(1, "worker", 13);
  osl_assert(-7, "other", 14);
  EXPECT_EQ(cap.stop(), "worker(12): assert failed\n");
}

TEST(OslOnSignal, NoticeFormatsTheNumber) {
  struct Case {
    int32_t sig;
    const char* want;
  } cases[] = {
      {13, "sytem signal 13 captured!\n"},
      {0, "sytem signal 0 captured!\n"},
      {-2147483647 - 1, "sytem signal -2147483648 captured!\n"},
  };
  for (const Case& c : cases) {
    osltest::StdoutCapture cap;
    cap.start();
    errno = EAGAIN;
    osl_on_signal(c.sig);
    int after = errno;
    EXPECT_EQ(cap.stop(), c.want);
    EXPECT_EQ(after, EAGAIN) << "errno must survive the handler";
  }
}

// ---------------------------------------------------------------- start-up and signals

void (*HandlerOf(int signo))(int) {
  struct sigaction sa;
  sigaction(signo, nullptr, &sa);
  return sa.sa_handler;
}

// Kept after each delivery and resuming interrupted calls: SA_RESTART without SA_RESETHAND.
bool KeptAndRestarting(int signo) {
  struct sigaction sa;
  sigaction(signo, nullptr, &sa);
  return (sa.sa_flags & SA_RESTART) != 0 && (sa.sa_flags & SA_RESETHAND) == 0;
}

TEST(OslInit, WithoutNameInstallsHandlersAndLogging) {
  ChildResult r = RunInChild([] {
    osl_kill(0);
    if (osl_init(nullptr) != 0) return 1;
    if (osl_is_exit() != 0) return 2;  // cleared by start-up
    if (HandlerOf(SIGTERM) != reinterpret_cast<void (*)(int)>(osl_kill)) return 3;
    if (HandlerOf(SIGPIPE) != reinterpret_cast<void (*)(int)>(osl_on_signal)) return 4;
    if (!KeptAndRestarting(SIGTERM) || !KeptAndRestarting(SIGPIPE)) return 13;
    if (osl_log_get_level() != 0) return 5;
    osl_log_debug("debug reaches the console\n");

    // SIGTERM only raises the request; the process goes on.
    if (kill(getpid(), SIGTERM) != 0) return 6;
    if (osl_is_exit() != 1) return 7;
    if (HandlerOf(SIGTERM) != reinterpret_cast<void (*)(int)>(osl_kill)) return 8;  // kept
    if (osl_init(nullptr) != 0 || osl_is_exit() != 0) return 9;
    osl_kill(0);
    if (osl_is_exit() != 1) return 10;
    osl_exit();
    if (osl_is_exit() != 1) return 11;  // shutdown leaves the request alone
    if (osl_init(nullptr) != 0) return 12;  // may start again after shutdown
    osl_exit();
    return 0;
  });
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "debug reaches the console\n");
}

TEST(OslInit, BrokenPipeIsReportedNotFatal) {
  ChildResult r = RunInChild([] {
    if (osl_init(nullptr) != 0) return 1;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 2;
    close(sv[1]);
    ssize_t n = write(sv[0], "x", 1);
    if (n != -1 || errno != EPIPE) return 3;
    if (osl_is_exit() != 0) return 4;  // the notice does not ask to exit
    printf("after\n");
    return 0;
  });
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "sytem signal 13 captured!\nafter\n");
}

// Standard output itself a broken pipe (its reader gone): the notice cannot be written, and
// writing it must not raise SIGPIPE again and again. The program's own writes fail with EPIPE
// and it ends by itself; a child still running after a few seconds is taken for hung.
TEST(OslInit, BrokenStandardOutputDoesNotLoopInTheHandler) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  fflush(stdout);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[1]);
    if (osl_init(nullptr) != 0) _exit(1);
    for (int i = 0; i < 3; ++i) {
      errno = 0;
      if (write(1, "x", 1) != -1 || errno != EPIPE) _exit(2);
    }
    _exit(0);
  }
  close(fds[1]);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 500 && done == 0; ++i) {  // 5 s
    done = waitpid(pid, &status, WNOHANG);
    if (done == 0) usleep(10000);
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_NE(done, 0) << "still running: held in the SIGPIPE handler";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The key the layer derives from a name: its first four bytes, zero past the terminator.
key_t KeyOf(const char* name) {
  unsigned char b[4] = {0, 0, 0, 0};
  for (int i = 0; i < 4 && name[i] != '\0'; ++i) b[i] = static_cast<unsigned char>(name[i]);
  key_t k;
  memcpy(&k, b, sizeof k);
  return k;
}

// Runs the single-instance checks in a child with a private IPC namespace, so sets created
// here can meet nobody else's.
TEST(OslInit, SingleInstanceCheck) {
  struct Case {
    const char* name;
  } cases[] = {{"worker"}, {"abc"}, {"ab"}, {"x"}};
  for (const Case& c : cases) {
    ChildResult r = RunInChild([&] {
      if (osltest::EnterNamespaces(CLONE_NEWIPC) != 0) return kChildSkip;
      const key_t key = KeyOf(c.name);
      // Two starts in a row both pass: the check leaves no set behind.
      if (osl_init(c.name) != 0) return 1;
      if (semget(key, 1, 0) != -1 || errno != ENOENT) return 2;
      if (osl_init(c.name) != 0) return 3;
      osl_exit();

      // A set that exists under the key refuses the start, before any handler is installed.
      signal(SIGTERM, SIG_DFL);
      signal(SIGPIPE, SIG_DFL);
      int semid = semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
      if (semid < 0) return 4;
      int rc = osl_init(c.name);
      bool untouched = HandlerOf(SIGTERM) == SIG_DFL && HandlerOf(SIGPIPE) == SIG_DFL;
      bool still_there = semget(key, 1, 0) == semid;
      semctl(semid, 0, IPC_RMID);
      if (rc != -1) return 5;
      if (!untouched) return 6;
      if (!still_there) return 7;  // another process's set is not ours to remove
      fflush(stdout);
      return osl_init(c.name) == 0 ? 0 : 8;  // removed: starts again
    });
    if (r.code == kChildSkip) GTEST_SKIP() << "cannot make a private IPC namespace";
    EXPECT_EQ(r.code, 0) << c.name;
    EXPECT_EQ(r.out, std::string("'") + c.name + "': This program is running!\n") << c.name;
  }
}

}  // namespace
