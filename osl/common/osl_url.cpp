// URL layout (offsets and lengths into the caller's text, nothing copied), query parameter
// lookup and the HTTP header form of the line value lookup.
#include "osl_url.h"

#include <limits.h>
#include <string.h>

#include "osl_string.h"
#include "osl_sys.h"

namespace {

// Room the numeric parameter readers give a value: 63 bytes and the terminator.
constexpr int32_t kNumericRoom = 64;

inline int32_t offset_of(const char_t *base, const char_t *p) {
  return static_cast<int32_t>(p - base);
}

// Ends the authority at the delimiter at offset at: the port when a ":" followed a non-empty
// host, the host otherwise.
void close_authority(SUrlInfo *info, int32_t at) {
  if (info->hostname_len > 0) {
    info->hostport_len = at - info->hostport_pos;
  } else {
    info->hostname_len = at - info->hostname_pos;
  }
}

inline bool is_param_sep(char_t c) { return c == '?' || c == ';' || c == '&' || c == ','; }

inline bool ends_value(char_t c) {
  return c == '\0' || c == ';' || c == '&' || c == ',' || c == ' ';
}

// Decimal text as strtol reads it: leading white space, one sign, the digits up to the first
// other byte; a value beyond [lo, hi] gives the nearer bound.
int64_t leading_decimal(const char_t *text, int64_t lo, int64_t hi) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  const uint64_t max = negative ? 0u - static_cast<uint64_t>(lo) : static_cast<uint64_t>(hi);
  uint64_t v = 0;
  if (osl_sys::scan_digits(text, strlen(text), 10, max, &v) < 0) return negative ? lo : hi;
  return negative ? static_cast<int64_t>(0u - v) : static_cast<int64_t>(v);
}

// atoi as it behaves where long is 32 bits: a value beyond int32_t given as INT32_MAX or
// INT32_MIN. atoi itself keeps only the low 32 bits where long is 64 bits, so "2147483648"
// would read as -2147483648 there.
int32_t to_int32(const char_t *text) {
  return static_cast<int32_t>(leading_decimal(text, INT32_MIN, INT32_MAX));
}

// atol: strtol's reading, saturated at the bounds of long.
long to_long(const char_t *text) {
  return static_cast<long>(leading_decimal(text, LONG_MIN, LONG_MAX));
}

// Parameter name of url read as a number by convert, or missing when there is none. The value is
// cut to kNumericRoom - 1 bytes before it is read.
template <typename T, typename Convert>
T param_as(const char_t *url, const char_t *name, T missing, Convert convert) {
  char_t value[kNumericRoom];
  if (osl_url_get_param(url, name, value, kNumericRoom) == nullptr) return missing;
  return static_cast<T>(convert(value));
}

}  // namespace

extern "C" {

int32_t osl_url_parse(const char_t *url, SUrlInfo *info) {
  if (info != nullptr) memset(info, 0, sizeof *info);
  if (url == nullptr || info == nullptr) return -1;

  const char_t *cursor = url;
  const char_t *scheme_end = strstr(url, "://");
  if (scheme_end != nullptr) {
    cursor = scheme_end + 3;
    if (*cursor != '/') {
      // Authority: [user[:password]@]host[:port], ended only by "/" or the end of the text.
      info->hostname_pos = offset_of(url, cursor);
      for (;; ++cursor) {
        const char_t c = *cursor;
        const int32_t at = offset_of(url, cursor);
        if (c == '\0' || c == '/') {
          close_authority(info, at);
          break;
        }
        if (c == ':') {
          info->hostname_len = at - info->hostname_pos;
          info->hostport_pos = at + 1;
        } else if (c == '@') {
          close_authority(info, at);
          info->username_pos = info->hostname_pos;
          info->username_len = info->hostname_len;
          info->userpswd_pos = info->hostport_pos;
          info->userpswd_len = info->hostport_len;
          info->hostname_pos = at + 1;
          info->hostname_len = 0;
          info->hostport_pos = 0;
          info->hostport_len = 0;
        }
      }
    }
  }

  info->path_pos = offset_of(url, cursor);
  const char_t *p = cursor;
  while (*p != '\0' && *p != '?') ++p;
  info->path_len = offset_of(cursor, p);
  if (*p == '?') {
    info->param_pos = offset_of(url, p + 1);
    info->param_len = static_cast<int32_t>(strlen(p + 1));
  }
  return 0;
}

char_t *osl_url_get_param(const char_t *url, const char_t *name, char_t *value, int32_t valuesize) {
  // An empty name would match everywhere and never advance the search.
  if (url == nullptr || name == nullptr || *name == '\0') return nullptr;
  if (value == nullptr || valuesize < 1) return nullptr;
  const size_t namelen = strlen(name);
  const char_t *hit = strstr(url, name);
  while (hit != nullptr) {
    if ((hit == url || is_param_sep(hit[-1])) && hit[namelen] == '=') {
      const char_t *src = hit + namelen + 1;
      int32_t n = 0;
      while (n < valuesize - 1 && !ends_value(src[n])) {
        value[n] = src[n];
        ++n;
      }
      value[n] = '\0';
      return value;
    }
    hit = strstr(hit + namelen, name);
  }
  return nullptr;
}

int32_t osl_url_get_param_int(const char_t *url, const char_t *name) {
  return param_as<int32_t>(url, name, -1, to_int32);
}

long osl_url_get_param_long(const char_t *url, const char_t *name) {
  return param_as<long>(url, name, -1, to_long);
}

int64_t osl_url_get_param_int64(const char_t *url, const char_t *name) {
  return param_as<int64_t>(url, name, -1, osl_str_str2int64);
}

uint64_t osl_url_get_param_uint64(const char_t *url, const char_t *name) {
  return param_as<uint64_t>(url, name, 0, osl_str_str2uint64);
}

char_t *osl_url_getheadval(const char_t *buf, int32_t buflen, const char_t *name, char_t *value,
                           int32_t valuesize) {
  return osl_str_getval(buf, buflen, name, value, valuesize);
}

}  // extern "C"
