// Tokenisers, trimming and path normalisation on arbitrary text: every result lies inside the
// caller's buffer, nothing grows, the pieces put back together give the original text.
#include <fuzzer/FuzzedDataProvider.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "osl_string.h"

namespace {

// Exact-size terminated copy, so that any read past the terminator is out of bounds.
std::vector<char> copy_of(const std::string &s) {
  return std::vector<char>(s.c_str(), s.c_str() + s.size() + 1);
}

bool inside(const std::vector<char> &buf, const char *p) {
  return p >= buf.data() && p < buf.data() + buf.size();
}

void check_split(const std::string &text, const std::string &delim) {
  std::vector<char> buf = copy_of(text);
  std::vector<char> d = copy_of(delim);
  const std::string original(buf.data());
  char *cursor = buf.data();
  size_t tokens = 0;
  size_t bytes = 0;
  const char *last_end = buf.data();
  while (char *tok = osl_str_split(&cursor, d.data())) {
    FUZZ_CHECK(inside(buf, tok) && tok >= last_end);
    const size_t n = strlen(tok);
    FUZZ_CHECK(inside(buf, tok + n));
    // A token holds no delimiter and is the original bytes at its place.
    for (size_t i = 0; i < n; ++i) FUZZ_CHECK(strchr(d.data(), tok[i]) == nullptr);
    FUZZ_CHECK(original.compare(static_cast<size_t>(tok - buf.data()), n, tok) == 0);
    last_end = tok + n;
    bytes += n;
    ++tokens;
    FUZZ_CHECK(tokens <= original.size() + 1);  // always ends
  }
  FUZZ_CHECK(cursor == nullptr);
  FUZZ_CHECK(tokens >= 1 && bytes <= original.size());
  // Without delimiters in the set, the whole text is the one token.
  if (delim.empty() || original.find_first_of(d.data()) == std::string::npos) {
    FUZZ_CHECK(tokens == 1 && bytes == original.size());
  }
}

void check_split_all(const std::string &text, const std::string &sep, int32_t destsize) {
  std::vector<char> buf = copy_of(text);
  std::vector<char> s = copy_of(sep);
  const std::string original(buf.data());
  const std::string separator(s.data());
  // Room for exactly destsize pointers plus guards that must stay null.
  const size_t room = destsize > 0 ? static_cast<size_t>(destsize) : 0;
  std::vector<char *> dest(room + 4, nullptr);
  int32_t num = -7;
  osl_str_split_all(buf.data(), s.data(), dest.data() + 2, destsize, &num);
  for (size_t i = 0; i < dest.size(); ++i) {
    if (i < 2 || i >= room + 2) FUZZ_CHECK(dest[i] == nullptr);
  }
  dest.erase(dest.begin(), dest.begin() + 2);
  if (original.empty() || separator.empty() || destsize < 1) {
    FUZZ_CHECK(num == 0 && original == buf.data());  // nothing stored, nothing cut
    return;
  }
  FUZZ_CHECK(num >= 1 && num <= destsize);
  // Segments joined by the separator give the text back (the last one keeps the rest), and no
  // segment but the last holds the separator.
  std::string joined;
  for (int32_t i = 0; i < num; ++i) {
    FUZZ_CHECK(inside(buf, dest[i]));
    if (i > 0) {
      FUZZ_CHECK(dest[i] > dest[i - 1]);
      joined += separator;
    }
    if (i + 1 < num) {
      FUZZ_CHECK(strstr(dest[i], separator.c_str()) == nullptr);
      joined += dest[i];
    }
  }
  const char *last = dest[num - 1];
  // The last segment runs over the bytes of later separators that were left in place.
  joined += original.substr(static_cast<size_t>(last - buf.data()));
  FUZZ_CHECK(joined == original);
  // Fewer segments than room means the split ran out of separators in the last one.
  if (num < destsize && *last != '\0') FUZZ_CHECK(strstr(last, separator.c_str()) == nullptr);
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void check_trim(const std::string &text) {
  std::vector<char> buf = copy_of(text);
  const std::string original(buf.data());
  size_t b = 0, e = original.size();
  while (b < e && is_space(original[b])) ++b;
  while (e > b && is_space(original[e - 1])) --e;
  FUZZ_CHECK(osl_str_trim(buf.data()) == buf.data());
  FUZZ_CHECK(original.compare(b, e - b, buf.data()) == 0 && strlen(buf.data()) == e - b);
}

void check_trim_path(const std::string &text) {
  std::vector<char> buf = copy_of(text);
  const size_t before = strlen(buf.data());
  FUZZ_CHECK(osl_str_trim_path(buf.data()) == buf.data());
  const size_t after = strlen(buf.data());
  FUZZ_CHECK(after <= before);
  // Every backslash is rewritten.
  FUZZ_CHECK(strchr(buf.data(), '\\') == nullptr);
  // Without dots only the separator rules apply: backslashes become "/" and runs of
  // separators collapse to one. (Dot rules may leave "//": "a/b./c" becomes "a//c", as "x./"
  // loses the byte before the dot whatever it is.)
  if (text.find('.') == std::string::npos) {
    std::string expect;
    for (char c : text.substr(0, before)) {
      const char d = c == '\\' ? '/' : c;
      if (d == '/' && !expect.empty() && expect.back() == '/') continue;
      expect.push_back(d);
    }
    FUZZ_CHECK(expect == buf.data());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int32_t destsize = fdp.ConsumeIntegralInRange<int32_t>(-1, 12);
  std::string delim = fdp.ConsumeRandomLengthString(6);
  std::string text = fdp.ConsumeRemainingBytesAsString();
  text = text.substr(0, strlen(text.c_str()));

  check_split(text, delim);
  check_split_all(text, delim, destsize);
  check_trim(text);
  check_trim_path(text);
  return 0;
}
