// Basic text operations: comparison order and bounds, bounded copy/append terminator rules,
// bounded formatting results.
#include <ctype.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "osl_string.h"

namespace {

TEST(OslString, CompareNoCase) {
  struct Row {
    const char *a, *b;
    int32_t want;
  } rows[] = {
      {"status", "STATUS", 0}, {"StAtUs", "sTaTuS", 0}, {"a", "B", -1}, {"b", "A", 1},
      {"", "", 0},             {"abc", "ab", 1},        {"ab", "abc", -1}, {"", "a", -1},
      // Folding is to upper case: a letter sorts below the six characters between 'Z' and 'a'.
      {"a", "_", -1},          {"_", "a", 1},           {"z", "[", -1},   {"`", "A", 1},
      // Bytes above 0x7F compare unsigned and unfolded.
      {"\xC3", "z", 1},        {"z", "\xC3", -1},       {"\xE9", "\xC9", 1},
      // Results are exactly -1/0/1, not differences.
      {"a", "z", -1},          {"z", "a", 1},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(osl_strcmp_nocase(r.a, r.b), r.want) << '"' << r.a << "\" vs \"" << r.b << '"';
  }
  // Long texts that differ only in case, in exact-size memory, with one byte pair set at pos:
  // the same rules hold at any position, a bound stops just before pos, and nothing is read
  // past either terminator.
  struct Long {
    size_t len_a, len_b, pos;
    char ca, cb;
    int32_t want;
  } longs[] = {
      {1000, 1000, 0, 'x', 'X', 0},       {1000, 1000, 999, 'q', 'Q', 0},
      // Pairs that differ in the case bit only, but are not letters.
      {40, 40, 17, '@', '`', -1},         {300, 300, 47, '{', '[', 1},
      {300, 300, 133, '@', '`', -1},      {300, 300, 250, '\xC1', '\xE1', -1},
      {300, 300, 299, '\xE1', '\xC1', 1}, {1000, 1000, 700, 'a', '_', -1},
      {64, 64, 31, 'z', '\x7F', -1},      {64, 64, 32, '\x80', 'A', 1},
      {1000, 999, 999, 'k', '\0', 1},     {70, 1000, 70, '\0', 'e', -1},
      {17, 17, 16, 'm', 'n', -1},          {4100, 4100, 4099, 'c', 'C', 0},
      // A difference early in a short remainder, whose last block overlaps equal bytes.
      {28, 28, 9, 'a', 'b', -1},           {36, 36, 17, 'y', 'x', 1},
      {45, 45, 30, 'x', 'y', -1},          {45, 45, 44, 'Y', 'x', 1},
  };
  for (const Long &l : longs) {
    std::vector<char> a(l.len_a + 1), b(l.len_b + 1);
    for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
      const char c = "abcdefghijklmnopqrstuvwxyz0123456789-_"[i % 38];
      if (i < a.size()) a[i] = i == l.len_a ? '\0' : c;
      if (i < b.size()) b[i] = i == l.len_b ? '\0' : static_cast<char>(toupper(c));
    }
    a[l.pos] = l.ca;
    b[l.pos] = l.cb;
    SCOPED_TRACE(testing::Message() << "lengths " << l.len_a << "/" << l.len_b << " at " << l.pos);
    EXPECT_EQ(l.want, osl_strcmp_nocase(a.data(), b.data()));
    EXPECT_EQ(-l.want, osl_strcmp_nocase(b.data(), a.data()));
    EXPECT_EQ(0, osl_strncmp_nocase(a.data(), b.data(), static_cast<int32_t>(l.pos)));
    EXPECT_EQ(l.want, osl_strncmp_nocase(a.data(), b.data(), static_cast<int32_t>(l.pos) + 1));
    EXPECT_EQ(l.want, osl_strncmp_nocase(a.data(), b.data(), INT32_MAX));
  }
}

TEST(OslString, CompareNoCaseBounded) {
  struct Row {
    const char *a, *b;
    int32_t size, want;
  } rows[] = {
      {"abcd", "ABC", 3, 0}, {"abcd", "ABC", 4, 1}, {"abc", "xyz", 0, 0}, {"abc", "xyz", -5, 0},
      {"ab", "abc", 5, -1},  {"abc", "ab", 2, 0},   {"abc", "ab", 3, 1},  {"x", "X", 1, 0},
      {"", "", 1, 0},        {"a", "_", 1, -1},     {"ab", "ac", 1, 0},   {"ab", "ac", 2, -1},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(osl_strncmp_nocase(r.a, r.b, r.size), r.want)
        << '"' << r.a << "\" vs \"" << r.b << "\" size " << r.size;
  }
}

