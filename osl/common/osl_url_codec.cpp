// Percent-encoding and decoding of URL text: the form encoder ("+" for space), the component
// encoder (keeps "%" and most printable bytes) and the lenient decoder into a separate buffer.
// Bytes are unsigned; escapes use upper-case digits. No state.
#include "osl_url.h"

#include "osl_sys.h"

namespace {

using osl_sys::is_alnum;
using osl_sys::is_digit;
using osl_sys::kHexDigits;

// Kept unchanged by the form encoder.
constexpr bool form_keeps(uchar_t c) {
  return is_alnum(c) || c == '.' || c == '-' || c == '_' || c == '*';
}

// Escaped by the component encoder.
constexpr bool component_escapes(uchar_t c) {
  if (c < 0x21 || c > 0x7E) return true;  // space, controls, DEL and bytes above 0x7F
  switch (c) {
    case '+': case ';': case '/': case '?': case ':': case '@': case '&': case '=':
    case '$': case ',': case '{': case '}': case '[': case ']': case '"':
      return true;
    default:
      return false;
  }
}

// The encoders' rules looked up per byte, worked out once at compile time.
constexpr uchar_t kFormKeep = 1;
constexpr uchar_t kComponentEscape = 2;
struct ByteClasses {
  uchar_t of[256];
  constexpr ByteClasses() : of() {
    for (int c = 0; c < 256; ++c) {
      const uchar_t u = static_cast<uchar_t>(c);
      of[c] = static_cast<uchar_t>((form_keeps(u) ? kFormKeep : 0) |
                                   (component_escapes(u) ? kComponentEscape : 0));
    }
  }
};
constexpr ByteClasses kClass;

// Writes "%XX" for c at p.
inline void put_escape(char_t *p, uchar_t c) {
  p[0] = '%';
  p[1] = kHexDigits[c >> 4];
  p[2] = kHexDigits[c & 0x0F];
}

// Digits 0-9, letters 10-35 in either case; -1 for any other byte.
int32_t lenient_value(uchar_t c) {
  if (is_digit(c)) return c - '0';
  const int lower = osl_sys::to_lower(c);
  return lower >= 'a' && lower <= 'z' ? lower - 'a' + 10 : -1;
}

}  // namespace

extern "C" {

int32_t osl_url_encode(const char_t *url, int32_t urllen, char_t *buf, int32_t size) {
  if (url == nullptr || buf == nullptr || urllen <= 0 || size <= 0) return 0;
  int32_t out = 0;
  for (int32_t i = 0; i < urllen && out < size - 1; ++i) {
    const uchar_t c = static_cast<uchar_t>(url[i]);
    if ((kClass.of[c] & kFormKeep) != 0) {
      buf[out++] = static_cast<char_t>(c);
    } else if (c == ' ') {
      buf[out++] = '+';
    } else {
      if (out + 3 >= size) {
        buf[out] = '\0';  // terminated for safety; 0 still says the encoding failed
        return 0;
      }
      put_escape(buf + out, c);
      out += 3;
    }
  }
  buf[out] = '\0';
  return out;
}

int32_t osl_url_encode_component(const char_t *url, int32_t urllen, char_t *buf, int32_t size) {
  (void)urllen;  // the input always runs to its terminator
  if (url == nullptr || buf == nullptr || size <= 0) return 0;
  int32_t out = 0;
  for (const char_t *p = url; *p != '\0'; ++p) {
    const uchar_t c = static_cast<uchar_t>(*p);
    if ((kClass.of[c] & kComponentEscape) != 0) {
      if (out + 3 > size - 1) break;
      put_escape(buf + out, c);
      out += 3;
    } else {
      if (out + 1 > size - 1) break;
      buf[out++] = static_cast<char_t>(c);
    }
  }
  buf[out] = '\0';
  return out;
}

int32_t osl_url_decode(const char_t *url, int32_t urllen, char_t *buf, int32_t size) {
  if (url == nullptr || buf == nullptr || size <= 0) return 0;
  int32_t in = 0;
  int32_t out = 0;
  while (in < urllen && url[in] != '\0' && out < size - 1) {
    const uchar_t c = static_cast<uchar_t>(url[in]);
    if (c == '+') {
      buf[out++] = ' ';
      ++in;
      continue;
    }
    // Both bytes after a "%" must lie within urllen: nothing at or past it is read.
    if (c == '%' && urllen - in > 2 && url[in + 1] != '\0' && url[in + 2] != '\0') {
      const int32_t hi = lenient_value(static_cast<uchar_t>(url[in + 1]));
      if (hi >= 0) {
        const int32_t lo = lenient_value(static_cast<uchar_t>(url[in + 2]));
        const int32_t v = lo >= 0 ? hi * 16 + lo : hi;
        buf[out++] = static_cast<char_t>(static_cast<uchar_t>(v & 0xFF));
        in += 3;
        continue;
      }
      // "%" not followed by a digit or letter: kept as it is, the next byte taken on its own.
    }
    buf[out++] = static_cast<char_t>(c);
    ++in;
  }
  buf[out] = '\0';
  return out;
}

}  // extern "C"
