// Clocks and time zone. The relative clocks are driven through a stand-in gettimeofday defined
// in this program (it takes precedence over the C library's for the layer linked in), and
// setting the clock goes to a stand-in settimeofday, so no test moves the machine's clock; the
// real refusal is checked in a child that dropped the privilege to set the time. A stand-in
// usleep records the pauses the layer asks for.
#include <errno.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "osl.h"
#include "test_util.h"

namespace {

// Stand-in clock: when m_fake is set, gettimeofday and time return m_now; when m_fail is set,
// they fail with EOVERFLOW and write nothing, as glibc's 32-bit calls do past 2038.
std::atomic<bool> m_fake{false}, m_fail{false};
struct timeval m_now;

// Stand-in settimeofday: records its arguments and answers m_set_rc / m_set_errno. When
// m_set_real is set it forwards to the kernel instead.
bool m_set_real = false;
int m_set_calls = 0;
struct timeval m_set_tv;
const void *m_set_tz = nullptr;
int m_set_rc = -1;
int m_set_errno = EPERM;

// Stand-in usleep: the number of calls and the last argument.
int m_usleep_calls = 0;
useconds_t m_usleep_arg = 0;

void fake_at(int64_t sec, int64_t usec) {
  m_now.tv_sec = static_cast<time_t>(sec);
  m_now.tv_usec = static_cast<suseconds_t>(usec);
  m_fake = true;
}

// Each test starts with real time, armed clocks and a fresh settimeofday record.
class Clock : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fake = false;
    m_set_real = false;
    m_set_calls = 0;
    osl_reset();
  }
  void TearDown() override {
    m_fake = false;
    m_fail = false;
    osl_reset();
  }
};

}  // namespace

extern "C" int gettimeofday(struct timeval *__restrict tv, void *__restrict tz) noexcept {
  (void)tz;
  if (m_fail) {
    errno = EOVERFLOW;
    return -1;
  }
  if (m_fake) {
    *tv = m_now;
    return 0;
  }
  return osltest::real_gettimeofday(tv);
}

extern "C" time_t time(time_t *t) noexcept {
  struct timeval now;
  const time_t sec = gettimeofday(&now, nullptr) == 0 ? now.tv_sec : static_cast<time_t>(-1);
  if (t != nullptr) *t = sec;
  return sec;
}

// Stand-in usleep: records what the layer asks for, then sleeps that long for real.
extern "C" int usleep(useconds_t us) {
  ++m_usleep_calls;
  m_usleep_arg = us;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(us / 1000000u);
  ts.tv_nsec = static_cast<long>(us % 1000000u) * 1000;
  return nanosleep(&ts, nullptr);
}

extern "C" int settimeofday(const struct timeval *tv, const struct timezone *tz) noexcept {
  if (m_set_real) {  // the C library's own call, with the layout of this build's timeval
    const struct timespec ts = {tv->tv_sec, static_cast<long>(tv->tv_usec) * 1000};
    return clock_settime(CLOCK_REALTIME, &ts);
  }
  ++m_set_calls;
  m_set_tv = *tv;
  m_set_tz = tz;
  if (m_set_rc != 0) errno = m_set_errno;
  return m_set_rc;
}

TEST_F(Clock, RelativeClocksHaveIndependentBaselines) {
  fake_at(1000, 0);
  EXPECT_EQ(osl_get_ms(), 0u);
  fake_at(1001, 500000);
  EXPECT_EQ(osl_get_ms(), 1500u);
  EXPECT_EQ(osl_get_ms64(), 0u);  // first use of this clock: its own baseline
  fake_at(1002, 0);
  EXPECT_EQ(osl_get_ms(), 2000u);
  EXPECT_EQ(osl_get_ms64(), 500u);
  EXPECT_EQ(osl_get_us(), 0u);
  fake_at(1003, 250001);
  EXPECT_EQ(osl_get_us(), 1250001u);
  EXPECT_EQ(osl_get_ms(), 3250u);

  osl_reset();
  EXPECT_EQ(osl_get_ms(), 0u);
  EXPECT_EQ(osl_get_ms64(), 0u);
  EXPECT_EQ(osl_get_us(), 0u);
  fake_at(1004, 250001);
  EXPECT_EQ(osl_get_ms(), 1000u);
  EXPECT_EQ(osl_get_ms64(), 1000u);
  EXPECT_EQ(osl_get_us(), 1000000u);
}

