// Shell commands, system queries, start-up, signals and the single-instance check.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_run.h"
#include "osl.h"
#include "osl_file.h"
#include "osl_log.h"
#include "osl_mem.h"
#include "osl_network.h"
#include "osl_socket.h"
#include "osl_string.h"
#include "osl_url.h"
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

// While set, the monotonic clock fails with EPERM, as on a 32-bit board whose container filter
// refuses the 64-bit time calls.
std::atomic<bool> m_clock_fails{false};

}  // namespace

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) noexcept {
  if (m_clock_fails && id == CLOCK_MONOTONIC) {
    errno = EPERM;
    return -1;
  }
#ifdef SYS_clock_gettime64
  return static_cast<int>(syscall(SYS_clock_gettime64, id, ts));
#else
  return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
#endif
}

namespace {

// ---------------------------------------------------------------- osl_excute

TEST(OslExcute, CapturesOutputIntoZeroedBuffer) {
  osltest::TempDir dir;
  struct Case {
    std::string cmd;
    int32_t size;
    std::string want;  // the first size bytes of buf after the call
    char noise = 0;    // a background child's byte that may follow want, but not fill buf
    int32_t limit = -1;  // >= 0: osl_excute_timed with this limit, which gives "rc status errno"
    std::string timed = "";
    bool blind = false;  // the monotonic clock cannot be read meanwhile
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
      // One that writes without end once the shell ends (closing its descriptor 3 on the FIFO):
      // the call neither waits for it nor fills buf with it.
      {"cd '" + dir.path() + "'; mkfifo f; (cat f >/dev/null; while printf x; do sleep .02; done)" +
           " & exec 3>f; printf now",
       64, "now", 'x'},
      {"printf 0123456789; exit 3", 4, std::string("012\0", 4), 0, 5000, "0 3"},
      {"printf a; sleep 5; printf b", 4, std::string("a\0\0\0", 4), 0, 500,
       "-1 137 " + std::to_string(ETIMEDOUT), true},
  };
  for (const Case& c : cases) {
    char buf[256];
    memset(buf, 'G', sizeof buf);
    std::vector<char> cmd(c.cmd.begin(), c.cmd.end());
    cmd.push_back('\0');
    if (c.limit < 0) {
      EXPECT_EQ(osl_excute(cmd.data(), buf, c.size), 0) << c.cmd;
    } else {
      int32_t status = -5;
      m_clock_fails = c.blind;
      const int32_t rc = osl_excute_timed(cmd.data(), buf, c.size, c.limit, &status);
      const std::string err = rc < 0 ? " " + std::to_string(errno) : "";
      m_clock_fails = false;
      EXPECT_EQ(std::to_string(rc) + " " + std::to_string(status) + err, c.timed) << c.cmd;
    }
    std::string got(buf, static_cast<size_t>(c.size));
    // Drop the noise that came in the instant the call took to see the shell's end.
    const size_t end = c.noise ? got.find_first_not_of(c.noise, c.want.size()) : c.want.size();
    ASSERT_NE(end, std::string::npos) << c.cmd << ": filled by the background child";
    got.erase(c.want.size(), end - c.want.size());
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

// "rc status errno" of osl_excute_timed (errno only after a failure), then "|" and buf; for a
// limit below -1, "rc|buf" of osl_excute.
std::string Timed(const std::string& cmd, int32_t limit) {
  char buf[128] = {0};
  if (limit < -1) return std::to_string(osl_excute(cmd.c_str(), buf, sizeof buf - 1)) + "|" + buf;
  int32_t status = -5;
  const int32_t rc = osl_excute_timed(cmd.c_str(), buf, sizeof buf, limit, &status);
  const std::string err = rc < 0 ? " " + std::to_string(errno) : "";
  return std::to_string(rc) + " " + std::to_string(status) + err + "|" + buf;
}

// What a command meets is set up by the caller only: no descriptor of the caller's above 2, a
// terminal with TOSTOP that never stops it (after "|": what reached the terminal), and a shell
// that leaves its process group is still killed at the limit. Each row runs in a child of its
// own, in a session whose terminal is a pseudo-terminal with TOSTOP (this process in its
// foreground group, the command's group not), holding what a daemon leaves open: a socket and
// a pipe without close-on-exec, and a signal watch.
TEST(OslExcute, CommandsRunApartFromTheCaller) {
  const std::string cmd = "echo seen >&2; ls /proc/$$/fd", fds = "|0\n1\n2\n|seen";
  const struct {
    const char* what;
    std::string cmd;
    int32_t limit;  // < -1: osl_excute
    std::string want;
  } cases[] = {
      {"timed", cmd, 5000, "0 0" + fds},
      {"untimed", cmd, -2, "0" + fds},
      {"without a limit", cmd, -1, "0 0" + fds},
      // The shell becomes perl, which moves into the caller's group: killed all the same.
      {"a shell that left its group is killed at the limit",
       "exec perl -e 'setpgrp(0, getpgrp(getppid())) or exit 9; $| = 1; print \"moved\\n\"; "
       "sleep 30'", 500, "-1 137 " + std::to_string(ETIMEDOUT) + "|moved\n"},
  };
  for (const auto& c : cases) {
    ChildResult r = RunInChild([&] {
      const int master = posix_openpt(O_RDWR | O_NOCTTY);
      if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return kChildSkip;
      const int slave = setsid() < 0 ? -1 : open(ptsname(master), O_RDWR);
      struct termios t;
      if (slave < 0 || tcgetattr(slave, &t) != 0) return kChildSkip;
      t.c_lflag |= TOSTOP;
      t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
      int fds[2];
      if (tcsetattr(slave, TCSANOW, &t) != 0 || dup2(slave, 2) != 2 || close(slave) != 0 ||
          socket(AF_INET, SOCK_DGRAM, 0) < 0 || pipe(fds) != 0 || osl_signal_watch(SIGHUP, 0) != 0)
        return 2;
      std::string got = Timed(c.cmd, c.limit);
      char seen[64] = {0};
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 1000) == 1 && read(master, seen, sizeof seen - 1) > 0)
        got += "|" + std::string(seen, strcspn(seen, "\r\n"));
      printf("%s", got.c_str());
      return 0;
    }, 25);
    if (r.code == kChildSkip) GTEST_SKIP() << "no pseudo-terminal to be had";
    EXPECT_EQ(r.code, 0) << c.what;
    EXPECT_EQ(r.out, c.want) << c.what;
  }
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
  // A zero byte inside a line ends the text there but not the line.
  const std::string input = "hello\n" + std::string(1500, 'a') + "\nnext\n" +
                            std::string(OSL_GETS_MAX - 1, 'b') + "\n\nnul" +
                            std::string(1, '\0') + "byte\nkept\nlast";
  // The input comes through a pipe in parts: "hel", "lo\n", the rest, with pauses before each
  // while a handler without SA_RESTART interrupts the blocked read again and again.
  ChildResult r = RunInChild([&] {
    int fds[2];
    if (pipe(fds) != 0) return 2;
    if (fork() == 0) {
      for (const std::string& part : {input.substr(0, 3), input.substr(3, 3), input.substr(6)}) {
        usleep(200000);
        if (write(fds[1], part.data(), part.size()) != static_cast<ssize_t>(part.size())) _exit(1);
      }
      _exit(0);
    }
    close(fds[1]);
    if (dup2(fds[0], 0) < 0) return 2;
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    struct itimerval every = {{0, 20000}, {0, 20000}};
    if (sigaction(SIGALRM, &sa, nullptr) != 0 || setitimer(ITIMER_REAL, &every, nullptr) != 0) {
      return 2;
    }
    char buf[OSL_GETS_MAX + 64];
    for (int i = 0; i < 9; ++i) {
      memset(buf, 'Z', sizeof buf);
      osl_gets(buf);
      for (size_t k = strlen(buf) + 1; k < sizeof buf; ++k) {
        if (buf[k] != 'Z') return 3;  // wrote past the text and its terminator
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

bool BecomeNobody() {
  return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}

// Runs body in a forked child, as user and group nobody when asked; its exit code, -1 when it
// did not exit, or kChildSkip when the drop to nobody was refused.
int InChild(const std::function<int()>& body, bool nobody = false) {
  fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    const int rc = !nobody || BecomeNobody() ? body() : kChildSkip;
    fflush(stdout);
    _exit(rc);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                          : -1;
}

// Forks a process that runs take and, when that succeeds, stays until killed. Its pid once take
// is done, or -1.
pid_t StartHolder(const std::function<bool()>& take) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    if (take() && write(ready[1], "r", 1) == 1) pause();
    _exit(0);
  }
  close(ready[1]);
  char byte;
  const bool up = pid > 0 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (pid > 0 && !up) waitpid(pid, nullptr, 0);
  return up ? pid : -1;
}

void End(pid_t pid) {
  if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
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
      // A running copy refuses the start, before any handler is installed, until it is killed.
      int ready[2];
      if (pipe(ready) != 0) return 4;
      const pid_t first = fork();
      if (first == 0) {
        if (osl_init(c.name) != 0 || write(ready[1], "r", 1) != 1) _exit(1);
        pause();
        _exit(0);
      }
      char byte;
      if (first < 0 || read(ready[0], &byte, 1) != 1) return 4;
      signal(SIGTERM, SIG_DFL);
      signal(SIGPIPE, SIG_DFL);
      int rc = osl_init(c.name);
      bool untouched = HandlerOf(SIGTERM) == SIG_DFL && HandlerOf(SIGPIPE) == SIG_DFL;
      kill(first, SIGKILL);
      waitpid(first, nullptr, 0);
      if (rc != -1) return 5;
      if (!untouched) return 6;
      fflush(stdout);
      if (osl_init(c.name) != 0) return 8;  // the killed copy's hold is gone: starts again
      if (semget(key, 1, 0) < 0) return 7;  // the set stays
      // This process now holds it: its own next start keeps the hold; a forked child's is refused.
      if (osl_init(c.name) != 0) return 3;
      fflush(stdout);
      return InChild([&] { return osl_init(c.name) == -1 ? 0 : 1; }) == 0 ? 0 : 9;
    });
    if (r.code == kChildSkip) GTEST_SKIP() << "cannot make a private IPC namespace";
    EXPECT_EQ(r.code, 0) << c.name;
    const std::string refused = std::string("'") + c.name + "': This program is running!\n";
    EXPECT_EQ(r.out, refused + refused) << c.name;
  }
  // An empty name's key is IPC_PRIVATE: no check, and no set left behind per start.
  ChildResult r = RunInChild([] {
    if (osltest::EnterNamespaces(CLONE_NEWIPC) != 0) return kChildSkip;
    if (osl_init("") != 0 || osl_init("") != 0) return 1;
    struct seminfo info;
    if (semctl(0, 0, SEM_INFO, &info) < 0) return 2;
    return info.semusz == 0 ? 0 : 3;  // sets in use
  });
  EXPECT_EQ(r.code, 0);
}

// The hold against another local user: no one else can reset it, raise it first unnoticed, or
// lend the start a set its creator could reset. Per row a set is left under the key (by root,
// this test's user, or by nobody) and a process of root's or nobody's applies ops to it, ending
// before the first start or right after it; the row gives the first start's result and the
// hold's value once that process is gone. Then, in every row, a second start succeeds, and the
// set is a new one of root's with mode 0600 (the first start's, when that succeeded) that user
// nobody can neither reset nor start on.
TEST(OslInit, SingleInstanceHoldAgainstAnotherUser) {
  static const char kName[] = "guard";
  const key_t key = KeyOf(kName);
  const std::string running = "'guard': This program is running!\n";
  enum { kNoSet = -1, kRoot = 0, kNobody = 65534 };
  const std::vector<sembuf> up = {{0, 1, 0}}, arm = {{0, 1, 0}, {0, -1, SEM_UNDO}},
                            hold = {{0, 0, IPC_NOWAIT}, {0, 1, IPC_NOWAIT | SEM_UNDO}};
  const struct {
    const char* what;
    int maker, mode, actor;
    std::vector<sembuf> ops;  // the actor's, if any
    bool ended;               // the actor ends before the start
    const char* want;         // first start, the value once the actor is gone
  } cases[] = {
      {"no set before", kNoSet, 0, kRoot, {}, false, "0 1"},
      {"nobody's 0666 set, left", kNobody, 0666, kRoot, {}, false, "0 1"},
      {"nobody's set, held by nobody until the start", kNobody, 0600, kNobody, hold, false, "-1 0"},
      {"root's 0666 set of an older start", kRoot, 0666, kRoot, {}, false, "0 1"},
      {"root's 0666 set, raised without undo by nobody, who ended", kRoot, 0666, kNobody, up, true,
       "0 1"},
      {"root's 0666 set, with an undo nobody armed that raises it later", kRoot, 0666, kNobody,
       arm, false, "0 1"},
      {"root's 0666 set, held by an older build's daemon until the start", kRoot, 0666, kRoot,
       hold, false, "-1 0"},
      {"root's 0600 set, left raised without undo by a process that ended", kRoot, 0600, kRoot, up,
       true, "0 1"},
  };
  for (const auto& c : cases) {
    ChildResult r = RunInChild([&] {
      if (geteuid() != 0 || unshare(CLONE_NEWIPC) != 0) return kChildSkip;
      if (InChild([] { return 0; }, true) != 0) return kChildSkip;
      auto make = [&] { return semget(key, 1, IPC_CREAT | c.mode) < 0; };
      if (c.maker != kNoSet && (c.maker == kRoot ? make() : InChild(make, true)) != 0) return 2;
      const int before = semget(key, 1, 0);
      pid_t actor = c.ops.empty() ? 0 : StartHolder([&] {
        std::vector<sembuf> ops = c.ops;
        return (c.actor == kRoot || BecomeNobody()) && semop(before, ops.data(), ops.size()) == 0;
      });
      if (actor < 0) return 3;
      if (c.ended) End(actor), actor = 0;
      const int first = osl_init(kName);
      End(actor);
      const int held = semget(key, 1, 0), value = semctl(held, 0, GETVAL);
      const int second = osl_init(kName), now = semget(key, 1, 0);
      struct semid_ds ds;
      if (semctl(now, 0, IPC_STAT, &ds) != 0) return 4;
      const int reset = InChild([&] { return semctl(now, 0, SETVAL, 0) == 0; }, true);
      const int start = InChild([&] { return osl_init(kName) != -1; }, true);
      printf("=%d %d|%d %u %o %d %d %d %d", first, value, second, ds.sem_perm.uid,
             static_cast<unsigned>(ds.sem_perm.mode & 0777), now != before,
             first != 0 || now == held, reset, start);
      return 0;
    });
    if (r.code == kChildSkip) GTEST_SKIP() << "needs root, a private IPC namespace, user nobody";
    EXPECT_EQ(r.code, 0) << c.what;
    const std::string want = c.want;
    // Second start, owner, mode, new set, kept by the second start, nobody's reset, start.
    EXPECT_EQ(r.out, (want[0] == '-' ? running : "") + running + "=" + want + "|0 0 600 1 1 0 0")
        << c.what;
  }
}

// Sends sig to this process from another thread after ms milliseconds.
std::thread SendLater(int sig, int ms) {
  return std::thread([sig, ms] {
    usleep(static_cast<useconds_t>(ms) * 1000);
    kill(getpid(), sig);
  });
}

// The results of n waits of ms each, space-separated.
std::string Waits(int n, int32_t ms) {
  std::string out;
  for (int i = 0; i < n; ++i) out += (i ? " " : "") + std::to_string(osl_signal_wait(ms));
  return out;
}

// Watched signals and the waits on them. Each row runs in a child of its own, from a state with
// nothing watched but SIGHUP.
TEST(OslSignalWait, WatchedSignalsAreKeptUntilWaitedFor) {
  using std::to_string;
  // A SIGHUP sent while the first wait (of limit ms) sleeps, then a wait that times out.
  auto asleep = [](bool blind, int32_t limit) {
    return [=] {
      m_clock_fails = blind;
      std::thread t = SendLater(SIGHUP, 100);
      std::string out = Waits(1, limit);
      out += " " + Waits(1, 150);
      t.join();
      m_clock_fails = false;
      return out + " exit " + to_string(osl_is_exit());
    };
  };
  const struct {
    const char* what;
    std::function<std::string()> run;
    std::string want;
  } cases[] = {
      {"bad signals refused, and the faults, whose handler would run for ever; nothing pending",
       [] {
         std::string out = Waits(1, 0) + " accepted:";
         for (int sig : {0, SIGKILL, SIGSTOP, 65, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
           if (osl_signal_watch(sig, 0) != -1 || errno != EINVAL) out += " " + to_string(sig);
         return out;
       },
       "0 accepted:"},
      {"several before one wait: none lost, the same one kept once, stop signals first",
       [] {
         osl_signal_watch(SIGINT, 1);
         osl_signal_watch(SIGUSR1, 0);
         for (int sig : {SIGUSR1, SIGHUP, SIGHUP, SIGINT}) raise(sig);
         return Waits(4, 0) + " exit " + to_string(osl_is_exit());
       },
       "2 1 10 0 exit 1"},
      {"one sent from another thread while the wait sleeps; then the timeout", asleep(false, -1),
       "1 0 exit 0"},
      {"the clock cannot be read: the wait still ends on the signal, and at its limit",
       asleep(true, 20000), "1 0 exit 0"},
      {"interrupted calls resume",
       [] {
         int fds[2];
         if (pipe(fds) != 0) return std::string("-");
         std::thread t = SendLater(SIGHUP, 100), w([&] {
           usleep(300000);
           (void)!write(fds[1], "x", 1);
         });
         char c = 0;
         const ssize_t n = read(fds[0], &c, 1);  // interrupted by SIGHUP, resumed
         t.join(), w.join();
         return to_string(n) + " " + Waits(1, 0);
       },
       "1 1"},
      {"a stop signal ends a timed command early; once waited for, commands run again",
       [] {
         osl_signal_watch(SIGTERM, 1);
         std::thread t = SendLater(SIGTERM, 200);
         const auto t0 = std::chrono::steady_clock::now();
         std::string out = Timed("echo started; sleep 20", 30000);
         const bool early = std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5);
         out += early ? " early" : " late";
         t.join();
         out += " " + Timed("echo refused", 5000);  // still pending: nothing started
         out += " " + Waits(1, 0);
         return out + " " + Timed("echo ran", 5000);
       },
       "-1 137 " + to_string(EINTR) + "|started\n early -1 -1 " + to_string(EINTR) +
           "| 15 0 0|ran\n"},
      {"osl_init keeps a watch on SIGTERM, which still sets the exit request",
       [] {
         osl_signal_watch(SIGTERM, 1);
         if (osl_init(nullptr) != 0) return std::string("-");
         raise(SIGTERM);
         std::string out = Waits(1, 0) + " " + to_string(osl_is_exit());
         osl_signal_watch(SIGHUP, 0);  // a watch made after start-up
         raise(SIGHUP);
         return out + " " + Waits(2, 0);
       },
       "15 1 1 0"},
      {"a forked child has its own wake pipe and none of the parent's pending signals",
       [] {
         raise(SIGHUP);
         const int child = InChild([] {
           if (osl_signal_wait(0) != 0) return 1;
           raise(SIGHUP);
           return osl_signal_wait(0) == SIGHUP ? 0 : 2;
         });
         return to_string(child) + " " + Waits(2, 0);
       },
       "0 1 0"},
  };
  for (const auto& c : cases) {
    ChildResult r = RunInChild([&] {
      const std::string got = osl_signal_wait(0) == -1 && errno == EINVAL &&
                                      osl_signal_watch(SIGHUP, 0) == 0 ? c.run() : "no watch";
      fflush(stdout);
      printf("\n=%s", got.c_str());
      return 0;
    }, 40);
    EXPECT_EQ(r.code, 0) << c.what;
    const size_t at = r.out.rfind("\n=");
    EXPECT_EQ(at == std::string::npos ? r.out : r.out.substr(at + 2), c.want) << c.what;
  }
}

// ---------------------------------------------------------------- every caller's buffer

int32_t VFormat(char* str, int32_t size, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  const int32_t n = osl_str_vsnprintf(str, size, format, ap);
  va_end(ap);
  return n;
}

std::string N(int64_t v) { return std::to_string(v); }

// A pool made in b's 256 bytes gives a block and a copy of "ab".
std::string PoolCopy(char* b) {
  void* h = osl_mem_create(b, 256, 8);
  osl_mem_alloc(h, 16, "", 0, nullptr);
  const std::string copy = osl_mem_strdup(h, "ab", "", 0);
  osl_mem_destroy(h);
  return copy;
}

// Calls run on a heap buffer of exactly n objects of type T (its first bytes init, the rest 0).
template <class T>
void InRoom(const char* call, size_t n, const std::string& init, const std::string& want,
            const std::function<std::string(T*)>& run) {
  std::vector<char> heap(n * sizeof(T));  // exactly that room, nothing after it
  init.copy(heap.data(), heap.size());
  EXPECT_EQ(run(reinterpret_cast<T*>(heap.data())), want) << call;
}
#define ROW(T, n, init, want, e) InRoom<T>(#e, n, init, want, [&](T* b) { return S(e); })

// Each layer function that writes into a caller's buffer, given exactly the room its header names
// for a short input. Meant for the AddressSanitizer build, where one byte written past that room
// ends the run; elsewhere the rows check the results only.
TEST(CallerBuffers, ExactRoomIsEnough) {
  osltest::TempDir dir;
  const std::string in = dir.file("in");
  WriteFile(in, "abcdef");
  void* fp = osl_file_open(in.c_str(), OSL_FILE_READ);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
  ASSERT_EQ(send(sv[0], "abcdef", 6, 0), 6);  // one for recv, one for recvfrom
  ASSERT_EQ(send(sv[0], "abcdef", 6, 0), 6);
  const SOCKET udp = osl_socket_create(2, 2, 0);
  ASSERT_EQ(osl_socket_bind(udp, htonl(INADDR_LOOPBACK), 0), 0);
  char target[1100], host[256] = {0}, csv[] = "a,b", yes[] = "yes\n";
  FILE* lines = fmemopen(yes, 4, "r");  // standard input for osl_gets
  osl_log_get_target(target, sizeof target);
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const int32_t troom = static_cast<int32_t>(strlen(target) + 1);
  const int32_t hroom = static_cast<int32_t>(strlen(host) + 1);
  int32_t len = sizeof(int32_t);
  uint32_t ip = 0;
  uint16_t port = 0;
  using S = std::string;
  ROW(char, 3, "", "ab", (osl_strncpy(b, "ab", 3), b));
  ROW(char, 4, "x", "xab", (osl_strncat(b, "ab", 3), b));
  ROW(char, 4, "", "123", (osl_str_snprintf(b, 4, "%d", 1234), b));
  ROW(char, 4, "", "123", (VFormat(b, 4, "%d", 12345), b));
  ROW(char, 4, "a b", "a", osl_str_split(&b, " "));
  ROW(char*, 2, "", "ab", (osl_str_split_all(csv, ",", b, 2, 0), S(b[0]) + b[1]));
  ROW(char, 4, " a ", "a", osl_str_trim(b));
  ROW(char, 5, "a//b", "a/b", osl_str_trim_path(b));
  ROW(char, 2, "", "v", osl_str_getval("k=v\n", -1, "k", b, 2));
  ROW(char, 2, "", "v", osl_url_getheadval("k: v\r\n", -1, "k", b, 2));
  ROW(char, 2, "", "1", (osl_str_time2str(0, b, 2), b));
  ROW(char, 20, "", "19", N(strlen(osl_str_utc2date(0, b, 20))));
  ROW(char, 23, "", "22", N(strlen(osl_str_utc2date_wday(0, b, 23))));
  ROW(char, 20, "", "19", N(strlen(osl_get_strutc(b, 20))));
  ROW(char, 6, "", "a&lt;", (osl_str_html_escape("a<", 2, b, 6), b));
  ROW(SUrlInfo, 1, "", "2", (osl_url_parse("http://ab/", b), N(b->hostname_len)));
  ROW(char, 3, "", "ab", osl_url_get_param("x=ab", "x", b, 3));
  ROW(char, 4, "", "a+b", (osl_url_encode("a b", 3, b, 4), b));
  ROW(char, 6, "", "a%20b", (osl_url_encode_component("a b", 0, b, 6), b));
  ROW(char, 4, "", "a b", (osl_url_decode("a%20b", 5, b, 4), b));
  ROW(char, 3, "abc", "abc", S(b, url_decode(b, 3)));
  ROW(char, 256, "", "ab", PoolCopy(b));
  ROW(char, troom, "", target, (osl_log_get_target(b, troom), b));
  ROW(char, 2, "", "ab", (osl_excute("printf abc", b, 2), S(b, 2)));
  ROW(char, 4, "", "yes", (std::swap(stdin, lines), osl_gets(b), std::swap(stdin, lines), b));
  ROW(char, 1, "Q", "1Q", N(osl_generate_uuid(b, 1)) + b[0]);
  ROW(SFileNodeInfo, 1, "", "6", (osl_file_get_info(in.c_str(), b), N(b->size)));
  ROW(char, 3, "", "abc", S(b, osl_file_read(fp, b, 3)));
  ROW(char, 3, "", "abc", S(b, osl_socket_recv(sv[1], b, 3)));
  ROW(char, 3, "", "abc", S(b, osl_socket_recvfrom(sv[1], 0, 0, b, 3)));
  ROW(int32_t, 1, "", N(SOCK_DGRAM),
      (osl_socket_get_opt(sv[0], SOL_SOCKET, SO_TYPE, b, &len), N(*b)));
  ROW(uint32_t, 1, "", "0", (osl_socket_ioctl(sv[1], FIONREAD, b), N(*b)));
  ROW(uint32_t, 1, "", N(INADDR_LOOPBACK), (osl_socket_get_sockname(udp, b, &port), N(ntohl(*b))));
  ROW(uint16_t, 1, "", "1", (osl_socket_get_sockname(udp, &ip, b), N(*b != 0)));
  ROW(char, hroom, "", host, (osl_network_get_local_name(b, hroom), b));
  ROW(uchar_t, 6, "", "\1\2\3\4\5\6",
      (osl_network_convert_mac("01:02:03:04:05:06", b), S(b, b + 6)));
  fclose(lines);
  osl_file_close(fp);
  close(sv[0]);
  close(sv[1]);
  osl_socket_destroy(udp);
}
#undef ROW

}  // namespace
