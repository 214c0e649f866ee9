// Date and time text: local-time formatters over localtime and the lenient date parser over
// mktime. No state of their own; the zone is the process's (TZ, see osl_set_time_zone).
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "osl_string.h"
#include "osl_sys.h"

namespace {

const char_t *const kWdayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Bytes that end a field of date text.
inline bool is_sep(char_t c) {
  return c == ' ' || c == '-' || c == ':' || c == '.' || c == '/';
}

// localtime of utc into *out, the process-wide record of localtime left untouched.
inline struct tm *local_of(uint32_t utc, struct tm *out) {
  return osl_sys::local_of(static_cast<time_t>(utc), out);
}

// A field as atoi reads it: leading white space, one sign, then the digits up to the first
// other byte. Nine bytes at most, so no value overflows.
int32_t field_value(const char_t *field, size_t len) {
  size_t i = 0;
  while (i < len && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
  const bool negative = i < len && field[i] == '-';
  if (i < len && (field[i] == '-' || field[i] == '+')) ++i;
  uint64_t v = 0;
  osl_sys::scan_digits(field + i, len - i, 10, UINT64_MAX, &v);
  return negative ? -static_cast<int32_t>(v) : static_cast<int32_t>(v);
}

inline size_t room(int32_t size) {
  return size > 0 ? static_cast<size_t>(size) : 0;
}

// The date-form formatters write an empty text when the time cannot be broken down.
inline char_t *clear(char_t *buf, int32_t size) {
  if (buf != nullptr && size > 0) buf[0] = '\0';
  return buf;
}

char_t *format_date(uint32_t utc, char_t *buf, int32_t size) {
  struct tm tm;
  if (buf == nullptr || local_of(utc, &tm) == nullptr) return clear(buf, size);
  snprintf(buf, room(size), "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

}  // namespace

extern "C" {

int32_t osl_str_time2str(uint32_t utc, char_t *buf, int32_t size) {
  struct tm tm;
  if (local_of(utc, &tm) == nullptr) return 0;
  // A null buf only measures, like snprintf with size 0.
  return snprintf(buf, buf == nullptr ? 0 : room(size), "%d-%d-%d %d:%d:%d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

char_t *osl_str_utc2date(uint32_t utc, char_t *buf, int32_t size) {
  return format_date(utc, buf, size);
}

char_t *osl_str_utc2date_wday(uint32_t utc, char_t *buf, int32_t size) {
  struct tm tm;
  if (buf == nullptr || local_of(utc, &tm) == nullptr) return clear(buf, size);
  const char_t *wday = (tm.tm_wday >= 0 && tm.tm_wday < 7) ? kWdayNames[tm.tm_wday] : "Na";
  snprintf(buf, room(size), "%04d-%02d-%02d%s %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, wday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

char_t *osl_get_strutc(char_t *buf, int32_t size) {
  // A clock that cannot be read gives no date, not the one of time()'s -1.
  const time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1)) return clear(buf, size);
  return format_date(static_cast<uint32_t>(now), buf, size);
}

uint32_t osl_str_str2time(const char_t *strtime, int32_t size) {
  if (strtime == nullptr) return 0;
  int32_t field[6] = {0, 0, 0, 0, 0, 0};
  // The range ends at size bytes or at a terminator, whichever comes first, so a size larger
  // than the text never reads past its end. Counted as an index: strtime + size may lie past the
  // top of a 32-bit address space (a stack text and INT32_MAX on the board) and wrap below it.
  const size_t end = size > 0 ? static_cast<size_t>(size) : 0;
  size_t i = 0;
  int32_t count = 0;
  while (count < 6 && i < end && strtime[i] != '\0') {
    while (i < end && strtime[i] != '\0' && is_sep(strtime[i])) ++i;
    const size_t start = i;
    while (i < end && strtime[i] != '\0' && !is_sep(strtime[i])) ++i;
    // A field of ten or more bytes is read as its first nine.
    size_t len = i - start;
    if (len > 9) len = 9;
    field[count++] = field_value(strtime + start, len);
  }
  struct tm tm;
  memset(&tm, 0, sizeof tm);  // tm_isdst 0: the text is read as standard time
  if (field[0] > 1900) tm.tm_year = field[0] - 1900;
  if (field[1] > 0) tm.tm_mon = field[1] - 1;
  tm.tm_mday = field[2];
  tm.tm_hour = field[3];
  tm.tm_min = field[4];
  tm.tm_sec = field[5];
  // The result is read back as the formatters read utc: a time that uint32_t cannot carry there
  // (before 1970 or after 2106 where time_t is 64 bits) would come back as another date, so it
  // fails like mktime does where time_t is 32 bits.
  const time_t t = mktime(&tm);
  const uint32_t utc = static_cast<uint32_t>(t);
  return static_cast<time_t>(utc) == t ? utc : UINT32_MAX;
}

uint32_t osl_str_date2utc(const char_t *date) {
  (void)date;
  return 0;
}

}  // extern "C"