TEST_F(Clock, SleepPassesMicrosecondsAndNeverANegativeCount) {
  struct Case {
    int32_t us;
    useconds_t want;
  } cases[] = {
      {1500, 1500u},
      {0, 0u},
      {-1, 0u},  // as useconds_t this would be a sleep of about 71 minutes
      {-2147483647 - 1, 0u},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.us);
    m_usleep_calls = 0;
    m_usleep_arg = 12345u;
    osl_usleep(c.us);
    EXPECT_EQ(m_usleep_calls, 1);
    EXPECT_EQ(m_usleep_arg, c.want);
  }
}

TEST_F(Clock, RelativeClockArithmetic) {
  const int64_t day = 86400;
  struct Case {
    const char *what;
    int64_t base_sec, base_usec, now_sec, now_usec;
    uint32_t ms;
    uint64_t ms64, us;
    bool fails = false;  // the reading fails: 0, never a count from leftover bytes
  } cases[] = {
      // Each reading is cut to whole milliseconds before subtracting.
      {"ms boundary", 10, 999999, 11, 0, 1u, 1u, 1u},
      {"same ms", 10, 1000, 10, 1999, 0u, 0u, 999u},
      // 50 days: the 32-bit count has wrapped, the 64-bit ones have not.
      {"50 days", 1000, 0, 1000 + 50 * day, 0, 25032704u, 4320000000u, 4320000000000u},
      // Wall clock set back behind the baseline: negative counts seen as unsigned.
      {"set back 1 s", 5000, 0, 4999, 0, 4294966296u, 18446744073709550616u,
       18446744073709551615u - 999999u},
      {"set back 1 us", 5000, 1000, 5000, 999, 4294967295u, 18446744073709551615u,
       18446744073709551615u},
      {"reading fails", 5000, 0, 7000, 0, 0u, 0u, 0u, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    osl_reset();
    fake_at(c.base_sec, c.base_usec);
    ASSERT_EQ(osl_get_ms(), 0u);
    ASSERT_EQ(osl_get_ms64(), 0u);
    ASSERT_EQ(osl_get_us(), 0u);
    fake_at(c.now_sec, c.now_usec);
    if (c.fails) {  // after good readings, so that leftover bytes would hold a count
      osl_get_ms(), osl_get_ms64(), osl_get_us();
      m_fail = true;
    }
    EXPECT_EQ(osl_get_ms(), c.ms);
    EXPECT_EQ(osl_get_ms64(), c.ms64);
    EXPECT_EQ(osl_get_us(), c.us);
    m_fail = false;
  }
}

// Readers race first use and re-arming: a reading must never count from a baseline that is not
// yet stored (the zero of load time) or from one stored after the reading was taken. Either
// shows as a count of years or a negative one seen as unsigned; the run itself lasts well under
// a minute.
TEST_F(Clock, ConcurrentFirstUseAndReArmCountFromAStoredBaseline) {
  constexpr int kReaders = 2;
  constexpr int kRounds = 300000;
  constexpr uint64_t kLimitMs = 60000;
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<uint64_t> worst{0};
  std::thread rearm([&] {
    while (!stop.load()) osl_reset();
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        const uint64_t ms = osl_get_ms();
        const uint64_t ms64 = osl_get_ms64();
        const uint64_t us = osl_get_us();
        if (ms > kLimitMs || ms64 > kLimitMs || us > kLimitMs * 1000) {
          ++bad;
          worst = ms > kLimitMs ? ms : ms64 > kLimitMs ? ms64 : us;
        }
      }
    });
  }
  for (std::thread &t : readers) t.join();
  stop = true;
  rearm.join();
  EXPECT_EQ(bad.load(), 0) << "e.g. " << worst.load();
}

TEST_F(Clock, AbsoluteReadingsAgreeInUnits) {
  fake_at(1709647629, 123456);
  EXPECT_EQ(osl_get_utc_ms(), INT64_C(1709647629123));
  EXPECT_EQ(osl_get_utc_us(), UINT64_C(1709647629123456));
  fake_at(INT64_C(2208988800), 123456);  // 2040 reads as on x86-64
  EXPECT_EQ(osl_get_utc(), 2208988800u);
  EXPECT_EQ(osl_get_utc_ms(), INT64_C(2208988800123));
  EXPECT_EQ(osl_get_utc_us(), UINT64_C(2208988800123456));
  struct timespec mono;  // the monotonic clock follows no wall clock
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &mono), 0);
  EXPECT_NEAR(osl_get_mono_ms(), mono.tv_sec * 1000.0 + mono.tv_nsec / 1e6, 1000.0);
  m_fail = true;  // an unreadable clock gives 0, never leftover bytes or (uint32_t)-1
  EXPECT_EQ(osl_get_utc(), 0u);
  EXPECT_EQ(osl_get_utc_ms(), 0);
  EXPECT_EQ(osl_get_utc_us(), 0u);
  EXPECT_EQ(osl_get_ltc(), 0u);
  EXPECT_EQ(osl_get_time_string(), nullptr);
  m_fail = false;
  m_fake = false;

  // Real clock: the three readings describe the same moment (allowing a few seconds between).
  const uint64_t us = osl_get_utc_us();
  const int64_t ms = osl_get_utc_ms();
  const uint32_t s = osl_get_utc();
  EXPECT_GT(s, 1600000000u);
  EXPECT_LE(us / 1000u, static_cast<uint64_t>(ms));
  EXPECT_LT(static_cast<uint64_t>(ms) - us / 1000u, 5000u);
  EXPECT_LT(static_cast<int64_t>(s) * 1000 - ms, 5000);
}

