// Helpers shared by several modules of the layer: ASCII classes, hexadecimal digits and the
// local-time breakdown. Private to the layer: never installed, never included by a public
// header. Locale-free on purpose: the layer parses protocol and board text, where <ctype.h>'s
// answers would depend on the process's locale and on the sign of char.
#ifndef OSL_UTIL_H
#define OSL_UTIL_H

#include <stdint.h>
#include <time.h>

namespace osl_util {

// Upper-case hexadecimal digits, as escapes and dumps write them.
constexpr char kHexDigits[] = "0123456789ABCDEF";

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }
constexpr bool is_alpha(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool is_alnum(int c) { return is_digit(c) || is_alpha(c); }

// 0-15 for a hexadecimal digit in either case, -1 for any other byte.
constexpr int32_t hex_value(int c) {
  return is_digit(c)               ? c - '0'
         : (c >= 'a' && c <= 'f') ? c - 'a' + 10
         : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                  : -1;
}
constexpr bool is_xdigit(int c) { return hex_value(c) >= 0; }

static_assert(sizeof(time_t) == 8,
              "build with _TIME_BITS=64: dates past 2038 must work on the 32-bit board too");

// localtime of t into *out; tzset first so that a TZ changed by setenv alone is seen, as
// localtime itself would. The process-wide record of localtime is left untouched. Null when t
// cannot be broken down.
inline struct tm *local_of(time_t t, struct tm *out) {
  tzset();
  return localtime_r(&t, out);
}

}  // namespace osl_util

#endif  // OSL_UTIL_H
