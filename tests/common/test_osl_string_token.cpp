// Tokenisers, trimming, size text, line values, numeric tests and path comparison. Inputs live
// in exact-size heap copies so that a sanitizer build sees any read past the terminator.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "osl_string.h"

namespace {

// A writable, exactly sized copy of text (terminator included).
std::vector<char> buf_of(const std::string &text) {
  return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

struct SplitRow {
  const char *in;
  const char *delim;
  std::vector<std::string> tokens;
};

TEST(StrToken, SplitYieldsTokensThenNull) {
  const SplitRow rows[] = {
      {"a,,b", ", ", {"a", "b"}},
      {",a", ",", {"", "a"}},
      {"a,", ",", {"a"}},
      {"a,,", ",", {"a"}},
      {",,,", ",", {""}},
      {"", ",", {""}},
      {"a, b;c", ", ;", {"a", "b", "c"}},
      {"abc", "", {"abc"}},
      {"a b", nullptr, {"a b"}},
  };
  for (const SplitRow &row : rows) {
    std::vector<char> buf = buf_of(row.in);
    char *cursor = buf.data();
    std::vector<std::string> got;
    for (int guard = 0; guard < 16; ++guard) {
      char *tok = osl_str_split(&cursor, row.delim);
      if (tok == nullptr) break;
      EXPECT_TRUE(tok >= buf.data() && tok < buf.data() + buf.size()) << row.in;
      got.push_back(tok);
    }
    EXPECT_EQ(got, row.tokens) << "input '" << row.in << "'";
    EXPECT_EQ(cursor, nullptr) << row.in;
  }
  char *none = nullptr;
  EXPECT_EQ(osl_str_split(&none, ","), nullptr);
}

struct SplitAllRow {
  const char *in;
  const char *sep;
  int32_t destsize;
  std::vector<std::string> segments;
};

TEST(StrToken, SplitAllCutsAtWholeSeparator) {
  const SplitAllRow rows[] = {
      {"a,,b", ",", 8, {"a", "", "b"}},
      {"a,b,", ",", 8, {"a", "b", ""}},
      {",", ",", 8, {"", ""}},
      {"a::b::c", "::", 8, {"a", "b", "c"}},
      {"a:b::c", "::", 8, {"a:b", "c"}},
      {"a,b,c", ",", 2, {"a", "b,c"}},
      {"a,b,c", ",", 3, {"a", "b", "c"}},
      {"a,b,c", ",", 1, {"a,b,c"}},
      {"abc", ",", 8, {"abc"}},
      {"aXbxc", "x", 8, {"aXb", "c"}},
      {"", ",", 8, {}},
      {"a,b", "", 8, {}},
      {"a,b", nullptr, 8, {}},
      {"a,b", ",", 0, {}},
      {"a,b", ",", -1, {}},
  };
  for (const SplitAllRow &row : rows) {
    std::vector<char> buf = buf_of(row.in);
    char *dest[8] = {};
    int32_t num = -7;
    osl_str_split_all(buf.data(), row.sep, dest, row.destsize, &num);
    ASSERT_EQ(num, static_cast<int32_t>(row.segments.size()))
        << "'" << row.in << "' at '" << (row.sep ? row.sep : "(null)") << "' size "
        << row.destsize;
    for (int32_t i = 0; i < num; ++i) EXPECT_EQ(row.segments[i], dest[i]) << row.in;
    for (int32_t i = num; i < 8; ++i) EXPECT_EQ(dest[i], nullptr) << row.in;
  }

  // Only the separator's first byte is overwritten; a null count pointer is allowed.
  std::vector<char> buf = buf_of("a::b");
  char *dest[2];
  osl_str_split_all(buf.data(), "::", dest, 2, nullptr);
  EXPECT_EQ(0, memcmp(buf.data(), "a\0:b", 5));
  int32_t num = -7;
  osl_str_split_all(nullptr, ",", dest, 2, &num);
  EXPECT_EQ(num, 0);
  osl_str_split_all(buf.data(), ",", nullptr, 2, &num);
  EXPECT_EQ(num, 0);
}

TEST(StrToken, TrimRemovesOuterWhiteSpaceInPlace) {
  const struct {
    const char *in, *out;
  } rows[] = {
      {"\t a b \r\n", "a b"}, {"   ", ""},   {"", ""},      {"a", "a"},
      {" a", "a"},            {"a ", "a"},  {"\n\r\t", ""}, {"\va\f", "\va\f"},
      {"x  y", "x  y"},
  };
  for (const auto &row : rows) {
    std::vector<char> buf = buf_of(row.in);
    EXPECT_EQ(osl_str_trim(buf.data()), buf.data());
    EXPECT_STREQ(buf.data(), row.out) << "input '" << row.in << "'";
  }
}

TEST(StrToken, TrimPathNormalisesSeparatorsAndDots) {
  const struct {
    const char *in, *out;
  } rows[] = {
      {"a\\b\\c", "a/b/c"},
      {"a//b///c", "a/b/c"},
      {"a\\\\b/\\c", "a/b/c"},
      {"/a/./b/./c", "/a/b/c"},
      {"a\\.\\b", "a/b"},
      {"/a/b/../../c", "/c"},
      {"a/b/../../../c", "/c"},
      {"a/b/../c", "a/c"},
      {"a/../b", "/b"},
      {"../a", "/a"},
      {"a\\..\\b", "/b"},
      {"/x/../y/", "/y/"},
      {"a/b//../c", "a/c"},
      {"a/b/c/..", "a/b/c/.."},
      {"/a/.", "/a/."},
      {"ab./c", "a/c"},
      {"./a", "a"},
      {".\\a", "a"},
      {"./", ""},
      {"././a", "a"},
      {".", "."},
      {"..", ".."},
      {"", ""},
      {"...a", "...a"},
  };
  for (const auto &row : rows) {
    std::vector<char> buf = buf_of(row.in);
    EXPECT_EQ(osl_str_trim_path(buf.data()), buf.data());
    EXPECT_STREQ(buf.data(), row.out) << "input '" << row.in << "'";
  }
}

TEST(StrToken, CalcsizeReadsDigitsAndSuffix) {
  const struct {
    const char *in;
    uint32_t size;
  } rows[] = {
      {"512", 512u},           {"4k", 4096u},
      {"4K", 4096u},           {"2M", 2097152u},
      {"1m", 1048576u},        {"2G", 2u},
      {"12 K", 12u},           {"K", 0u},
      {"", 0u},                {" 5", 0u},
      {"1kK", 1024u},          {"4095M", 4293918720u},
      {"4096M", 0u},           {"4194303K", 4294966272u},
      {"4194304K", 0u},        {"4294967295", 4294967295u},
      {"4294967296", 0u},      {"4294967297", 1u},
  };
  for (const auto &row : rows) {
    std::vector<char> buf = buf_of(row.in);
    EXPECT_EQ(osl_str_calcsize(buf.data()), row.size) << "input '" << row.in << "'";
  }
}

struct GetvalRow {
  const char *buf;
  int32_t buflen;
  const char *name;
  int32_t valuelen;
  bool found;
  const char *value;
};

TEST(StrToken, GetvalFindsLineValues) {
  const char *http =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 25\r\n\r\n{}";
  const char *lookup =
      "Server:\t\t127.0.0.1\nAddress:\t127.0.0.1#53\n\nName:\thost\nAddress 1: 10.0.0.1\n";
  const GetvalRow rows[] = {
      {http, -1, "content-length", 32, true, "25"},
      {http, -1, "CONTENT-TYPE", 32, true, "application/json"},
      {http, -1, "Server", 32, false, ""},
      {lookup, -1, "Address 1", 32, true, "10.0.0.1"},
      {lookup, -1, "Address", 32, true, "127.0.0.1#53"},
      {lookup, -1, "name", 32, true, "host"},
      {"Name: v   \r\n", -1, "Name", 32, true, "v"},
      {"Name: v \t\n", -1, "Name", 32, true, "v \t"},
      {"k=v", -1, "k", 32, true, "v"},
      {"k\tv", -1, "k", 32, true, "v"},
      {"  ,\tKey := , val", -1, "key", 32, true, "val"},
      {"Host\r\nHost: x", -1, "Host", 32, true, "x"},
      {"Host", -1, "Host", 32, false, ""},
      {"Ke", -1, "Key", 32, false, ""},
      {"Name:\r\nNext: 1", -1, "Name", 32, true, ""},
      {"Name:", -1, "Name", 32, true, ""},
      {"a=1, b=2", -1, "b", 32, false, ""},
      {"a=1, b=2", -1, "a", 32, true, "1, b=2"},
      // valuelen: at most valuelen-1 bytes of '12345'.
      {"n: 12345", -1, "n", 7, true, "12345"},
      {"n: 12345", -1, "n", 6, true, "12345"},
      {"n: 12345", -1, "n", 5, true, "1234"},
      {"n: 12345", -1, "n", 3, true, "12"},
      {"n: 12345", -1, "n", 2, true, "1"},
      {"n: 12345", -1, "n", 1, true, ""},
      // buflen bounds where a line may begin, not how far it is read.
      {"xx\nKey: v", 3, "Key", 32, false, ""},
      {"xx\nKey: v", 4, "Key", 32, true, "v"},
      {"Key: value", 1, "Key", 32, true, "value"},
      {"Key: value", 0, "Key", 32, false, ""},
      {"Key", 100, "Key", 32, false, ""},
      // Blank lines and leading blanks count towards the bound too.
      {"xx\n\nKey: v", 4, "Key", 32, false, ""},
      {"\r\n  Key: v", 3, "Key", 32, false, ""},
      {"a\n", 100, "b", 32, false, ""},
  };
  for (const GetvalRow &row : rows) {
    std::vector<char> buf = buf_of(row.buf);
    std::vector<char> name = buf_of(row.name);
    std::vector<char> value(static_cast<size_t>(row.valuelen) + 1, 'Z');
    char *got = osl_str_getval(buf.data(), row.buflen, name.data(), value.data(), row.valuelen);
    EXPECT_EQ(got, row.found ? value.data() : nullptr)
        << "'" << row.name << "' in '" << row.buf << "' buflen " << row.buflen;
    EXPECT_STREQ(value.data(), row.value) << "'" << row.name << "' in '" << row.buf << "'";
    EXPECT_EQ(value[static_cast<size_t>(row.valuelen)], 'Z') << "wrote past valuelen";
    EXPECT_STREQ(buf.data(), row.buf) << "the text must stay unchanged";
  }
}

// The whole key: the name, optional blanks, then "=", ":" or a tab.
TEST(StrToken, GetvalExactMatchesWholeKeys) {
  const char *conf = "poll_cmd = /bin/true\npoll = 30\n";
  const GetvalRow rows[] = {
      {conf, -1, "poll", 32, true, "30"},
      {conf, -1, "POLL_CMD", 32, true, "/bin/true"},
      {conf, -1, "pol", 32, false, ""},
      {"poll:5", -1, "poll", 32, true, "5"},
      {"poll\t5", -1, "poll", 32, true, "5"},
      {"poll \t 5", -1, "poll", 32, true, "5"},       // a tab among the blanks separates
      {"poll \t = 5 ", -1, "poll", 32, true, "5"},
      {"poll 5", -1, "poll", 32, false, ""},          // a space alone does not
      {"poll x=5", -1, "poll", 32, false, ""},
      {"poll", -1, "poll", 32, false, ""},
      {"poll =\nnext = 1", -1, "poll", 32, true, ""},
      {"  ,poll=a, b", -1, "poll", 32, true, "a, b"},
      {"poll=12345", -1, "poll", 4, true, "123"},
      {"x=1\npoll=2", 3, "poll", 32, false, ""},     // buflen bounds where lines begin
      {"x=1\npoll=2", 5, "poll", 32, true, "2"},
      {"=5", -1, "", 32, false, ""},
  };
  for (const GetvalRow &row : rows) {
    std::vector<char> buf = buf_of(row.buf);
    std::vector<char> value(static_cast<size_t>(row.valuelen) + 1, 'Z');
    char *got = osl_str_getval_exact(buf.data(), row.buflen, row.name, value.data(), row.valuelen);
    EXPECT_EQ(got, row.found ? value.data() : nullptr) << "'" << row.name << "' in '" << row.buf << "'";
    EXPECT_STREQ(value.data(), row.value) << "'" << row.name << "' in '" << row.buf << "'";
    EXPECT_EQ(value[static_cast<size_t>(row.valuelen)], 'Z') << "wrote past valuelen";
  }
  // The prefix lookup keeps its contract: "poll" reads the first line that starts with it.
  char value[32];
  EXPECT_STREQ(osl_str_getval(conf, -1, "poll", value, 32), "/bin/true");
  EXPECT_EQ(osl_str_getval_exact(nullptr, -1, "poll", value, 32), nullptr);
}

TEST(StrToken, NumericTests) {
  const struct {
    const char *in;
    int32_t isaddr, isnumeric, isfloat;
  } rows[] = {
      {"10.0.0.1", 0, 0, 1},   {"...", 0, 0, 1},  {"10.0.0.1a", -1, 0, 0},
      {"", -1, 0, 0},          {"0123", 0, 1, 1}, {"-1", -1, 0, 0},
      {"3.14", 0, 0, 1},       {"1.2.3", 0, 0, 1}, {"1e5", -1, 0, 0},
      {"-1.5", -1, 0, 0},      {" 1", -1, 0, 0},  {"1 ", -1, 0, 0},
      {"+1", -1, 0, 0},        {"7", 0, 1, 1},
  };
  for (const auto &row : rows) {
    std::vector<char> buf = buf_of(row.in);
    EXPECT_EQ(osl_str_isaddr(buf.data()), row.isaddr) << "'" << row.in << "'";
    EXPECT_EQ(osl_str_isnumeric(buf.data()), row.isnumeric) << "'" << row.in << "'";
    EXPECT_EQ(osl_str_isfloat(buf.data()), row.isfloat) << "'" << row.in << "'";
  }
  EXPECT_EQ(osl_str_isnumeric(nullptr), 0);
  EXPECT_EQ(osl_str_isfloat(nullptr), 0);
}

TEST(StrToken, DecimalTo64Bit) {
  const struct {
    const char *in;
    int64_t s;
    uint64_t u;
  } rows[] = {
      {"  -42", -42, 0u},
      {"+42", 0, 0u},
      {"12abc", 12, 12u},
      {"-1", -1, 0u},
      {"", 0, 0u},
      {"\t5", 0, 0u},
      {"- 5", 0, 0u},
      {"--5", 0, 0u},
      {"9223372036854775807", INT64_MAX, 9223372036854775807u},
      {"9223372036854775808", INT64_MIN, 9223372036854775808u},
      {"-9223372036854775808", INT64_MIN, 0u},
      {"18446744073709551615", -1, UINT64_MAX},
      {"18446744073709551616", 0, 0u},
      {"18446744073709551617", 1, 1u},
  };
  for (const auto &row : rows) {
    std::vector<char> buf = buf_of(row.in);
    EXPECT_EQ(osl_str_str2int64(buf.data()), row.s) << "'" << row.in << "'";
    EXPECT_EQ(osl_str_str2uint64(buf.data()), row.u) << "'" << row.in << "'";
  }
  EXPECT_EQ(osl_str_str2int64(nullptr), 0);
  EXPECT_EQ(osl_str_str2uint64(nullptr), 0u);
}

// The checked parse: the value or EINVAL/ERANGE, *out untouched on failure.
TEST(StrToken, ToInt64IsChecked) {
  const struct {
    const char *in;
    int err;  // 0: parsed
    int64_t value;
  } rows[] = {
      {"42", 0, 42},
      {"-42", 0, -42},
      {"+42", 0, 42},
      {" \t\n42", 0, 42},
      {"007", 0, 7},
      {"-0", 0, 0},
      {"9223372036854775807", 0, INT64_MAX},
      {"-9223372036854775808", 0, INT64_MIN},
      {"9223372036854775808", ERANGE, 0},
      {"-9223372036854775809", ERANGE, 0},
      {"99999999999999999999999", ERANGE, 0},
      {"", EINVAL, 0},
      {"   ", EINVAL, 0},
      {"-", EINVAL, 0},
      {"+-1", EINVAL, 0},
      {"- 1", EINVAL, 0},
      {"12abc", EINVAL, 0},
      {"12 ", EINVAL, 0},
      {"12\n", EINVAL, 0},
      {"0x10", EINVAL, 0},
      {"99999999999999999999x", EINVAL, 0},  // not a number at all before it is too large
  };
  for (const auto &row : rows) {
    std::vector<char> buf = buf_of(row.in);
    int64_t out = 12345;
    errno = 0;
    const int r = osl_str_to_int64(buf.data(), &out);
    EXPECT_EQ(r, row.err == 0 ? 0 : -1) << "'" << row.in << "'";
    EXPECT_EQ(errno, row.err) << "'" << row.in << "'";
    EXPECT_EQ(out, row.err == 0 ? row.value : 12345) << "'" << row.in << "'";
  }
  int64_t out = 0;
  EXPECT_EQ(osl_str_to_int64(nullptr, &out), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(osl_str_to_int64("1", nullptr), -1);
}

TEST(StrToken, CmppathComparesBytes) {
  const struct {
    const char *a, *b;
    int32_t len;
    int sign;
  } rows[] = {
      {"a/b", "a/b", -1, 0}, {"a/b", "a/c", -1, -1}, {"a/c", "a/b", -1, 1},
      {"a/b", "a/c", 2, 0},  {"a/b", "a/c", 3, -1},  {"A", "a", -1, -1},
      {"/x", "/x/", -1, -1}, {"/x", "/x/", 2, 0},    {"x", "y", 0, 0},
      {"a/./b", "a/b", -1, -1},
  };
  for (const auto &row : rows) {
    std::vector<char> a = buf_of(row.a), b = buf_of(row.b);
    const int32_t r = osl_str_cmppath(a.data(), b.data(), row.len);
    EXPECT_EQ((r > 0) - (r < 0), row.sign) << row.a << " vs " << row.b << " len " << row.len;
  }
}

}  // namespace