TEST_F(Clock, SetUtcSplitsMicrosecondsAndReArms) {
  struct Case {
    uint64_t utc_us;
    int64_t sec, usec;
    int rc;
  } cases[] = {
      {1500000u, 1, 500000, -1},
      {0u, 0, 0, 0},
      {999999u, 0, 999999, -1},
      {UINT64_C(1709647629123456), 1709647629, 123456, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.utc_us);
    fake_at(100, 0);
    osl_get_ms();
    osl_get_ms64();
    osl_get_us();
    fake_at(200, 0);
    m_set_rc = c.rc;
    m_set_calls = 0;
    errno = 0;
    EXPECT_EQ(osl_set_utc_us(c.utc_us), c.rc);
    if (c.rc != 0) {
      EXPECT_EQ(errno, EPERM);
    }
    ASSERT_EQ(m_set_calls, 1);
    EXPECT_EQ(static_cast<int64_t>(m_set_tv.tv_sec), c.sec);
    EXPECT_EQ(static_cast<int64_t>(m_set_tv.tv_usec), c.usec);
    EXPECT_EQ(m_set_tz, nullptr);
    // Re-armed whatever the outcome: each clock takes a new baseline.
    EXPECT_EQ(osl_get_ms(), 0u);
    EXPECT_EQ(osl_get_ms64(), 0u);
    EXPECT_EQ(osl_get_us(), 0u);
  }
}

TEST_F(Clock, SetUtcPast2038IsPassedOn) {
  // 2^31 s: 2038-01-19 on the board as on x86-64, never refused or turned into 1901.
  const uint64_t utc_us = UINT64_C(2147483648) * 1000000u;
  m_set_rc = 0;
  fake_at(100, 0);
  osl_get_ms();
  EXPECT_EQ(osl_set_utc_us(utc_us), 0);
  ASSERT_EQ(m_set_calls, 1);
  EXPECT_EQ(static_cast<int64_t>(m_set_tv.tv_sec), INT64_C(2147483648));
  EXPECT_EQ(osl_get_ms(), 0u);
}

// Drops CAP_SYS_TIME from every set of the calling process; true when it is gone.
static bool drop_sys_time() {
  struct __user_cap_header_struct hdr;
  struct __user_cap_data_struct data[2];
  memset(&hdr, 0, sizeof hdr);
  memset(data, 0, sizeof data);
  hdr.version = _LINUX_CAPABILITY_VERSION_3;
  if (syscall(SYS_capget, &hdr, data) != 0) return false;
  const uint32_t bit = 1u << (CAP_SYS_TIME % 32);
  const int word = CAP_SYS_TIME / 32;
  data[word].effective &= ~bit;
  data[word].permitted &= ~bit;
  data[word].inheritable &= ~bit;
  if (syscall(SYS_capset, &hdr, data) != 0) return false;
  memset(data, 0, sizeof data);
  if (syscall(SYS_capget, &hdr, data) != 0) return false;
  return (data[word].effective & bit) == 0;
}

