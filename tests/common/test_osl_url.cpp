// URL layout, query parameters and their numeric forms, header values. Inputs live in exact-size
// heap copies so that a sanitizer build sees any read past the terminator.
#include <gtest/gtest.h>
#include <limits.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "osl_url.h"

namespace {

std::vector<char> buf_of(const std::string &text) {
  return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

struct ParseRow {
  const char *url;
  int32_t f[12];  // user, password, host, port, path, query: pos then len each
};

TEST(Url, ParseLaysOutTwelveFields) {
  const ParseRow rows[] = {
      {"udp://192.168.1.10:9000", {0, 0, 0, 0, 6, 12, 19, 4, 23, 0, 0, 0}},
      {"udp://user:pw@host:8080/a/b?x=1&y=2", {6, 4, 11, 2, 14, 4, 19, 4, 23, 4, 28, 7}},
      {"udp://user@host:8080/a/b?x=1&y=2", {6, 4, 0, 0, 11, 4, 16, 4, 20, 4, 25, 7}},
      {"file:///tmp/x", {0, 0, 0, 0, 0, 0, 0, 0, 7, 6, 0, 0}},
      {"/a/b?c", {0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 5, 1}},
      {"x@y:1?q", {0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 6, 1}},
      {"", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"udp://host?x=1", {0, 0, 0, 0, 6, 8, 0, 0, 14, 0, 0, 0}},
      {"udp://host:/p", {0, 0, 0, 0, 6, 4, 11, 0, 11, 2, 0, 0}},
      {"udp://u:@h", {6, 1, 8, 0, 9, 1, 0, 0, 10, 0, 0, 0}},
      {"udp://:9000/x", {0, 0, 0, 0, 6, 5, 7, 0, 11, 2, 0, 0}},
      {"udp://h:1:2/", {0, 0, 0, 0, 6, 3, 10, 1, 11, 1, 0, 0}},
      {"udp://a@b@c", {8, 1, 0, 0, 10, 1, 0, 0, 11, 0, 0, 0}},
      {"udp://a:1@b:2@c:3", {10, 1, 12, 1, 14, 1, 16, 1, 17, 0, 0, 0}},
      {"console://", {0, 0, 0, 0, 10, 0, 0, 0, 10, 0, 0, 0}},
      {"udp://h/p?", {0, 0, 0, 0, 6, 1, 0, 0, 7, 2, 10, 0}},
      {"udp://h/p?a?b", {0, 0, 0, 0, 6, 1, 0, 0, 7, 2, 10, 3}},
      {"/p?u=http://h/x", {0, 0, 0, 0, 12, 1, 0, 0, 13, 2, 0, 0}},
  };
  for (const ParseRow &row : rows) {
    std::vector<char> url = buf_of(row.url);
    SUrlInfo info;
    memset(&info, 0x5A, sizeof info);
    ASSERT_EQ(osl_url_parse(url.data(), &info), 0);
    const int32_t got[12] = {info.username_pos, info.username_len, info.userpswd_pos,
                             info.userpswd_len, info.hostname_pos, info.hostname_len,
                             info.hostport_pos, info.hostport_len, info.path_pos,
                             info.path_len,     info.param_pos,    info.param_len};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(got[i], row.f[i]) << row.url << " field " << i;
    EXPECT_STREQ(url.data(), row.url);
  }
  SUrlInfo info;
  EXPECT_EQ(osl_url_parse(nullptr, &info), -1);
  EXPECT_EQ(info.hostname_len, 0);
}

struct ParamRow {
  const char *url;
  const char *name;
  int32_t valuesize;
  const char *value;  // null: absent
};

TEST(Url, GetParamFindsSeparatedNames) {
  const char *q = "udp://host/p?a=1&b=22;c=3,d=4 e=5";
  const ParamRow rows[] = {
      {q, "a", 16, "1"},
      {q, "b", 16, "22"},
      {q, "c", 16, "3"},
      {q, "d", 16, "4"},
      {q, "e", 16, nullptr},
      {q, "A", 16, nullptr},
      {q, "p", 16, nullptr},
      {"?ba=1&a=2", "a", 16, "2"},
      {"x=5", "x", 16, "5"},
      {"?a&b=1", "a", 16, nullptr},
      {"a=&b=1", "a", 16, ""},
      {"a=%41+b", "a", 16, "%41+b"},
      {"aa=1", "a", 16, nullptr},
      {"k=v", "k=v", 16, nullptr},
      {"x", "xyz", 16, nullptr},
      {"ab", "b", 16, nullptr},
      // valuesize: at most valuesize-1 bytes of '12345'.
      {"n=12345", "n", 7, "12345"},
      {"n=12345", "n", 6, "12345"},
      {"n=12345", "n", 5, "1234"},
      {"n=12345", "n", 2, "1"},
      {"n=12345", "n", 1, ""},
      {"n=12345", "", 16, nullptr},
  };
  for (const ParamRow &row : rows) {
    std::vector<char> url = buf_of(row.url);
    std::vector<char> name = buf_of(row.name);
    std::vector<char> value(static_cast<size_t>(row.valuesize) + 1, 'Z');
    value[value.size() - 1] = '\0';
    const std::string before(value.data());
    char *got = osl_url_get_param(url.data(), name.data(), value.data(), row.valuesize);
    if (row.value == nullptr) {
      EXPECT_EQ(got, nullptr) << "'" << row.name << "' in '" << row.url << "'";
      EXPECT_EQ(before, value.data()) << "an absent parameter leaves value untouched";
    } else {
      EXPECT_EQ(got, value.data()) << "'" << row.name << "' in '" << row.url << "'";
      EXPECT_STREQ(value.data(), row.value) << "'" << row.name << "' in '" << row.url << "'";
    }
  }
  char one[1] = {'Z'};
  std::vector<char> url = buf_of("a=1");
  char a[] = "a";
  EXPECT_EQ(osl_url_get_param(url.data(), a, one, 0), nullptr);
  EXPECT_EQ(one[0], 'Z');
}

TEST(Url, GetParamNumericForms) {
  const std::string pad62(62, '0'), pad63(63, '0');
  const struct {
    std::string url;
    int32_t i;
    long l;
    int64_t i64;
    uint64_t u64;
    bool in_long_range;  // atol is only checked where the value fits a 32-bit long
  } rows[] = {
      {"?n=42", 42, 42L, 42, 42u, true},
      {"?n=-7&m=1", -7, -7L, -7, 0u, true},
      {"?m=1", -1, -1L, -1, 0u, true},
      {"?n=", 0, 0L, 0, 0u, true},
      {"?n=abc", 0, 0L, 0, 0u, true},
      {"?n=-1", -1, -1L, -1, 0u, true},
      {"?n=9223372036854775807", INT32_MAX, 0L, INT64_MAX, 9223372036854775807u, false},
      {"?n=18446744073709551617", INT32_MAX, 0L, 1, 1u, false},
      // Past int32_t the int form saturates on every target; it never flips the sign.
      {"?n=2147483647", INT32_MAX, 2147483647L, INT32_MAX, 2147483647u, true},
      {"?n=2147483648", INT32_MAX, 0L, 2147483648, 2147483648u, false},
      {"?n=-2147483649", INT32_MIN, 0L, -2147483649LL, 0u, false},
      {"?n=4294967297", INT32_MAX, 0L, 4294967297LL, 4294967297u, false},
      // int and long read as atoi and atol do: white space and a "+" first, text after digits.
      {"?n=+7", 7, 7L, 0, 0u, true},
      {"?n=\t-7x", -7, -7L, 0, 0u, true},
      {"?n=7x", 7, 7L, 7, 7u, true},
      {"?n=-0", 0, 0L, 0, 0u, true},
      // 63 value bytes are read, the 64th is dropped.
      {"?n=" + pad62 + "5", 5, 5L, 5, 5u, true},
      {"?n=" + pad63 + "5", 0, 0L, 0, 0u, true},
  };
  for (const auto &row : rows) {
    std::vector<char> url = buf_of(row.url);
    char n[] = "n";
    EXPECT_EQ(osl_url_get_param_int64(url.data(), n), row.i64) << row.url;
    EXPECT_EQ(osl_url_get_param_uint64(url.data(), n), row.u64) << row.url;
    EXPECT_EQ(osl_url_get_param_int(url.data(), n), row.i) << row.url;
    if (row.in_long_range) {
      EXPECT_EQ(osl_url_get_param_long(url.data(), n), row.l) << row.url;
    }
  }
}

// atol saturates at the bounds of long, whatever its width.
TEST(Url, GetParamLongSaturates) {
  char n[] = "n";
  char high[] = "?n=99999999999999999999";
  char low[] = "?n=-99999999999999999999";
  EXPECT_EQ(osl_url_get_param_long(high, n), LONG_MAX);
  EXPECT_EQ(osl_url_get_param_long(low, n), LONG_MIN);
}

TEST(Url, GetheadvalForwardsToLineLookup) {
  std::vector<char> head = buf_of("HTTP/1.1 200 OK\r\nContent-Length: 25 \r\n\r\n");
  char name[] = "content-length";
  char value[3];
  EXPECT_EQ(osl_url_getheadval(head.data(), -1, name, value, sizeof value), value);
  EXPECT_STREQ(value, "25");
  char small[2];
  EXPECT_EQ(osl_url_getheadval(head.data(), -1, name, small, sizeof small), small);
  EXPECT_STREQ(small, "2");
  char other[] = "Host";
  EXPECT_EQ(osl_url_getheadval(head.data(), -1, other, value, sizeof value), nullptr);
  EXPECT_STREQ(value, "");
  // Bounded to the head with its blank line, the body supplies no header.
  std::vector<char> reply = buf_of("HTTP/1.1 200 OK\r\nServer: x\r\n\r\nContent-Length: 999\r\n");
  EXPECT_EQ(osl_url_getheadval(reply.data(), 30, name, value, sizeof value), nullptr);
}

}  // namespace
