// Clocks and the time zone: the monotonic clock, three relative clocks over the wall clock, UTC
// readings, setting the system clock, local-time conversions and the cached whole-hour zone.
#include "osl.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "osl_sys.h"

namespace {

// A relative clock: its baseline in microseconds since 1970, and a flag that, while set, makes
// the next reading take its own moment as the new baseline. Shared by all threads without a
// lock. A first reading stores the baseline before it clears the flag (release), and a reading
// that finds the flag clear (acquire) therefore sees that baseline or a later one, never the
// zero of load time. Racing first readings each store about the same moment.
struct RelativeClock {
  std::atomic<int32_t> first;
  std::atomic<int64_t> start_us;
};
static_assert(std::atomic<int64_t>::is_always_lock_free &&
                  std::atomic<int32_t>::is_always_lock_free,
              "the relative clocks must stay lock-free");

RelativeClock m_ms_clock{{1}, {0}};
RelativeClock m_ms64_clock{{1}, {0}};
RelativeClock m_us_clock{{1}, {0}};

constexpr int64_t kUsPerSec = 1000000;

// Cached offset in whole hours east of UTC; -1 means not yet known (so a host at exactly UTC-1
// recomputes it every time, with the same result).
std::atomic<int32_t> m_time_zone{-1};

// The wall clock into *now; false, with *now untouched, when it cannot be read.
inline bool wall_now(struct timeval *now) { return gettimeofday(now, nullptr) == 0; }

// time(), or false when it fails (its -1 would read as 2106-02-07 in uint32_t seconds).
inline bool time_now(time_t *now) {
  *now = time(nullptr);
  return *now != static_cast<time_t>(-1);
}

// Reads the wall clock for clock into *now. Returns false when there is nothing to count: the
// reading became the new baseline, or the clock could not be read (a clock that is still armed
// stays armed). Otherwise true, with the baseline to count from in *base. The baseline is
// loaded before the clock is read, so a baseline that another thread stores meanwhile can never
// lie after the reading and turn the count negative.
bool read_clock(RelativeClock &clock, struct timeval *now, struct timeval *base) {
  if (clock.first.load(std::memory_order_acquire) != 0) {
    if (!wall_now(now)) return false;
    clock.start_us.store(static_cast<int64_t>(now->tv_sec) * kUsPerSec + now->tv_usec,
                         std::memory_order_release);
    clock.first.store(0, std::memory_order_release);
    return false;
  }
  const int64_t us = clock.start_us.load(std::memory_order_acquire);
  if (!wall_now(now)) return false;
  // Floor division, so a baseline before 1970 keeps its microseconds in 0..999999.
  int64_t sec = us / kUsPerSec;
  int64_t rem = us % kUsPerSec;
  if (rem < 0) {
    rem += kUsPerSec;
    --sec;
  }
  base->tv_sec = static_cast<time_t>(sec);
  base->tv_usec = static_cast<suseconds_t>(rem);
  return true;
}

void rearm(RelativeClock &clock) { clock.first.store(1, std::memory_order_release); }

}  // namespace

// The log's entry point to the millisecond clock (declared in its private header, the one caller):
// exactly what a call of osl_get_ms whose reading is thrown away does, at the cost of one flag load
// when the clock already counts.
namespace osl_clock {
void start_ms(void) {
  // A clear flag means a baseline is stored and a reading would change nothing.
  if (m_ms_clock.first.load(std::memory_order_acquire) != 0) (void)osl_get_ms();
}
}  // namespace osl_clock

