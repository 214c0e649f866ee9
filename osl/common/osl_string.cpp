// Basic text operations: ASCII case-insensitive comparison, bounded copy and append, bounded
// formatting. Passes that allocate nothing (osl_strdup aside).
#include "osl_string.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>

#include <atomic>
#define OSL_FOLD_AVX2 1
#endif

namespace {

// ASCII upper case of every byte; other bytes map to themselves.
struct FoldTable {
  uchar_t up[256];
  constexpr FoldTable() : up() {
    for (int i = 0; i < 256; ++i) up[i] = static_cast<uchar_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
  }
};
constexpr FoldTable kFold;

// Compares two bytes after folding to upper case; -1, 0 or 1.
inline int32_t cmp_folded(uchar_t a, uchar_t b) {
  const uchar_t ua = kFold.up[a];
  const uchar_t ub = kFold.up[b];
  return ua < ub ? -1 : (ua > ub ? 1 : 0);
}

// Bytes a case-insensitive comparison walks one at a time before it looks for the terminators:
// command words end or differ within them.
constexpr size_t kFoldHead = 8;

// Blocks of bytes compared at once: equal ignoring ASCII case when the two texts differ at most
// in bit 0x20, and there only on letters. SSE2 is part of every x86-64; elsewhere a 64-bit word.
#if defined(__SSE2__)
constexpr size_t kBlock = 16;

// Bytes where a and b differ in more than the case of a letter: nonzero there.
inline __m128i case_blind_diff(const uchar_t *a, const uchar_t *b) {
  const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a));
  const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b));
  const __m128i bit5 = _mm_set1_epi8(0x20);
  // Letters: bytes whose lower case lies in 'a'..'z', tested as a signed range after a shift.
  const __m128i lower = _mm_or_si128(va, bit5);
  const __m128i shifted = _mm_add_epi8(lower, _mm_set1_epi8(static_cast<char>(0x80 - 'a')));
  const __m128i letter = _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + 26)));
  return _mm_andnot_si128(_mm_and_si128(letter, bit5), _mm_xor_si128(va, vb));
}

inline bool all_zero(__m128i v) {
  return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) == 0xFFFF;
}

inline bool same_block(const uchar_t *a, const uchar_t *b) {
  return all_zero(case_blind_diff(a, b));
}

inline bool same_pair(const uchar_t *a, const uchar_t *b) {
  return all_zero(_mm_or_si128(case_blind_diff(a, b), case_blind_diff(a + 16, b + 16)));
}
#else
constexpr size_t kBlock = 8;

// The same test on a 64-bit word, the letter range worked out per byte on the low seven bits
// so that no carry crosses into the next byte.
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

inline bool same_pair(const uchar_t *a, const uchar_t *b) {
  return same_block(a, b) && same_block(a + 8, b + 8);
}
#endif

#if defined(OSL_FOLD_AVX2)
// case_blind_diff on 32 bytes, for processors with AVX2 (checked at run time).
__attribute__((target("avx2"))) inline __m256i case_blind_diff32(const uchar_t *a,
                                                                 const uchar_t *b) {
  const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a));
  const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b));
  const __m256i bit5 = _mm256_set1_epi8(0x20);
  const __m256i lower = _mm256_or_si256(va, bit5);
  const __m256i shifted = _mm256_add_epi8(lower, _mm256_set1_epi8(static_cast<char>(0x80 - 'a')));
  const __m256i letter =
      _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(-128 + 26)), shifted);
  return _mm256_andnot_si256(_mm256_and_si256(letter, bit5), _mm256_xor_si256(va, vb));
}

// Whether AVX2 can be used: 1 or 0, -1 until first asked. Asked on the first comparison long
// enough to use it, not at start-up (as __builtin_cpu_supports would, through a constructor):
// each CPUID is a trap to the hypervisor in a virtual machine, some 10 us, and a program that
// compares only short words never pays for it.
std::atomic<int> m_avx2{-1};

bool avx2_usable() {
  int known = m_avx2.load(std::memory_order_relaxed);
  if (known < 0) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    known = 0;
    // The processor has AVX and the system saves the YMM registers (OSXSAVE, XCR0 bits 1-2)...
    if (__get_cpuid(1, &a, &b, &c, &d) && (c & bit_OSXSAVE) != 0 && (c & bit_AVX) != 0) {
      unsigned lo = 0, hi = 0;
      __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
      // ... and has AVX2.
      if ((lo & 6u) == 6u && __get_cpuid_max(0, nullptr) >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        known = (b & bit_AVX2) != 0 ? 1 : 0;
      }
    }
    m_avx2.store(known, std::memory_order_relaxed);
  }
  return known == 1;
}

// Skips equal runs 64 bytes at a time; returns the start of the first 64 bytes that differ, or
// of the last fewer than 64 bytes.
__attribute__((target("avx2"))) size_t skip_same_avx2(const uchar_t *a, const uchar_t *b,
                                                       size_t i, size_t end) {
  for (; i + 64 <= end; i += 64) {
    const __m256i bad =
        _mm256_or_si256(case_blind_diff32(a + i, b + i), case_blind_diff32(a + i + 32, b + i + 32));
    if (!_mm256_testz_si256(bad, bad)) break;
  }
  return i;
}
#endif

// Index of the first byte in [i, end) where a and b differ ignoring ASCII case, or end. Every
// byte below end must be readable in both texts and those below i equal: the last block may
// then start before i. Terminators are not looked for.
size_t folded_mismatch(const uchar_t *a, const uchar_t *b, size_t i, size_t end) {
#if defined(OSL_FOLD_AVX2)
  if (end - i >= 64 && avx2_usable()) i = skip_same_avx2(a, b, i, end);
#endif
  while (i + 2 * kBlock <= end && same_pair(a + i, b + i)) i += 2 * kBlock;
  if (i + 2 * kBlock > end) {
    if (i + kBlock <= end && same_block(a + i, b + i)) i += kBlock;
    // Fewer than a block left and all before it equal: one block ending at end settles them.
    if (i < end && i + kBlock > end && end >= kBlock &&
        same_block(a + end - kBlock, b + end - kBlock)) {
      i = end;
    }
  }
  while (i < end && kFold.up[a[i]] == kFold.up[b[i]]) ++i;
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
    if (kFold.up[a[i]] != kFold.up[b[i]] || a[i] == '\0') return cmp_folded(a[i], b[i]);
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
