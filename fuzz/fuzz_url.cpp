// URL layout and query parameter lookup on arbitrary text: every part reported by
// osl_url_parse lies inside the text where the layout rules put it, and a parameter value
// comes from an accepted "name=" occurrence, cut to the room and terminated inside it.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "osl_string.h"
#include "osl_url.h"

namespace {

bool in_region(int32_t pos, int32_t len, int32_t total) {
  return pos >= 0 && len >= 0 && pos <= total && len <= total - pos;
}

bool region_lacks(const char *url, int32_t pos, int32_t len, const char *bytes) {
  for (int32_t i = pos; i < pos + len; ++i) {
    if (strchr(bytes, url[i]) != nullptr) return false;
  }
  return true;
}

void check_layout(char *url) {
  const int32_t total = static_cast<int32_t>(strlen(url));
  SUrlInfo info;
  memset(&info, 0x5A, sizeof info);
  FUZZ_CHECK(osl_url_parse(url, &info) == 0);

  FUZZ_CHECK(in_region(info.username_pos, info.username_len, total));
  FUZZ_CHECK(in_region(info.userpswd_pos, info.userpswd_len, total));
  FUZZ_CHECK(in_region(info.hostname_pos, info.hostname_len, total));
  FUZZ_CHECK(in_region(info.hostport_pos, info.hostport_len, total));
  FUZZ_CHECK(in_region(info.path_pos, info.path_len, total));
  FUZZ_CHECK(in_region(info.param_pos, info.param_len, total));

  // The path runs to the first "?" or the end; the query is everything after that "?".
  const int32_t path_end = info.path_pos + info.path_len;
  FUZZ_CHECK(region_lacks(url, info.path_pos, info.path_len, "?"));
  if (path_end < total) {
    FUZZ_CHECK(url[path_end] == '?');
    FUZZ_CHECK(info.param_pos == path_end + 1 && info.param_pos + info.param_len == total);
  } else {
    FUZZ_CHECK(info.param_pos == 0 && info.param_len == 0);
  }

  const char *scheme = strstr(url, "://");
  if (scheme == nullptr) {
    // No scheme: all path and query, no authority.
    FUZZ_CHECK(info.path_pos == 0);
    FUZZ_CHECK(info.hostname_len == 0 && info.hostport_len == 0 && info.username_len == 0 &&
               info.userpswd_len == 0);
    return;
  }
  const int32_t auth = static_cast<int32_t>(scheme - url) + 3;
  // The authority ends at the first "/" after the scheme, or at the end; the path starts there.
  const char *slash = strchr(url + auth, '/');
  const int32_t auth_end = slash != nullptr ? static_cast<int32_t>(slash - url) : total;
  FUZZ_CHECK(info.path_pos == auth_end);
  if (info.path_len > 0) FUZZ_CHECK(url[info.path_pos] == '/');
  // Host and port lie inside the authority, after the last "@", and hold no "/" or "@".
  const char *last_at = nullptr;
  for (int32_t i = auth; i < auth_end; ++i) {
    if (url[i] == '@') last_at = url + i;
  }
  const int32_t host_start = last_at != nullptr ? static_cast<int32_t>(last_at - url) + 1 : auth;
  if (auth_end > auth) FUZZ_CHECK(info.hostname_pos == host_start);
  FUZZ_CHECK(info.hostname_pos + info.hostname_len <= auth_end);
  FUZZ_CHECK(region_lacks(url, info.hostname_pos, info.hostname_len, "/@"));
  if (info.hostport_len > 0) {
    FUZZ_CHECK(info.hostport_pos > info.hostname_pos + info.hostname_len);
    FUZZ_CHECK(url[info.hostport_pos - 1] == ':');
    FUZZ_CHECK(info.hostport_pos + info.hostport_len == auth_end);
    FUZZ_CHECK(region_lacks(url, info.hostport_pos, info.hostport_len, "/@:"));
  }
  // User information, when present, lies before the last "@".
  if (info.username_len > 0 || info.userpswd_len > 0) FUZZ_CHECK(last_at != nullptr);
  if (info.username_len > 0) {
    FUZZ_CHECK(info.username_pos >= auth);
    FUZZ_CHECK(info.username_pos + info.username_len < host_start);
    FUZZ_CHECK(region_lacks(url, info.username_pos, info.username_len, "/@"));
  }
  if (info.userpswd_len > 0) {
    FUZZ_CHECK(info.userpswd_pos > auth && url[info.userpswd_pos - 1] == ':');
    FUZZ_CHECK(info.userpswd_pos + info.userpswd_len < host_start);
    FUZZ_CHECK(url[info.userpswd_pos + info.userpswd_len] == '@');
  }
}

bool is_param_sep(char c) { return c == '?' || c == ';' || c == '&' || c == ','; }
bool ends_value(char c) { return c == '\0' || c == ';' || c == '&' || c == ',' || c == ' '; }

void check_param(char *url, char *name, int32_t room) {
  const size_t namelen = strlen(name);
  // The value buffer has exactly `room` bytes followed by a guard.
  std::vector<char> value(static_cast<size_t>(room) + 16, static_cast<char>(FUZZ_GUARD_BYTE));
  char *got = osl_url_get_param(url, name, value.data(), room);
  for (size_t i = static_cast<size_t>(room); i < value.size(); ++i) {
    FUZZ_CHECK(static_cast<unsigned char>(value[i]) == FUZZ_GUARD_BYTE);
  }
  if (got == nullptr) {
    for (int32_t i = 0; i < room; ++i) {
      FUZZ_CHECK(static_cast<unsigned char>(value[i]) == FUZZ_GUARD_BYTE);  // untouched
    }
  } else {
    FUZZ_CHECK(got == value.data());
    FUZZ_CHECK(namelen > 0 && room >= 1);
    const size_t vlen = strnlen(got, static_cast<size_t>(room));
    FUZZ_CHECK(vlen < static_cast<size_t>(room));  // terminated inside the room
  }

  // Where no overlapping occurrence can hide an accepted one (the name holds no separator),
  // the answer is the first occurrence at the start or after a separator, followed by "=".
  bool simple = namelen > 0 && room >= 1;
  for (size_t i = 0; i < namelen; ++i) {
    if (is_param_sep(name[i])) simple = false;
  }
  if (!simple) return;
  const char *expect = nullptr;
  for (const char *hit = strstr(url, name); hit != nullptr; hit = strstr(hit + 1, name)) {
    if ((hit == url || is_param_sep(hit[-1])) && hit[namelen] == '=') {
      expect = hit + namelen + 1;
      break;
    }
  }
  FUZZ_CHECK((got != nullptr) == (expect != nullptr));
  if (got == nullptr) return;
  size_t n = 0;
  while (n < static_cast<size_t>(room) - 1 && !ends_value(expect[n])) ++n;
  FUZZ_CHECK(strlen(got) == n && memcmp(got, expect, n) == 0);

  // The numeric forms read the same value with 64 bytes of room.
  char numeric[64];
  char *v = osl_url_get_param(url, name, numeric, sizeof numeric);
  FUZZ_CHECK(v != nullptr);
  FUZZ_CHECK(osl_url_get_param_int64(url, name) == osl_str_str2int64(numeric));
  FUZZ_CHECK(osl_url_get_param_uint64(url, name) == osl_str_str2uint64(numeric));
  // The int form is atoi where long is 32 bits: saturated, never cut to the low 32 bits.
  const long wide = atol(numeric);
  int32_t narrow = static_cast<int32_t>(wide);
  if (wide > INT32_MAX) narrow = INT32_MAX;
  if (wide < INT32_MIN) narrow = INT32_MIN;
  FUZZ_CHECK(osl_url_get_param_int(url, name) == narrow);
  FUZZ_CHECK(osl_url_get_param_long(url, name) == wide);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int32_t room = fdp.ConsumeIntegralInRange<int32_t>(1, 80);
  std::string name = fdp.ConsumeRandomLengthString(16);
  std::string text = fdp.ConsumeRemainingBytesAsString();

  // Exact-size copies, so that any read past a terminator is an out-of-bounds read.
  std::vector<char> url(text.c_str(), text.c_str() + text.size() + 1);
  check_layout(url.data());
  std::vector<char> nm(name.c_str(), name.c_str() + name.size() + 1);
  check_param(url.data(), nm.data(), room);
  // Absent parameters give the documented defaults.
  char scratch[64];
  if (osl_url_get_param(url.data(), nm.data(), scratch, sizeof scratch) == nullptr) {
    FUZZ_CHECK(osl_url_get_param_int(url.data(), nm.data()) == -1);
    FUZZ_CHECK(osl_url_get_param_long(url.data(), nm.data()) == -1);
    FUZZ_CHECK(osl_url_get_param_int64(url.data(), nm.data()) == -1);
    FUZZ_CHECK(osl_url_get_param_uint64(url.data(), nm.data()) == 0);
  }
  return 0;
}
