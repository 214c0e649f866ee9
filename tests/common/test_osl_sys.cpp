// The private system habits: digit runs at the overflow edge, time limits on a clock that fails
// from the start or midway, and transfers that a signal without SA_RESTART interrupts.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "osl_sys.h"

namespace {
std::atomic<bool> m_clock_fails{false};
void on_signal(int) {}

// Milliseconds on a clock the failing one leaves alone.
int64_t boot_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Sleeps ms however often a signal cuts the sleep short.
void pause_ms(int64_t ms) {
  for (const int64_t end = boot_ms() + ms; boot_ms() < end;) usleep(1000);
}
}  // namespace

// CLOCK_MONOTONIC fails while m_clock_fails is set, as under a filter that refuses the 64-bit
// time calls; every other reading is the real one.
extern "C" int clock_gettime(clockid_t id, struct timespec *ts) noexcept {
  using Fn = int (*)(clockid_t, struct timespec *);
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32  // the 32-bit board's 64-bit-time entry
  static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "__clock_gettime64"));
#else
  static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "clock_gettime"));
#endif
  if (id == CLOCK_MONOTONIC && m_clock_fails) return errno = EPERM, -1;
  return real(id, ts);
}

TEST(OslSys, DigitRunsStopAtTheirEndAndRefuseOverflow) {
  const struct {
    const char *text;
    int base;
    uint64_t max, value;
    ptrdiff_t want;
  } rows[] = {
      {"18446744073709551615", 10, UINT64_MAX, UINT64_MAX, 20},
      {"18446744073709551616", 10, UINT64_MAX, 0, -1},
      {"ffffffffffffffff", 16, UINT64_MAX, UINT64_MAX, 16},
      {"ffffffffffffffff1", 16, UINT64_MAX, 0, -1},
      {"255", 10, 255, 255, 3},
      {"256", 10, 255, 0, -1},
      {"9", 10, 5, 0, -1},
      {"12ab;", 10, UINT64_MAX, 12, 2},
      {"12ab;", 16, UINT64_MAX, 0x12ab, 4},
      {"1f", 10, UINT64_MAX, 1, 1},
      {"", 10, UINT64_MAX, 0, 0},
  };
  for (const auto &row : rows) {
    uint64_t out = 0;
    EXPECT_EQ(osl_sys::scan_digits(row.text, strlen(row.text), row.base, row.max, &out), row.want)
        << row.text;
    if (row.want >= 0) {
      EXPECT_EQ(out, row.value) << row.text;
    }
  }
  uint64_t out = 0;
  EXPECT_FALSE(osl_sys::parse_digits("10 ", 3, 10, UINT64_MAX, &out));
  EXPECT_TRUE(osl_sys::parse_digits("10 ", 2, 10, UINT64_MAX, &out));
}

TEST(OslSys, LimitsHoldWhenTheClockFails) {
  // From the start, and after 60 ms of good readings: a 200 ms limit ends after about 200 ms
  // of waits either way.
  for (int good_ms : {0, 60}) {
    SCOPED_TRACE(good_ms);
    m_clock_fails = good_ms == 0;
    const int64_t t0 = boot_ms();
    osl_sys::Deadline d(200);
    int32_t w;
    while ((w = d.wait_ms(20)) > 0) {
      poll(nullptr, 0, w);
      if (boot_ms() - t0 >= good_ms) m_clock_fails = true;
    }
    m_clock_fails = false;
    EXPECT_GE(boot_ms() - t0, 190);
    EXPECT_LT(boot_ms() - t0, 2000);
    EXPECT_TRUE(d.expired());
  }
  EXPECT_EQ(osl_sys::Deadline(-1).wait_ms(), -1);
}

