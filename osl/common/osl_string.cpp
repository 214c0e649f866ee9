// Basic text operations: ASCII case-insensitive comparison, bounded copy and append, bounded
// formatting. Passes that allocate nothing (osl_strdup aside).
#include "osl_string.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "osl_sys.h"

namespace {

inline uchar_t up(uchar_t c) { return static_cast<uchar_t>(osl_sys::to_upper(c)); }

// Compares two bytes after folding to upper case; -1, 0 or 1.
inline int32_t cmp_folded(uchar_t a, uchar_t b) {
  const uchar_t ua = up(a);
  const uchar_t ub = up(b);
  return ua < ub ? -1 : (ua > ub ? 1 : 0);
}

// Bytes a case-insensitive comparison walks one at a time before it looks for the terminators:
// command words end or differ within them.
constexpr size_t kFoldHead = 8;

// Blocks of 8 bytes compared at once: equal ignoring ASCII case when the two texts differ at
// most in bit 0x20, and there only on letters. The letter range is worked out per byte on the
// low seven bits so that no carry crosses into the next byte.
constexpr size_t kBlock = 8;

inline bool same_block(const uchar_t *a, const uchar_t *b) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  uint64_t va, vb;
  memcpy(&va, a, 8);
  memcpy(&vb, b, 8);
  const uint64_t lower = va | (0x20 * kOnes);
  const uint64_t low7 = lower & (0x7F * kOnes);
  const uint64_t from_a = low7 + (0x80 - 'a') * kOnes;      // high bit: at least 'a'
  const uint64_t past_z = low7 + (0x80 - 'z' - 1) * kOnes;  // high bit: above 'z'
  const uint64_t letter = from_a & ~past_z & ~lower & (0x80 * kOnes);
  return ((va ^ vb) & ~(letter >> 2)) == 0;
}

// Index of the first byte in [i, end) where a and b differ ignoring ASCII case, or end. Every
// byte below end must be readable in both texts and those below i equal: the last block may
// then start before i. Terminators are not looked for.
size_t folded_mismatch(const uchar_t *a, const uchar_t *b, size_t i, size_t end) {
  while (i + kBlock <= end && same_block(a + i, b + i)) i += kBlock;
  // Fewer than a block left and all before it equal: one block ending at end settles them.
  if (i < end && i + kBlock > end && end >= kBlock &&
      same_block(a + end - kBlock, b + end - kBlock)) {
    i = end;
  }
  while (i < end && up(a[i]) == up(b[i])) ++i;
  return i;
}

// Compares at most limit bytes of two terminated texts ignoring ASCII case. Past the head, the
// bytes before both terminators are found by bounded scans in growing slices (so a long text
// that differs early is not read to its end) and only those are compared in blocks: a block
// never reaches past a terminator, nor past the end of a text's memory.
int32_t compare_nocase(const uchar_t *a, const uchar_t *b, size_t limit) {
  const size_t head = limit < kFoldHead ? limit : kFoldHead;
  size_t i = 0;
  for (; i < head; ++i) {
    if (up(a[i]) != up(b[i]) || a[i] == '\0') return cmp_folded(a[i], b[i]);
  }
  // Texts that end right after the head need no scan.
  if (i == limit) return 0;
  if (a[i] == '\0' || b[i] == '\0') return cmp_folded(a[i], b[i]);
  size_t slice = 1024;
  while (i < limit) {
    const size_t want = limit - i < slice ? limit - i : slice;
    const size_t in_a = strnlen(reinterpret_cast<const char *>(a + i), want);
    const size_t in_both = strnlen(reinterpret_cast<const char *>(b + i), in_a);
    const size_t start = i;
    i = folded_mismatch(a, b, i, i + in_both);
    // A difference, or a terminator in one text (or both) at i: both bytes there are readable.
    if (i - start < want) return cmp_folded(a[i], b[i]);
    if (slice < 16384) slice *= 2;
  }
  return 0;
}

}  // namespace

extern "C" {

int32_t osl_strncmp_nocase(const char_t *str1, const char_t *str2, int32_t size) {
  if (size <= 0) return 0;
  return compare_nocase(reinterpret_cast<const uchar_t *>(str1),
                        reinterpret_cast<const uchar_t *>(str2), static_cast<size_t>(size));
}

int32_t osl_strcmp_nocase(const char_t *str1, const char_t *str2) {
  return compare_nocase(reinterpret_cast<const uchar_t *>(str1),
                        reinterpret_cast<const uchar_t *>(str2), SIZE_MAX);
}

int32_t osl_strlen(const char_t *str) {
  return static_cast<int32_t>(strlen(str));
}

int32_t osl_strncpy(char_t *str1, const char_t *str2, int32_t maxlen) {
  char_t *dst = str1;
  int32_t i = 0;
  while (i < maxlen) {
    dst[i] = str2[i];
    if (str2[i] == '\0') return i;
    ++i;
  }
  return i;
}

int32_t osl_strncat(char_t *str1, const char_t *str2, int32_t maxlen) {
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