TEST(OslString, LengthAndSearch) {
  EXPECT_EQ(osl_strlen(""), 0);
  EXPECT_EQ(osl_strlen("Address: 1"), 10);
  const char *text = "Name: x\nAddress: 10.0.0.1";
  EXPECT_EQ(osl_strstr(text, "Address"), text + 8);
  EXPECT_EQ(osl_strstr(text, ""), text);
  EXPECT_EQ(osl_strstr(text, "address"), nullptr);
}

TEST(OslString, BoundedCopyTerminatorRules) {
  char buf[8];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(osl_strncpy(buf, "abc", 4), 3);
  EXPECT_EQ(memcmp(buf, "abc\0xxxx", 8), 0);

  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(osl_strncpy(buf, "abc", 3), 3);  // cut: no terminator
  EXPECT_EQ(memcmp(buf, "abcxxxxx", 8), 0);

  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(osl_strncpy(buf, "abc", 0), 0);
  EXPECT_EQ(osl_strncpy(buf, "abc", -1), 0);
  EXPECT_EQ(memcmp(buf, "xxxxxxxx", 8), 0);

  EXPECT_EQ(osl_strncpy(buf, "", 1), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'x');
}

TEST(OslString, BoundedAppend) {
  char buf[16];
  memset(buf, 'x', sizeof buf);
  strcpy(buf, "ab");
  EXPECT_EQ(osl_strncat(buf, "cd", 10), 4);
  EXPECT_STREQ(buf, "abcd");

  memset(buf, 'x', sizeof buf);
  strcpy(buf, "ab");
  EXPECT_EQ(osl_strncat(buf, "cd", 1), 3);  // "c" appended, no terminator written
  EXPECT_EQ(memcmp(buf, "abcx", 4), 0);

  strcpy(buf, "ab");
  EXPECT_EQ(osl_strncat(buf, "cd", 0), 0);
  EXPECT_EQ(osl_strncat(buf, nullptr, 5), 0);
  EXPECT_EQ(osl_strncat(nullptr, "cd", 5), 0);
  EXPECT_STREQ(buf, "ab");

  EXPECT_EQ(osl_strncat(buf, "", 3), 2);
  EXPECT_STREQ(buf, "ab");
}

TEST(OslString, Duplicate) {
  EXPECT_EQ(osl_strdup(nullptr), nullptr);
  char *e = osl_strdup("");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e[0], '\0');
  free(e);
  const char src[] = "wanradio";
  char *d = osl_strdup(src);
  ASSERT_NE(d, nullptr);
  EXPECT_NE(d, src);
  EXPECT_STREQ(d, src);
  free(d);
}

int32_t vfmt(char *dst, int32_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int32_t n = osl_str_vsnprintf(dst, size, fmt, ap);
  va_end(ap);
  return n;
}

TEST(OslString, BoundedFormatting) {
  char buf[16];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(osl_str_snprintf(buf, 8, "%s", "abcdefghij"), 7);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(buf[8], 'x');  // nothing beyond size

  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(osl_str_snprintf(buf, 8, "%s", "12345678"), 7);  // exactly size bytes: still cut
  EXPECT_STREQ(buf, "1234567");

  EXPECT_EQ(osl_str_snprintf(buf, 8, "%s", "1234567"), 7);  // size - 1 bytes fit whole
  EXPECT_STREQ(buf, "1234567");

  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(osl_str_snprintf(buf, 0, "%s", "abc"), 0);
  EXPECT_EQ(osl_str_snprintf(buf, -3, "%s", "abc"), 0);
  EXPECT_EQ(buf[0], 'x');

  EXPECT_EQ(osl_str_snprintf(buf, 1, "%d", 42), 0);
  EXPECT_EQ(buf[0], '\0');

  EXPECT_EQ(osl_str_snprintf(buf, sizeof buf, "%d-%s", -17, "ok"), 6);
  EXPECT_STREQ(buf, "-17-ok");

  // A conversion that fails part-way (a wide character the C locale cannot encode): the result
  // is the length of what stands before the terminator, and none of the old bytes pass as text.
  memset(buf, 'P', sizeof buf);
  const int32_t bad = osl_str_snprintf(buf, sizeof buf, "user %ls", L"J\u00f6rg");
  EXPECT_EQ(bad, static_cast<int32_t>(strnlen(buf, sizeof buf)));
  EXPECT_EQ(std::string(buf, static_cast<size_t>(bad)).find('P'), std::string::npos) << buf;

  // Appending at the returned offset never runs past the buffer.
  int32_t off = 0;
  for (int i = 0; i < 10; ++i) off += vfmt(buf + off, static_cast<int32_t>(sizeof buf) - off, "%d;", i);
  EXPECT_EQ(off, 15);
  EXPECT_STREQ(buf, "0;1;2;3;4;5;6;7");
}

}  // namespace