TEST_F(Clock, SetUtcWithoutPrivilegeFailsAndStillReArms) {
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    // Never try the real call unless the privilege is surely gone; even then ask only for the
    // time it already is.
    if (!drop_sys_time()) _exit(10);
    m_set_real = true;
    osl_get_ms();
    osl_get_ms64();
    osl_get_us();
    usleep(20000);
    if (osl_get_us() == 0) _exit(11);  // baseline was taken
    errno = 0;
    if (osl_set_utc_us(osl_get_utc_us()) != -1) _exit(12);
    if (errno != EPERM) _exit(13);
    if (osl_get_ms() != 0 || osl_get_ms64() != 0 || osl_get_us() != 0) _exit(14);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

class TimeZone : public ::testing::Test {
 protected:
  // Puts a zone in TZ behind the layer's back, with the cached zone cleared first.
  static void use_tz(const char *tz) {
    osl_set_time_zone(0);
    setenv("TZ", tz, 1);
    tzset();
  }

 private:
  osltest::SavedTz saved_tz_;
};

TEST_F(TimeZone, SetWritesInvertedPosixSignAndGetReadsItBack) {
  struct Case {
    int32_t zone;
    const char *text;
  } cases[] = {
      {8, "GMT-8"}, {0, "GMT+0"}, {-5, "GMT+5"}, {10, "GMT-10"}, {-1, "GMT+1"}, {-12, "GMT+12"},
      {14, "GMT-14"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(osl_set_time_zone(c.zone), 0);
    ASSERT_NE(getenv("TZ"), nullptr);
    EXPECT_STREQ(getenv("TZ"), c.text);
    EXPECT_EQ(osl_get_time_zone(), c.zone);
    EXPECT_EQ(osl_get_time_zone(), c.zone);  // cached or, for -1, recomputed alike
  }
}

TEST_F(TimeZone, OffsetIsWholeStandardHoursCutTowardZero) {
  struct Case {
    const char *tz;
    int32_t zone;
  } cases[] = {
      {"IST-5:30", 5},
      {"NST+3:30", -3},
      {"UTC0", 0},
      // With daylight-saving rules the standard offset comes back in summer and winter alike.
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1},
      {"EST5EDT,M3.2.0,M11.1.0", -5},
      {"AAA-1BBB,J1,J365", 1},  // daylight-saving time all year
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.tz);
    use_tz(c.tz);
    EXPECT_EQ(osl_get_time_zone(), c.zone);
  }
}

TEST_F(TimeZone, OffsetIsCachedUntilSetAgain) {
  ASSERT_EQ(osl_set_time_zone(8), 0);
  EXPECT_EQ(osl_get_time_zone(), 8);
  setenv("TZ", "GMT+5", 1);
  tzset();
  EXPECT_EQ(osl_get_time_zone(), 8);
  ASSERT_EQ(osl_set_time_zone(-5), 0);
  EXPECT_EQ(osl_get_time_zone(), -5);
}

TEST_F(TimeZone, LocalTimeConversions) {
  ASSERT_EQ(osl_set_time_zone(8), 0);
  uint32_t utc = 0;
  struct tm *tm = osl_localtime(&utc);
  ASSERT_NE(tm, nullptr);
  EXPECT_EQ(tm->tm_year, 70);
  EXPECT_EQ(tm->tm_mday, 1);
  EXPECT_EQ(tm->tm_hour, 8);
  EXPECT_EQ(osl_localtime(nullptr), nullptr);

  // 2^31 seconds: after 2038 on every target, the board included.
  ASSERT_EQ(osl_set_time_zone(0), 0);
  utc = 2147483648u;
  tm = osl_localtime(&utc);
  ASSERT_NE(tm, nullptr);
  EXPECT_EQ(tm->tm_year, 138);  // 2038-01-19 03:14:08
  EXPECT_EQ(tm->tm_hour, 3);

  // The local round trip gives back UTC seconds, in zones with and without daylight saving.
  for (const char *tz : {"GMT-8", "GMT+5", "CET-1CEST,M3.5.0,M10.5.0/3", "AAA-1BBB,J1,J365"}) {
    SCOPED_TRACE(tz);
    use_tz(tz);
    bool compared = false;
    for (int i = 0; i < 5 && !compared; ++i) {
      const uint32_t before = osl_get_utc();
      const uint32_t ltc = osl_get_ltc();
      if (osl_get_utc() != before) continue;  // a second boundary fell between
      EXPECT_EQ(ltc, before);
      compared = true;
    }
    EXPECT_TRUE(compared);
  }
}

TEST_F(TimeZone, TimeStringIsAsctimeOfLocalTime) {
  ASSERT_EQ(osl_set_time_zone(-5), 0);
  for (int i = 0; i < 5; ++i) {
    const time_t before = time(nullptr);
    const char *text = osl_get_time_string();
    ASSERT_NE(text, nullptr);
    const std::string got(text);
    if (time(nullptr) != before) continue;
    ASSERT_EQ(got.size(), 25u);
    EXPECT_EQ(got.back(), '\n');
    struct tm tm;
    const time_t local = before - 5 * 3600;
    gmtime_r(&local, &tm);
    char want[64];
    strftime(want, sizeof want, "%a %b %e %H:%M:%S %Y\n", &tm);
    EXPECT_EQ(got, want);
    return;
  }
  FAIL() << "no two readings in the same second";
}
