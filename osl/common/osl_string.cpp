// Basic text operations: ASCII case-insensitive comparison, bounded copy and append, bounded
// formatting. Byte-at-a-time passes that allocate nothing (osl_strdup aside).
#include "osl_string.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Compares two bytes after folding to upper case; -1, 0 or 1.
inline int32_t cmp_folded(char_t a, char_t b) {
  const uchar_t ua = static_cast<uchar_t>(toupper(static_cast<uchar_t>(a)));
  const uchar_t ub = static_cast<uchar_t>(toupper(static_cast<uchar_t>(b)));
  return ua < ub ? -1 : (ua > ub ? 1 : 0);
}

}  // namespace

extern "C" {

int32_t osl_strncmp_nocase(const char_t *str1, const char_t *str2, int32_t size) {
  int32_t n = 0;
  while (n < size && *str1 != '\0' && *str2 != '\0') {
    const int32_t c = cmp_folded(*str1, *str2);
    if (c != 0) return c;
    ++str1;
    ++str2;
    ++n;
  }
  if (n >= size) return 0;
  return cmp_folded(*str1, *str2);
}

int32_t osl_strcmp_nocase(const char_t *str1, const char_t *str2) {
  while (*str1 != '\0' && *str2 != '\0') {
    const int32_t c = cmp_folded(*str1, *str2);
    if (c != 0) return c;
    ++str1;
    ++str2;
  }
  return cmp_folded(*str1, *str2);
}

int32_t osl_strlen(const char_t *str) {
  return static_cast<int32_t>(strlen(str));
}

int32_t osl_strncpy(const char_t *str1, const char_t *str2, int32_t maxlen) {
  char_t *dst = const_cast<char_t *>(str1);
  int32_t i = 0;
  while (i < maxlen) {
    dst[i] = str2[i];
    if (str2[i] == '\0') return i;
    ++i;
  }
  return i;
}

int32_t osl_strncat(const char_t *str1, const char_t *str2, int32_t maxlen) {
  if (str1 == nullptr || str2 == nullptr || maxlen <= 0) return 0;
  const int32_t len = osl_strlen(str1);
  return len + osl_strncpy(str1 + len, str2, maxlen);
}

char_t *osl_strstr(const char_t *str, const char_t *substr) {
  return const_cast<char_t *>(strstr(str, substr));
}

char_t *osl_strdup(const char_t *str) {
  if (str == nullptr) return nullptr;
  const size_t len = strlen(str);
  char_t *copy = static_cast<char_t *>(malloc(len + 1));
  if (copy == nullptr) return nullptr;
  strcpy(copy, str);
  copy[len] = '\0';
  return copy;
}

int32_t osl_str_vsnprintf(char_t *str, int32_t size, const char_t *format, va_list ap) {
  // Nothing can be written into no room; a negative size must never reach vsnprintf as a huge
  // size_t.
  if (size <= 0) return 0;
  const int n = vsnprintf(str, static_cast<size_t>(size), format, ap);
  if (n < 0) {
    // A conversion failed part-way (e.g. a wide character the locale cannot encode): what the
    // buffer holds is unknown, perhaps older bytes, so nothing of it may pass as text.
    str[0] = '\0';
    return 0;
  }
  if (n >= size) {
    str[size - 1] = '\0';
    return size - 1;
  }
  str[n] = '\0';
  return n;
}

int32_t osl_str_snprintf(char_t *str, int32_t size, const char_t *format, ...) {
  va_list ap;
  va_start(ap, format);
  const int32_t n = osl_str_vsnprintf(str, size, format, ap);
  va_end(ap);
  return n;
}

}  // extern "C"
