// The two unprefixed decoding names kept for existing callers, in an archive member of their own:
// a program that defines its own htoi or url_decode and calls only osl_ functions still links
// the static library. Nothing in the layer calls them.
#include "osl_url.h"

#include "osl_sys.h"

namespace {

// The value of the two hexadecimal digits at s; any other byte gives a meaningless value.
inline int32_t hex_pair(const char_t *s) {
  return osl_sys::hex_value(static_cast<uchar_t>(s[0])) * 16 +
         osl_sys::hex_value(static_cast<uchar_t>(s[1]));
}

}  // namespace

extern "C" {

int32_t url_decode(char_t *str, int32_t len) {
  if (str == nullptr) return 0;
  int32_t out = 0;
  for (int32_t in = 0; in < len; ++in) {
    const char_t c = str[in];
    if (c == '+') {
      str[out++] = ' ';
    } else if (c == '%' && in + 2 < len && osl_sys::is_xdigit(static_cast<uchar_t>(str[in + 1])) &&
               osl_sys::is_xdigit(static_cast<uchar_t>(str[in + 2]))) {
      str[out++] = static_cast<char_t>(hex_pair(str + in + 1));
      in += 2;
    } else {
      str[out++] = c;
    }
  }
  // Terminated only inside the len bytes: the decoded text is never longer than its input, and
  // an input that fills its buffer exactly has no byte after it to write to.
  if (out < len) str[out] = '\0';
  return out;
}

int32_t htoi(const char_t *s) { return hex_pair(s); }

}  // extern "C"
