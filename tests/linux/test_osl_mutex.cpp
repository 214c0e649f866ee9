// Timed mutex: error checking, the polling lock's time-out (bounded generously), contention, and
// the wrap and set-back cases of the millisecond clock, driven through a stand-in gettimeofday
// defined in this program.
#include <errno.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "osl.h"
#include "osl_mutex.h"
#include "test_util.h"

namespace {

// Stand-in clock: while m_script_len > 0, call n of gettimeofday returns m_base_sec plus
// m_script_ms[n] milliseconds (the last entry repeats); otherwise the real time.
std::atomic<int> m_script_len{0};
std::atomic<int> m_calls{0};
const int64_t m_base_sec = 1000000;
int64_t m_script_ms[8];

void script(std::initializer_list<int64_t> ms) {
  int n = 0;
  for (int64_t v : ms) m_script_ms[n++] = v;
  m_calls = 0;
  m_script_len = n;
}

int64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

class Mutex : public ::testing::Test {
 protected:
  void SetUp() override {
    m_script_len = 0;
    m_ = osl_mutex_create();
    ASSERT_NE(m_, nullptr);
  }
  void TearDown() override {
    m_script_len = 0;
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
  const int len = m_script_len;
  if (len > 0) {
    int n = m_calls++;
    if (n >= len) n = len - 1;
    const int64_t ms = m_script_ms[n];
    tv->tv_sec = static_cast<time_t>(m_base_sec + ms / 1000);
    tv->tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return 0;
  }
  return osltest::real_gettimeofday(tv);
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

TEST_F(Mutex, DeadlineThatWrapsEndsAtOnce) {
  // Baseline, then a clock 10 ms short of wrapping: start + 50 wraps below now, so the free
  // mutex is not even tried.
  osl_reset();
  script({0, 4294967286, 4294967287, 4294967288});
  ASSERT_EQ(osl_get_ms(), 0u);
  EXPECT_EQ(osl_mutex_lock(m_, 50), -1);
  m_script_len = 0;
  EXPECT_EQ(osl_mutex_lock(m_, -1), 0);  // it was left free
  osl_mutex_unlock(m_);
}

TEST_F(Mutex, ClockGoingBackEndsTheWait) {
  ASSERT_EQ(osl_mutex_lock(m_, -1), 0);  // busy for trylock
  osl_reset();
  // Baseline, start at 100 ms, then the clock is set back to 50 ms; should the wait go on
  // regardless, the script ends it later at 100 s.
  script({0, 100, 50, 50, 50, 50, 50, 100000});
  ASSERT_EQ(osl_get_ms(), 0u);
  EXPECT_EQ(osl_mutex_lock(m_, 60000), -1);
  EXPECT_EQ(m_calls.load(), 3);  // baseline, start, the one reading that went back
  m_script_len = 0;
  osl_mutex_unlock(m_);
}
