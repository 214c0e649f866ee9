// Size text, decimal readers and the numeric tests on arbitrary text: each result agrees with
// a plain reading of the digits (wrapping where documented), and the tests agree with each
// other.
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "osl_string.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Leading digits of p, modulo 2^64; *end receives the first non-digit.
uint64_t digits(const char *p, const char **end) {
  uint64_t v = 0;
  while (is_digit(*p)) v = v * 10u + static_cast<uint64_t>(*p++ - '0');
  *end = p;
  return v;
}

bool all_of(const char *s, const char *extra) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    if (!is_digit(*s) && strchr(extra, *s) == nullptr) return false;
  }
  return true;
}

int sign(int v) { return (v > 0) - (v < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Two texts split at the first zero byte: the second serves the path comparison.
  std::string all(reinterpret_cast<const char *>(data), size);
  const size_t zero = all.find('\0');
  std::string text = all.substr(0, zero);
  std::string other = zero == std::string::npos ? std::string() : all.substr(zero + 1);
  other = other.substr(0, strlen(other.c_str()));
  std::vector<char> buf(text.c_str(), text.c_str() + text.size() + 1);
  std::vector<char> buf2(other.c_str(), other.c_str() + other.size() + 1);
  char *s = buf.data();

  // Size: digits modulo 2^32, then an optional k/K or m/M factor.
  const char *end;
  const uint32_t base = static_cast<uint32_t>(digits(s, &end));
  uint32_t expect = base;
  if (*end == 'k' || *end == 'K') expect = base * 1024u;
  if (*end == 'm' || *end == 'M') expect = base * 0x100000u;
  FUZZ_CHECK(osl_str_calcsize(s) == expect);

  // 64-bit readers: leading spaces, then (signed form only) one "-", then digits.
  const char *p = s;
  while (*p == ' ') ++p;
  const uint64_t u = digits(p, &end);
  FUZZ_CHECK(osl_str_str2uint64(s) == u);
  if (*p == '-') {
    const uint64_t magnitude = digits(p + 1, &end);
    FUZZ_CHECK(static_cast<uint64_t>(osl_str_str2int64(s)) == 0u - magnitude);
  } else {
    FUZZ_CHECK(static_cast<uint64_t>(osl_str_str2int64(s)) == u);
  }

  // The tests: digits only, digits and dots; the address test is the dotted one with 0 for yes.
  const int32_t numeric = osl_str_isnumeric(s);
  const int32_t isfloat = osl_str_isfloat(s);
  const int32_t isaddr = osl_str_isaddr(s);
  FUZZ_CHECK(numeric == (all_of(s, "") ? 1 : 0));
  FUZZ_CHECK(isfloat == (all_of(s, ".") ? 1 : 0));
  FUZZ_CHECK(isaddr == (isfloat == 1 ? 0 : -1));
  if (numeric == 1) FUZZ_CHECK(osl_str_str2uint64(s) == u && *end == '\0');

  // Path comparison: the library's order, antisymmetric, zero against itself.
  char *t = buf2.data();
  const int32_t len = static_cast<int32_t>(size % 40) - 1;  // -1 compares whole texts
  const int32_t ab = osl_str_cmppath(s, t, len);
  const int32_t ba = osl_str_cmppath(t, s, len);
  FUZZ_CHECK(sign(ab) == -sign(ba));
  FUZZ_CHECK(osl_str_cmppath(s, s, len) == 0);
  if (len < 0) {
    FUZZ_CHECK(sign(ab) == sign(strcmp(s, t)));
  } else {
    FUZZ_CHECK(sign(ab) == sign(strncmp(s, t, static_cast<size_t>(len))));
  }

  // The texts are only read.
  FUZZ_CHECK(text == buf.data() && other == buf2.data());
  return 0;
}
