// Percent-encoding and decoding: the form and component encoders, the lenient and strict
// decoders and htoi, checked byte for byte including the bounds of the caller's buffer.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "osl_url.h"

namespace {

// Output buffers are filled with this marker so that bytes written past the terminator, or
// past the given size, show up.
constexpr char kFill = '\x5A';

struct EncodeCase {
  std::string in;
  int32_t size;
  std::string out;  // expected text before the terminator
  int32_t ret;
};

TEST(UrlEncode, FormEncodingTable) {
  const EncodeCase cases[] = {
      {"a b&c", 32, "a+b%26c", 7},
      {"\xC3\xA9", 32, "%C3%A9", 6},
      {"abcdefgh", 5, "abcd", 4},          // cut after a copied byte: not a failure
      {"ab&", 5, "ab", 0},                 // the escape does not fit with the terminator
      {"ab&", 6, "ab%26", 5},
      {"AZaz09.-_*", 32, "AZaz09.-_*", 10},
      {std::string("a\0b", 3), 32, "a%00b", 5},  // zero bytes within urllen are encoded
      {"~!/", 32, "%7E%21%2F", 9},
      {" ", 2, "+", 1},
      {"x", 1, "", 0},
  };
  for (const EncodeCase &c : cases) {
    char buf[64];
    memset(buf, kFill, sizeof buf);
    const int32_t r = osl_url_encode(c.in.data(), static_cast<int32_t>(c.in.size()), buf, c.size);
    EXPECT_EQ(r, c.ret) << c.in;
    EXPECT_EQ(std::string(buf), c.out) << c.in;
    EXPECT_EQ(buf[c.size], kFill) << "wrote beyond size for " << c.in;
  }
  // Every byte value on its own, against the rule written out.
  for (int v = 0; v < 256; ++v) {
    const char in = static_cast<char>(v);
    const bool kept = (v >= '0' && v <= '9') || (v >= 'A' && v <= 'Z') || (v >= 'a' && v <= 'z') ||
                      (v != 0 && strchr(".-_*", v) != nullptr);
    char want[4];
    snprintf(want, sizeof want, kept ? "%c" : (v == ' ' ? "+" : "%%%02X"), v);
    char buf[8];
    EXPECT_EQ(osl_url_encode(&in, 1, buf, sizeof buf), static_cast<int32_t>(strlen(want))) << v;
    EXPECT_STREQ(want, buf) << "byte " << v;
  }
}

TEST(UrlEncode, FormEncodingRejectsBadArguments) {
  char buf[8];
  memset(buf, kFill, sizeof buf);
  EXPECT_EQ(osl_url_encode(nullptr, 3, buf, 8), 0);
  EXPECT_EQ(osl_url_encode("abc", 3, nullptr, 8), 0);
  EXPECT_EQ(osl_url_encode("abc", 0, buf, 8), 0);
  EXPECT_EQ(osl_url_encode("abc", -1, buf, 8), 0);
  EXPECT_EQ(osl_url_encode("abc", 3, buf, 0), 0);
  EXPECT_EQ(buf[0], kFill);
}

TEST(UrlEncode, ComponentEncodingTable) {
  const EncodeCase cases[] = {
      {"a b+c/d?e=f", 64, "a%20b%2Bc%2Fd%3Fe%3Df", 21},
      {"100%", 64, "100%", 4},  // "%" passes, so encoded text is not encoded twice
      {"x~y!z", 64, "x~y!z", 5},
      {"\x7F", 64, "%7F", 3},
      {"\xE9", 64, "%E9", 3},
      {"\x01\x1F", 64, "%01%1F", 6},
      {";:@&=$,{}[]\"", 64, "%3B%3A%40%26%3D%24%2C%7B%7D%5B%5D%22", 36},
      {"#'()*-.<>\\^_`|", 64, "#'()*-.<>\\^_`|", 14},
      // The room: stop before the first item that would not fit with the terminator.
      {"abcdef", 4, "abc", 3},
      {"ab cd", 5, "ab", 2},
      {"ab cd", 6, "ab%20", 5},
      {"abc", 1, "", 0},
  };
  for (const EncodeCase &c : cases) {
    char buf[64];
    memset(buf, kFill, sizeof buf);
    // urllen is not used: the input runs to its terminator whatever is passed.
    const int32_t r = osl_url_encode_component(c.in.c_str(), 1, buf, c.size);
    EXPECT_EQ(r, c.ret) << c.in;
    EXPECT_EQ(std::string(buf), c.out) << c.in;
    if (c.size < 64) {
      EXPECT_EQ(buf[c.size], kFill) << "wrote beyond size for " << c.in;
    }
  }
  for (int v = 1; v < 256; ++v) {
    const char in[2] = {static_cast<char>(v), '\0'};
    const bool escaped = v < 0x21 || v > 0x7E || strchr("+;/?:@&=$,{}[]\"", v) != nullptr;
    char want[4];
    snprintf(want, sizeof want, escaped ? "%%%02X" : "%c", v);
    char out[8];
    EXPECT_EQ(osl_url_encode_component(in, 1, out, sizeof out), static_cast<int32_t>(strlen(want)));
    EXPECT_STREQ(want, out) << "byte " << v;
  }
  char buf[4];
  memset(buf, kFill, sizeof buf);
  EXPECT_EQ(osl_url_encode_component("abc", 3, buf, 0), 0);
  EXPECT_EQ(osl_url_encode_component(nullptr, 3, buf, 4), 0);
  EXPECT_EQ(buf[0], kFill);
}

// The n bytes at text put at the end of a readable page, before one that cannot be read.
const char *AtPageEnd(const char *text, size_t n) {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  static char *const end = static_cast<char *>(mmap(nullptr, 2 * page, PROT_NONE,
                                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) + page;
  EXPECT_EQ(mprotect(end - page, page, PROT_READ | PROT_WRITE), 0);
  return static_cast<const char *>(memcpy(end - n, text, n));
}

struct DecodeCase {
  std::string in;
  int32_t urllen;
  int32_t size;
  std::string out;  // every byte written, zero bytes included
};

TEST(UrlDecode, LenientDecodingTable) {
  const DecodeCase cases[] = {
      {"a+b%20c%2Bd%41%e9", 64, 64, "a b c+dA\xE9"},
      {"%2b", 64, 64, "+"},
      {"%4", 64, 64, "%4"},
      {"%", 64, 64, "%"},
      {"%4%", 64, 64, "\x04"},           // second byte neither digit nor letter
      {"%zz", 64, 64, "S"},              // letters beyond F still count, modulo 256
      {"%G0", 64, 64, std::string(1, '\0')},
      {"%00x", 64, 64, std::string("\0x", 2)},
      {"%/41", 64, 64, "%/41"},          // "%" before a non-alphanumeric stays, decoding goes on
      {"%%41", 64, 64, "%A"},
      {"abcdef", 64, 4, "abc"},
      {"abcdef", 3, 64, "abc"},          // urllen bounds the input
      {"ab%41", 3, 64, "ab%"},           // an escape must lie within the limit
      {"%a&w=1", 2, 64, "%a"},
      {"%41BC", 1, 64, "%"},
      {"%4", 2, 64, "%4"},               // no terminator within urllen
      {"abc", 0, 64, ""},
      {"abc", 64, 1, ""},
  };
  for (const DecodeCase &c : cases) {
    char buf[64];
    memset(buf, kFill, sizeof buf);
    // Nothing past urllen, or past the terminator when that lies within, can be read.
    const size_t n = c.urllen > static_cast<int32_t>(c.in.size()) ? c.in.size() + 1 : c.urllen;
    const int32_t r = osl_url_decode(AtPageEnd(c.in.c_str(), n), c.urllen, buf, c.size);
    ASSERT_EQ(r, static_cast<int32_t>(c.out.size())) << c.in;
    EXPECT_EQ(std::string(buf, static_cast<size_t>(r)), c.out) << c.in;
    EXPECT_EQ(buf[r], '\0') << c.in;
    if (c.size < 64) {
      EXPECT_EQ(buf[c.size], kFill) << c.in;
    }
  }
  char buf[4];
  memset(buf, kFill, sizeof buf);
  EXPECT_EQ(osl_url_decode("abc", 3, buf, 0), 0);
  EXPECT_EQ(osl_url_decode(nullptr, 3, buf, 4), 0);
  EXPECT_EQ(buf[0], kFill);
}

TEST(UrlDecode, StrictInPlaceTable) {
  const struct {
    std::string in;
    int32_t len;
    std::string out;
  } cases[] = {
      {"a%2fb+c%zz", 10, "a/b c%zz"},
      {"%4", 2, "%4"},
      {"%41", 2, "%4"},         // the digits must lie within len
      {"%41%42", 6, "AB"},
      {"%aF%Fa", 6, "\xAF\xFA"},
      {"%4g", 3, "%4g"},
      {std::string("a\0+", 3), 3, std::string("a\0 ", 3)},  // zero bytes are plain bytes
      {"", 0, ""},
  };
  for (const auto &c : cases) {
    char buf[32];
    memset(buf, kFill, sizeof buf);
    memcpy(buf, c.in.data(), c.in.size());
    const int32_t r = url_decode(buf, c.len);
    ASSERT_EQ(r, static_cast<int32_t>(c.out.size())) << c.in;
    EXPECT_EQ(std::string(buf, static_cast<size_t>(r)), c.out) << c.in;
    // Terminated only inside the len bytes; a result of len bytes leaves the next byte alone.
    const char after = r < c.len ? '\0' : r < static_cast<int32_t>(c.in.size()) ? c.in[r] : kFill;
    EXPECT_EQ(buf[r], after) << c.in;
  }
  EXPECT_EQ(url_decode(nullptr, 3), 0);
}

TEST(UrlDecode, HexPairValues) {
  const struct {
    const char *in;
    int32_t value;
  } cases[] = {{"ff", 255}, {"A0", 160}, {"00", 0}, {"7f", 127}, {"Fa", 250}, {"09", 9}};
  for (const auto &c : cases) EXPECT_EQ(htoi(c.in), c.value) << c.in;
}

}  // namespace
