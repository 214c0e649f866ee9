// The line value lookup (osl_str_getval) and its header form (osl_url_getheadval) on arbitrary
// header-like text: value cleared over its room, never written past it, always terminated, made
// of bytes of one line of the text, and the two forms agree. The case-insensitive comparisons
// the lookup rests on agree with a plain byte loop.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "osl_string.h"
#include "osl_url.h"

namespace {

typedef char *(*Lookup)(const char *, int32_t, const char *, char *, int32_t);

// Runs one lookup with a value buffer of exactly `room` bytes plus a guard; returns whether the
// line was found and leaves the value in *out.
bool run(Lookup fn, char *buf, int32_t buflen, char *name, int32_t room, std::string *out) {
  std::vector<char> value(static_cast<size_t>(room) + 16, static_cast<char>(FUZZ_GUARD_BYTE));
  char *got = fn(buf, buflen, name, value.data(), room);
  for (size_t i = static_cast<size_t>(room); i < value.size(); ++i) {
    FUZZ_CHECK(static_cast<unsigned char>(value[i]) == FUZZ_GUARD_BYTE);
  }
  // Cleared over its whole room whatever the outcome: zeros follow the value text.
  const size_t vlen = strnlen(value.data(), static_cast<size_t>(room));
  FUZZ_CHECK(vlen < static_cast<size_t>(room));
  for (size_t i = vlen; i < static_cast<size_t>(room); ++i) FUZZ_CHECK(value[i] == '\0');
  FUZZ_CHECK(got == nullptr || got == value.data());
  if (got == nullptr) FUZZ_CHECK(vlen == 0);
  out->assign(value.data(), vlen);
  return got != nullptr;
}

// The comparison rules written plainly: ASCII letters folded to upper case, bytes compared
// unsigned, at most n of them, the first difference or a terminator ends it; -1, 0 or 1.
int32_t plain_nocase(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    unsigned char ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
    if (ca >= 'a' && ca <= 'z') ca = static_cast<unsigned char>(ca - 32);
    if (cb >= 'a' && cb <= 'z') cb = static_cast<unsigned char>(cb - 32);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

// Both comparisons on copies of x and y that end at their first terminator, in memory of
// exactly that size, so that a read past either terminator is caught.
void check_nocase(const char *x, const char *y, int32_t bound) {
  std::vector<char> a(x, x + strlen(x) + 1), b(y, y + strlen(y) + 1);
  FUZZ_CHECK(osl_strcmp_nocase(a.data(), b.data()) == plain_nocase(a.data(), b.data(), SIZE_MAX));
  const size_t n = bound < 0 ? 0 : static_cast<size_t>(bound);
  FUZZ_CHECK(osl_strncmp_nocase(a.data(), b.data(), bound) == plain_nocase(a.data(), b.data(), n));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int32_t room = fdp.ConsumeIntegralInRange<int32_t>(1, 64);
  const bool whole = fdp.ConsumeBool();
  const uint16_t cut = fdp.ConsumeIntegral<uint16_t>();
  std::string name = fdp.ConsumeRandomLengthString(24);
  std::string text = fdp.ConsumeRemainingBytesAsString();

  // Exact-size, terminated copies; buflen is -1 (whole text) or any length, also beyond the
  // text (the lookup stops at the terminator all the same).
  std::vector<char> buf(text.c_str(), text.c_str() + text.size() + 1);
  const int32_t textlen = static_cast<int32_t>(strlen(buf.data()));
  const int32_t buflen = whole ? -1 : static_cast<int32_t>(cut % (textlen + 64));
  std::vector<char> nm(name.c_str(), name.c_str() + name.size() + 1);

  std::string v1, v2;
  const bool f1 = run(osl_str_getval, buf.data(), buflen, nm.data(), room, &v1);
  const bool f2 = run(osl_url_getheadval, buf.data(), buflen, nm.data(), room, &v2);
  FUZZ_CHECK(f1 == f2 && v1 == v2);
  // The text is only read.
  FUZZ_CHECK(memcmp(buf.data(), text.c_str(), text.size() + 1) == 0);

  if (f1) {
    // A line starts with the name (ignoring case), so the name is somewhere in the text.
    FUZZ_CHECK(strlen(nm.data()) <= static_cast<size_t>(textlen));
    // The value never spans a line break, has no trailing space unless cut by the room, and
    // stands in the text as it is.
    FUZZ_CHECK(v1.find_first_of("\r\n") == std::string::npos);
    if (!v1.empty()) {
      FUZZ_CHECK(strstr(buf.data(), v1.c_str()) != nullptr);
      if (v1.size() < static_cast<size_t>(room) - 1) FUZZ_CHECK(v1.back() != ' ');
      FUZZ_CHECK(strchr(" :=,\t", v1.front()) == nullptr);
    }
    // A wider room gives the same value, or one that starts with it.
    std::string wide;
    FUZZ_CHECK(run(osl_str_getval, buf.data(), buflen, nm.data(), 64, &wide));
    FUZZ_CHECK(wide.compare(0, v1.size(), v1) == 0);
  }
  // buflen only bounds where a line may begin: the whole text (-1) is the same as its length,
  // and a line found within a shorter bound is found the same within the whole text.
  std::string whole_v, len_v;
  const bool fw = run(osl_str_getval, buf.data(), -1, nm.data(), room, &whole_v);
  const bool fl = run(osl_str_getval, buf.data(), textlen, nm.data(), room, &len_v);
  FUZZ_CHECK(fw == fl && whole_v == len_v);
  if (f1) FUZZ_CHECK(fw && whole_v == v1);

  // A null value with any room is allowed (the caller only asks whether the line exists).
  (void)osl_str_getval(buf.data(), buflen, nm.data(), nullptr, room);

  // The comparisons: the name against the text, and the text against a copy whose letters
  // change case in a pattern and whose byte at `cut` is the name's first byte, so that long
  // runs equal but for case end anywhere, in a difference or a terminator.
  const int32_t bound = buflen < 0 ? INT32_MAX : buflen - 32;
  check_nocase(nm.data(), buf.data(), bound);
  std::vector<char> other(buf);
  for (size_t i = 0; i < other.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(other[i]);
    if (((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && (i * 7 + room) % 3 != 0) other[i] ^= 0x20;
  }
  if (textlen > 0) other[cut % static_cast<size_t>(textlen)] = nm[0];
  check_nocase(buf.data(), other.data(), bound);
  check_nocase(other.data(), buf.data(), static_cast<int32_t>(cut) - 8);
  return 0;
}