extern "C" {

uint64_t osl_get_mono_ms(void) {
  const int64_t ms = osl_sys::mono_ms();
  return ms < 0 ? 0 : static_cast<uint64_t>(ms);
}

void osl_usleep(int32_t us) {
  (void)usleep(static_cast<useconds_t>(us < 0 ? 0 : us));
}

uint32_t osl_get_ms(void) {
  struct timeval now;
  struct timeval start;
  if (!read_clock(m_ms_clock, &now, &start)) return 0;
  // Unsigned 32-bit throughout so the count wraps modulo 2^32; each reading is cut to whole
  // milliseconds before the subtraction.
  const uint32_t secs = static_cast<uint32_t>(now.tv_sec) - static_cast<uint32_t>(start.tv_sec);
  return secs * 1000u + static_cast<uint32_t>(now.tv_usec / 1000) -
         static_cast<uint32_t>(start.tv_usec / 1000);
}

uint64_t osl_get_ms64(void) {
  struct timeval now;
  struct timeval start;
  if (!read_clock(m_ms64_clock, &now, &start)) return 0;
  const int64_t ms =
      (static_cast<int64_t>(now.tv_sec) - static_cast<int64_t>(start.tv_sec)) * 1000 +
      static_cast<int64_t>(now.tv_usec / 1000) - static_cast<int64_t>(start.tv_usec / 1000);
  return static_cast<uint64_t>(ms);
}

uint64_t osl_get_us(void) {
  struct timeval now;
  struct timeval start;
  if (!read_clock(m_us_clock, &now, &start)) return 0;
  const int64_t us =
      (static_cast<int64_t>(now.tv_sec) - static_cast<int64_t>(start.tv_sec)) * 1000000 +
      (static_cast<int64_t>(now.tv_usec) - static_cast<int64_t>(start.tv_usec));
  return static_cast<uint64_t>(us);
}

void osl_reset(void) {
  rearm(m_ms_clock);
  rearm(m_ms64_clock);
  rearm(m_us_clock);
}

uint32_t osl_get_utc(void) {
  time_t now;
  return time_now(&now) ? static_cast<uint32_t>(now) : 0;
}

int64_t osl_get_utc_ms(void) {
  struct timeval now;
  if (!wall_now(&now)) return 0;
  return static_cast<int64_t>(now.tv_sec) * 1000 + static_cast<int64_t>(now.tv_usec / 1000);
}

uint64_t osl_get_utc_us(void) {
  struct timeval now;
  if (!wall_now(&now)) return 0;
  return static_cast<uint64_t>(static_cast<int64_t>(now.tv_sec) * 1000000 +
                               static_cast<int64_t>(now.tv_usec));
}

int32_t osl_set_utc_us(uint64_t utc_us) {
  const uint64_t secs = utc_us / 1000000u;
  struct timeval tv;
  tv.tv_usec = static_cast<suseconds_t>(utc_us % 1000000u);
  // Re-arm before the clock moves, whether or not it does.
  osl_reset();
  // Any uint64_t microseconds fit: time_t is 64 bits on every target.
  tv.tv_sec = static_cast<time_t>(secs);
  return settimeofday(&tv, nullptr) == 0 ? 0 : -1;
}

uint32_t osl_get_ltc(void) {
  time_t now;
  struct tm tm;
  if (!time_now(&now) || osl_sys::local_of(now, &tm) == nullptr) return 0;
  return static_cast<uint32_t>(mktime(&tm));
}

int32_t osl_get_time_zone(void) {
  int32_t zone = m_time_zone.load(std::memory_order_relaxed);
  if (zone != -1) return zone;
  time_t now;
  struct tm utc;
  if (!time_now(&now) || gmtime_r(&now, &utc) == nullptr) {
    zone = 8;
  } else {
    // The UTC break-down carries tm_isdst 0, so mktime reads it as standard time and the
    // offset is the zone's standard one. Signed division cuts toward zero (UTC+5:30 gives 5).
    const time_t tmp = mktime(&utc);
    zone = static_cast<int32_t>((now - tmp) / 3600);
  }
  m_time_zone.store(zone, std::memory_order_relaxed);
  return zone;
}

int32_t osl_set_time_zone(int32_t time_zone) {
  char tzstr[32];
  memset(tzstr, 0, sizeof tzstr);
  // POSIX TZ counts hours west of UTC: GMT-8 is eight hours east.
  const int64_t tzhour = -static_cast<int64_t>(time_zone);
  snprintf(tzstr, sizeof tzstr, "GMT%+02lld", static_cast<long long>(tzhour));
  const int32_t rc = setenv("TZ", tzstr, 1) == 0 ? 0 : -1;
  tzset();
  m_time_zone.store(-1, std::memory_order_relaxed);
  return rc;
}

struct tm *osl_localtime(const uint32_t *utc) {
  if (utc == nullptr) return nullptr;
  const time_t t = static_cast<time_t>(*utc);
  return localtime(&t);
}

char *osl_get_time_string(void) {
  time_t now;
  struct tm tm;
  if (!time_now(&now) || osl_sys::local_of(now, &tm) == nullptr) return nullptr;
  return asctime(&tm);
}

}  // extern "C"
