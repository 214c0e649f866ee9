// Clocks and the time zone: three relative clocks over the wall clock, UTC readings, setting the
// system clock, local-time conversions and the cached whole-hour zone.
#include "osl.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <limits>

namespace {

// Baselines of the relative clocks. A set flag means the next call of that clock takes its
// reading as the new baseline. Shared by all threads without a lock: racing first calls each
// store a reading of about the same moment.
int32_t ms_first = 1;
struct timeval ms_start;
int32_t ms64_first = 1;
struct timeval ms64_start;
int32_t us_first = 1;
struct timeval us_start;

// Cached offset in whole hours east of UTC; -1 means not yet known (so a host at exactly UTC-1
// recomputes it every time, with the same result).
time_t m_time_zone = -1;

inline struct timeval wall_now() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return now;
}

// localtime into the caller's record. tzset first so that a TZ changed by setenv alone is seen,
// as localtime would see it; the shared static record of localtime is left alone.
inline struct tm *local_of(time_t t, struct tm *out) {
  tzset();
  return localtime_r(&t, out);
}

}  // namespace

extern "C" {

void osl_usleep(int32_t us) {
  (void)usleep(static_cast<useconds_t>(us < 0 ? 0 : us));
}

uint32_t osl_get_ms(void) {
  const struct timeval now = wall_now();
  if (ms_first != 0) {
    ms_start = now;
    ms_first = 0;
    return 0;
  }
  // Unsigned 32-bit throughout so the count wraps modulo 2^32; each reading is cut to whole
  // milliseconds before the subtraction.
  const uint32_t secs = static_cast<uint32_t>(now.tv_sec) - static_cast<uint32_t>(ms_start.tv_sec);
  return secs * 1000u + static_cast<uint32_t>(now.tv_usec / 1000) -
         static_cast<uint32_t>(ms_start.tv_usec / 1000);
}

uint64_t osl_get_ms64(void) {
  const struct timeval now = wall_now();
  if (ms64_first != 0) {
    ms64_start = now;
    ms64_first = 0;
    return 0;
  }
  const int64_t ms = (static_cast<int64_t>(now.tv_sec) - static_cast<int64_t>(ms64_start.tv_sec)) * 1000 +
                     static_cast<int64_t>(now.tv_usec / 1000) -
                     static_cast<int64_t>(ms64_start.tv_usec / 1000);
  return static_cast<uint64_t>(ms);
}

uint64_t osl_get_us(void) {
  const struct timeval now = wall_now();
  if (us_first != 0) {
    us_start = now;
    us_first = 0;
    return 0;
  }
  const int64_t us = (static_cast<int64_t>(now.tv_sec) - static_cast<int64_t>(us_start.tv_sec)) * 1000000 +
                     (static_cast<int64_t>(now.tv_usec) - static_cast<int64_t>(us_start.tv_usec));
  return static_cast<uint64_t>(us);
}

void osl_reset(void) {
  ms_first = 1;
  ms64_first = 1;
  us_first = 1;
}

uint32_t osl_get_utc(void) {
  return static_cast<uint32_t>(time(nullptr));
}

int64_t osl_get_utc_ms(void) {
  const struct timeval now = wall_now();
  return static_cast<int64_t>(now.tv_sec) * 1000 + static_cast<int64_t>(now.tv_usec / 1000);
}

uint64_t osl_get_utc_us(void) {
  const struct timeval now = wall_now();
  return static_cast<uint64_t>(static_cast<int64_t>(now.tv_sec) * 1000000 +
                               static_cast<int64_t>(now.tv_usec));
}

int32_t osl_set_utc_us(uint64_t utc_us) {
  const uint64_t secs = utc_us / 1000000u;
  struct timeval tv;
  tv.tv_usec = static_cast<suseconds_t>(utc_us % 1000000u);
  // Re-arm before the clock moves, whether or not it does.
  osl_reset();
  // A 32-bit time_t cannot hold seconds past 2038; refuse rather than set a time in 1901.
  if (secs > static_cast<uint64_t>(std::numeric_limits<time_t>::max())) {
    errno = EOVERFLOW;
    return -1;
  }
  tv.tv_sec = static_cast<time_t>(secs);
  return settimeofday(&tv, nullptr) == 0 ? 0 : -1;
}

uint32_t osl_get_ltc(void) {
  struct tm tm;
  if (local_of(time(nullptr), &tm) == nullptr) return 0;
  return static_cast<uint32_t>(mktime(&tm));
}

int32_t osl_get_time_zone(void) {
  if (m_time_zone != -1) return static_cast<int32_t>(m_time_zone);
  const time_t now = time(nullptr);
  struct tm utc;
  if (gmtime_r(&now, &utc) == nullptr) {
    m_time_zone = 8;
  } else {
    // The UTC break-down carries tm_isdst 0, so mktime reads it as standard time and the
    // offset is the zone's standard one. Signed division cuts toward zero (UTC+5:30 gives 5).
    const time_t tmp = mktime(&utc);
    m_time_zone = (now - tmp) / 3600;
  }
  return static_cast<int32_t>(m_time_zone);
}

int32_t osl_set_time_zone(int32_t time_zone) {
  char tzstr[32];
  memset(tzstr, 0, sizeof tzstr);
  // POSIX TZ counts hours west of UTC: GMT-8 is eight hours east.
  const int64_t tzhour = -static_cast<int64_t>(time_zone);
  snprintf(tzstr, sizeof tzstr, "GMT%+02lld", static_cast<long long>(tzhour));
  const int32_t rc = setenv("TZ", tzstr, 1) == 0 ? 0 : -1;
  tzset();
  m_time_zone = -1;
  return rc;
}

struct tm *osl_localtime(uint32_t *utc) {
  if (utc == nullptr) return nullptr;
  const time_t t = static_cast<time_t>(*utc);
  return localtime(&t);
}

char *osl_get_time_string(void) {
  struct tm tm;
  if (local_of(time(nullptr), &tm) == nullptr) return nullptr;
  return asctime(&tm);
}

}  // extern "C"
