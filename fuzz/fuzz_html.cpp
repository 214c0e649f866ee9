// HTML escaping of arbitrary bytes: with enough room the output unescapes to the input and
// holds no raw markup character; with any room it is the longest whole-item prefix of that
// output that fits with its terminator, and nothing is written past the room.
#include <fuzzer/FuzzedDataProvider.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "osl_log.h"
#include "osl_string.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Let the debug messages be formatted (the empty target then discards them), so that the
  // escaping's own log lines are exercised too.
  osl_log_set_level(OSL_LOG_ALL);
  return 0;
}

namespace {

const char *entity(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    default: return nullptr;
  }
}

// Turns the four entities back into their characters; false on a bare "&" or markup byte.
bool unescape(const char *p, size_t n, std::string *out) {
  static const char *const names[] = {"&amp;", "&lt;", "&gt;", "&quot;"};
  static const char chars[] = {'&', '<', '>', '"'};
  for (size_t i = 0; i < n;) {
    if (p[i] == '<' || p[i] == '>' || p[i] == '"') return false;
    if (p[i] != '&') {
      out->push_back(p[i++]);
      continue;
    }
    size_t k = 0;
    while (k < 4 && strncmp(p + i, names[k], strlen(names[k])) != 0) ++k;
    if (k == 4 || i + strlen(names[k]) > n) return false;
    out->push_back(chars[k]);
    i += strlen(names[k]);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int32_t room = fdp.ConsumeIntegralInRange<int32_t>(1, 64);
  std::vector<char> src = fdp.ConsumeRemainingBytes<char>();
  const int32_t n = static_cast<int32_t>(src.size());
  if (n == 0) {
    // Bad arguments leave dst untouched.
    char dst[4] = {'x', 'y', 'z', '\0'};
    osl_str_html_escape("abc", 0, dst, sizeof dst);
    FUZZ_CHECK(memcmp(dst, "xyz", 4) == 0);
    return 0;
  }
  // Item boundaries of the full output: after each input byte.
  std::vector<size_t> ends;
  size_t total = 0;
  for (char c : src) {
    const char *e = entity(c);
    total += e != nullptr ? strlen(e) : 1;
    ends.push_back(total);
  }

  std::vector<char> full(6 * src.size() + 1 + 16, static_cast<char>(FUZZ_GUARD_BYTE));
  osl_str_html_escape(src.data(), n, full.data(), static_cast<int32_t>(6 * src.size() + 1));
  for (size_t i = 6 * src.size() + 1; i < full.size(); ++i) {
    FUZZ_CHECK(static_cast<unsigned char>(full[i]) == FUZZ_GUARD_BYTE);
  }
  FUZZ_CHECK(full[total] == '\0');
  std::string back;
  FUZZ_CHECK(unescape(full.data(), total, &back));
  FUZZ_CHECK(back.size() == src.size() && memcmp(back.data(), src.data(), src.size()) == 0);

  // A small room: the longest whole-item prefix that leaves a byte for the terminator.
  std::vector<char> cut(static_cast<size_t>(room) + 16, static_cast<char>(FUZZ_GUARD_BYTE));
  osl_str_html_escape(src.data(), n, cut.data(), room);
  for (size_t i = static_cast<size_t>(room); i < cut.size(); ++i) {
    FUZZ_CHECK(static_cast<unsigned char>(cut[i]) == FUZZ_GUARD_BYTE);
  }
  size_t keep = 0;
  for (size_t e : ends) {
    if (e > static_cast<size_t>(room) - 1) break;
    keep = e;
  }
  FUZZ_CHECK(cut[keep] == '\0' && memcmp(cut.data(), full.data(), keep) == 0);
  return 0;
}