TEST(OslSys, TransfersRideOutSignalsWithoutRestart) {
  struct sigaction sa = {}, old;
  sa.sa_handler = on_signal;  // no SA_RESTART: blocked reads and writes return EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  const sighandler_t old_pipe = signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string sent(1 << 20, 'x');
  std::string got(sent.size(), '\0');
  std::atomic<bool> done{false};
  const pthread_t writer = pthread_self();
  // Signals both ends every 2 ms: the reader while its read waits for the late writer, the
  // writer while its write waits on the full pipe of the slow reader.
  std::thread reader([&] {
    size_t have = 0;
    const pthread_t me = pthread_self();
    std::thread kicker([&] {
      while (!done) {
        pthread_kill(writer, SIGUSR1);
        pthread_kill(me, SIGUSR1);
        usleep(2000);
      }
    });
    while (have < got.size()) {
      if (have > 0 && have % 65536 == 0) pause_ms(20);
      const ssize_t n = osl_sys::read_some(fds[0], &got[have], 4096);
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
    done = true;
    kicker.join();
    close(fds[0]);  // a reader that gave up fails the writer (EPIPE) rather than holding it
  });
  pause_ms(20);
  EXPECT_EQ(osl_sys::write_all(fds[1], sent.data(), sent.size()),
            static_cast<ssize_t>(sent.size()));
  reader.join();
  EXPECT_TRUE(got == sent);
  close(fds[1]);
  sigaction(SIGUSR1, &old, nullptr);
  signal(SIGPIPE, old_pipe);
}

TEST(OslSys, BoundedWritesWaitsAndCopies) {
  // A full non-blocking pipe: the write ends at the limit with ETIMEDOUT and says how much went;
  // once the reader makes room, the rest goes.
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  const std::string big(256 * 1024, 'y');
  size_t done = 0;
  osl_sys::Deadline short_limit(30);
  errno = 0;
  EXPECT_EQ(osl_sys::write_all(fds[1], big.data(), big.size(), short_limit, &done), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_GT(done, 0u);
  EXPECT_LT(done, big.size());
  osl_sys::Deadline none_left(0);
  EXPECT_EQ(osl_sys::wait_fd(fds[1], POLLOUT, none_left), 0);
  std::thread drain([&] {
    char buf[4096];
    size_t total = 0;
    while (total < big.size()) {
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n > 0) total += static_cast<size_t>(n);
      else poll(nullptr, 0, 1);
    }
  });
  osl_sys::Deadline long_limit(10000);
  EXPECT_EQ(osl_sys::write_all(fds[1], big.data() + done, big.size() - done, long_limit, nullptr),
            static_cast<ssize_t>(big.size() - done));
  drain.join();
  // A closed reader is an error, not a wait.
  close(fds[0]);
  const sighandler_t old_pipe = signal(SIGPIPE, SIG_IGN);
  osl_sys::Deadline limit(10000);
  EXPECT_EQ(osl_sys::write_all(fds[1], "z", 1, limit, &done), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(done, 0u);
  signal(SIGPIPE, old_pipe);
  errno = EDOM;
  osl_sys::close_keep_errno(fds[1]);
  EXPECT_EQ(errno, EDOM);

  // The layer's own descriptors never reach a command.
  const int fd = osl_sys::open_file("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  close(fd);

  // Exact sizes: a cut text ends in a zero byte; nothing after the terminator is written.
  char out[6];
  memset(out, 'q', sizeof out);
  osl_sys::copy_bounded(out, sizeof out, "abcdefgh");
  EXPECT_EQ(memcmp(out, "abcde\0", 6), 0);
  memset(out, 'q', sizeof out);
  osl_sys::copy_bounded(out, sizeof out, "ab");
  EXPECT_EQ(memcmp(out, "ab\0qqq", 6), 0);
  EXPECT_TRUE(osl_sys::equal_nocase("Content-Length", "content-LENGTH", 14));
  EXPECT_FALSE(osl_sys::equal_nocase("a\0b", "a\0c", 3));
  EXPECT_FALSE(osl_sys::equal_nocase("[", "{", 1));  // 0x5B and 0x7B differ by the case bit only
}
