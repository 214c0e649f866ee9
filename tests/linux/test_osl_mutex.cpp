// Timed mutex: error checking, the polling lock's time-out (bounded generously), contention, and
// waits that keep their own time while the wall clock jumps: this program's own wall clock, an
// offset over the real one that stand-ins for gettimeofday and settimeofday move.
#include <errno.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "osl.h"
#include "osl_mutex.h"
#include "test_util.h"

namespace {

// The wall clock of this program: the real one plus m_offset_us.
std::atomic<int64_t> m_offset_us{0};
constexpr int64_t kUs = 1000000;

int64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

class Mutex : public ::testing::Test {
 protected:
  void SetUp() override {
    m_offset_us = 0;
    m_ = osl_mutex_create();
    ASSERT_NE(m_, nullptr);
  }
  void TearDown() override {
    m_offset_us = 0;
    osl_reset();
    osl_mutex_destroy(m_);
  }
  void *m_ = nullptr;
};

// Holds a mutex on its own thread until released.
class Holder {
 public:
  explicit Holder(void *m) : thread_([this, m] {
      held_ = osl_mutex_lock(m, -1) == 0;
      taken_ = true;
      while (!release_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      osl_mutex_unlock(m);
    }) {
    while (!taken_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Holder() {
    if (releaser_.joinable()) releaser_.join();
    release_ = true;
    thread_.join();
  }
  bool held() const { return held_; }
  void release_after(int ms) {
    releaser_ = std::thread([this, ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      release_ = true;
    });
  }

 private:
  std::atomic<bool> taken_{false}, release_{false}, held_{false};
  std::thread thread_, releaser_;
};

}  // namespace

extern "C" int gettimeofday(struct timeval *__restrict tv, void *__restrict tz) noexcept {
  (void)tz;
  osltest::real_gettimeofday(tv);
  const int64_t us = static_cast<int64_t>(tv->tv_sec) * kUs + tv->tv_usec + m_offset_us;
  tv->tv_sec = static_cast<time_t>(us / kUs);
  tv->tv_usec = static_cast<suseconds_t>(us % kUs);
  return 0;
}

// Setting the time moves this program's wall clock only.
extern "C" int settimeofday(const struct timeval *tv, const struct timezone *) noexcept {
  struct timeval real;
  osltest::real_gettimeofday(&real);
  m_offset_us = (static_cast<int64_t>(tv->tv_sec) - real.tv_sec) * kUs + tv->tv_usec - real.tv_usec;
  return 0;
}

TEST_F(Mutex, ErrorCheckingLockAndZeroTimeout) {
  EXPECT_EQ(osl_mutex_lock(m_, 0), -1);  // never tries, even when free
  EXPECT_EQ(osl_mutex_lock(m_, -1), 0);
  EXPECT_EQ(osl_mutex_lock(m_, -1), EDEADLK);  // the holder again: an error, not a hang
  osl_mutex_unlock(m_);
  EXPECT_EQ(osl_mutex_lock(m_, 50), 0);
  osl_mutex_unlock(m_);
  EXPECT_EQ(osl_mutex_lock(m_, -1), 0);
  osl_mutex_unlock(m_);
}

TEST_F(Mutex, NullHandle) {
  EXPECT_EQ(osl_mutex_lock(nullptr, -1), -1);
  EXPECT_EQ(osl_mutex_lock(nullptr, 0), -1);
  EXPECT_EQ(osl_mutex_lock(nullptr, 10), -1);
  osl_mutex_unlock(nullptr);
  osl_mutex_destroy(nullptr);
}

TEST_F(Mutex, TimedLockGivesUpWhileHeldElsewhere) {
  Holder holder(m_);
  ASSERT_TRUE(holder.held());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(osl_mutex_lock(m_, 50), -1);
  const int64_t took = elapsed_ms(t0);
  EXPECT_GE(took, 40);
  EXPECT_LT(took, 2000);
}

TEST_F(Mutex, TimedLockTakesMutexWhenReleased) {
  Holder holder(m_);
  ASSERT_TRUE(holder.held());
  holder.release_after(20);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(osl_mutex_lock(m_, 10000), 0);
  EXPECT_LT(elapsed_ms(t0), 5000);
  osl_mutex_unlock(m_);
}

TEST_F(Mutex, HolderTimesOutOnItself) {
  ASSERT_EQ(osl_mutex_lock(m_, -1), 0);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(osl_mutex_lock(m_, 50), -1);
  const int64_t took = elapsed_ms(t0);
  EXPECT_GE(took, 40);
  EXPECT_LT(took, 2000);
  osl_mutex_unlock(m_);
}

TEST_F(Mutex, FirstClockUseInsideTheLockStillWaits) {
  Holder holder(m_);
  ASSERT_TRUE(holder.held());
  osl_reset();  // the lock's first reading sets the baseline: start is 0
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(osl_mutex_lock(m_, 100), -1);
  const int64_t took = elapsed_ms(t0);
  EXPECT_GE(took, 90);
  EXPECT_LT(took, 2000);
}

TEST_F(Mutex, UnlockByNonHolderIsRefused) {
  ASSERT_EQ(osl_mutex_lock(m_, -1), 0);
  int32_t other = 0;
  std::thread t([&] {
    osl_mutex_unlock(m_);
    other = osl_mutex_lock(m_, 20);
  });
  t.join();
  EXPECT_EQ(other, -1);
  EXPECT_EQ(osl_mutex_lock(m_, -1), EDEADLK);  // still ours
  osl_mutex_unlock(m_);
}

TEST_F(Mutex, SerialisesThreads) {
  const int threads = 4, rounds = 2000;
  int64_t counter = 0;
  std::atomic<int> failures{0};
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) {
    // Half the threads wait without limit, half poll with a long time-out.
    const int32_t timeout = (i % 2 == 0) ? -1 : 60000;
    pool.emplace_back([&, timeout] {
      for (int r = 0; r < rounds; ++r) {
        if (osl_mutex_lock(m_, timeout) != 0) {
          ++failures;
          continue;
        }
        const int64_t seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
        osl_mutex_unlock(m_);
      }
    });
  }
  for (std::thread &t : pool) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(counter, int64_t{threads} * rounds);
}

TEST_F(Mutex, FreeMutexIsTakenWhenTheMillisecondClockIsAboutToWrap) {
  // A baseline, then the wall clock 10 ms short of the 32-bit wrap of osl_get_ms.
  osl_reset();
  ASSERT_EQ(osl_get_ms(), 0u);
  m_offset_us += INT64_C(4294967286) * 1000;
  for (int32_t timeout : {50, INT32_MAX}) {
    EXPECT_EQ(osl_mutex_lock(m_, timeout), 0) << timeout;
    osl_mutex_unlock(m_);
  }
}

TEST_F(Mutex, WallClockJumpsNeitherEndNorStretchAWait) {
  const auto set_by = [](int64_t s) { osl_set_utc_us(osl_get_utc_us() + s * kUs); };
  const struct {
    const char *what;
    std::function<void()> jump;  // 20 ms into the wait
    int release_ms;
    int32_t timeout, want;
  } rows[] = {
      {"synced +54 years", [&] { set_by(INT64_C(1704085200)); }, 100, 2000, 0},
      {"set back a day", [&] { set_by(-86400); }, 100, 2000, 0},
      {"clocks re-armed", osl_reset, 100, 2000, 0},
      {"stepped back an hour, not by the layer", [] { m_offset_us -= 3600 * kUs; }, 100, 2000, 0},
      {"set back, held past the limit", [&] { set_by(-86400); }, 1500, 200, -1},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    // The layer's millisecond clock has counted for a second when the wait starts.
    m_offset_us = 0;
    osl_reset();
    osl_get_ms();
    m_offset_us = kUs;
    Holder holder(m_);
    ASSERT_TRUE(holder.held());
    holder.release_after(row.release_ms);
    std::thread jump([&row] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      row.jump();
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(osl_mutex_lock(m_, row.timeout), row.want);
    const int64_t took = elapsed_ms(t0);
    jump.join();
    EXPECT_TRUE(row.want == 0 || took >= row.timeout - 10) << took;  // a failed wait lasts
    if (row.want == 0) osl_mutex_unlock(m_);
  }
}
