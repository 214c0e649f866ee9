// Date and time text: formatters and the lenient parser, in zones the tests set through TZ (and
// restore afterwards).
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

#include "osl_string.h"
#include "test_util.h"

namespace {

class DateText : public ::testing::Test {
 protected:
  void SetUp() override { use_tz("UTC0"); }
  static void use_tz(const char *tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

 private:
  osltest::SavedTz saved_tz_;
};

uint32_t parse(const char *text) {
  std::string copy(text);
  return osl_str_str2time(&copy[0], static_cast<int32_t>(copy.size()));
}

}  // namespace

TEST_F(DateText, FormatsLocalTime) {
  struct Case {
    const char *tz;
    uint32_t utc;
    const char *date, *wday, *short_form;
  } cases[] = {
      {"UTC0", 0, "1970-01-01 00:00:00", "1970-01-01Thu 00:00:00", "1970-1-1 0:0:0"},
      {"UTC0", 1709647629, "2024-03-05 14:07:09", "2024-03-05Tue 14:07:09", "2024-3-5 14:7:9"},
      {"GMT-8", 0, "1970-01-01 08:00:00", "1970-01-01Thu 08:00:00", "1970-1-1 8:0:0"},
      {"GMT+5", 0, "1969-12-31 19:00:00", "1969-12-31Wed 19:00:00", "1969-12-31 19:0:0"},
      {"UTC0", 1735689599, "2024-12-31 23:59:59", "2024-12-31Tue 23:59:59", "2024-12-31 23:59:59"},
      {"UTC0", 2208988800u, "2040-01-01 00:00:00", "2040-01-01Sun 00:00:00", "2040-1-1 0:0:0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.tz) + " " + std::to_string(c.utc));
    use_tz(c.tz);
    char buf[64];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(osl_str_utc2date(c.utc, buf, sizeof buf), buf);
    EXPECT_STREQ(buf, c.date);
    EXPECT_EQ(osl_str_utc2date_wday(c.utc, buf, sizeof buf), buf);
    EXPECT_STREQ(buf, c.wday);
    EXPECT_EQ(osl_str_time2str(c.utc, buf, sizeof buf), static_cast<int32_t>(strlen(c.short_form)));
    EXPECT_STREQ(buf, c.short_form);
  }
}

TEST_F(DateText, WeekdayNames) {
  const char *names[7] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
  for (uint32_t day = 0; day < 7; ++day) {
    char buf[32];
    osl_str_utc2date_wday(day * 86400u, buf, sizeof buf);
    EXPECT_EQ(std::string(buf).substr(10, 3), names[day]) << buf;
  }
}

TEST_F(DateText, CutTextStaysInsideTheBuffer) {
  char buf[16];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(osl_str_time2str(0, buf, 5), 14);  // the full length, although cut
  EXPECT_STREQ(buf, "1970");
  EXPECT_EQ(buf[5], 'x');

  memset(buf, 'x', sizeof buf);
  osl_str_utc2date(0, buf, 5);
  EXPECT_STREQ(buf, "1970");
  EXPECT_EQ(buf[5], 'x');

  memset(buf, 'x', sizeof buf);
  osl_str_utc2date_wday(0, buf, 1);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(buf[1], 'x');

  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(osl_get_strutc(buf, 11), buf);
  EXPECT_EQ(strlen(buf), 10u);
  EXPECT_EQ(buf[11], 'x');
}

TEST_F(DateText, CurrentTimeInDateForm) {
  use_tz("GMT-8");
  for (int i = 0; i < 5; ++i) {
    const uint32_t before = static_cast<uint32_t>(time(nullptr));
    char got[32], want[32];
    osl_get_strutc(got, sizeof got);
    if (static_cast<uint32_t>(time(nullptr)) != before) continue;
    osl_str_utc2date(before, want, sizeof want);
    EXPECT_STREQ(got, want);
    EXPECT_EQ(strlen(got), 19u);
    return;
  }
  FAIL() << "no two readings in the same second";
}

TEST_F(DateText, SecondsFrom2To31) {
  // 2038 on every target, the board included; 1901 is out of range.
  char buf[32];
  osl_str_utc2date(2147483648u, buf, sizeof buf);
  EXPECT_STREQ(buf, "2038-01-19 03:14:08");
  EXPECT_EQ(parse("1901-12-13 20:45:52"), 4294967295u);
  EXPECT_EQ(parse("2038-01-19 03:14:08"), 2147483648u);
}

TEST_F(DateText, ParsesLenientDateText) {
  struct Case {
    const char *text;
    uint32_t utc;
  } cases[] = {
      {"2024-03-05 14:07:09", 1709647629u},
      {"2024/3/5 14.7.9", 1709647629u},
      {"  2024--03//05 :14:07:09", 1709647629u},  // runs of separators, leading ones too
      {"2024-03-05 14:07:09 ", 1709647629u},      // trailing separator
      {"2024-03-05 14:07:09.123", 1709647629u},   // a seventh field is not read
      {"2024-03-05 14:07:09+08:00", 1709647629u},
      {"2024/3/5", 1709596800u},
      {"2024-03", 1709164800u},                   // day 0: the last day of February
      {"2024-03-05 14:75:09", 1709651709u},       // minute 75 normalised
      {"2024-xx-05", 1704412800u},                // a non-numeric month means January
      {"2024-03-05 14:07:0000000009", 1709647620u},  // ten bytes: the first nine are read
      {"2024-03-05 14:07:123456789012", 1709647620u + 123456789u},
      // A field is read as atoi reads it: white space, one sign, digits to the first other byte.
      {"2024-03-05 14:07:+9", 1709647629u},
      {"2024-03-05 14:07:\t9x", 1709647629u},
      {"2024-03-05 14:07:\t+-9", 1709647620u},
      {"1970-01-01 00:00:00", 0u},
      {"2040-01-01 00:00:00", 2208988800u},
      // Times that seconds in uint32_t cannot carry fail on every board, not wrap to other dates.
      {"2106-02-07 06:28:16", 4294967295u},
      {"1900-01-01 00:00:00", 4294967295u},
      {"", 4294967295u},  // no year: 1900
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse(c.text), c.utc);
  }

  // Only the first size bytes are read.
  char text[] = "2024-03-05 14:07:09";
  EXPECT_EQ(osl_str_str2time(text, 10), 1709596800u);
  EXPECT_EQ(osl_str_str2time(text, 13), 1709596800u + 14u * 3600u);
  // A terminator ends the text even when size reaches beyond it.
  char padded[40] = "2024-03-05";
  memcpy(padded + 11, "14:07:09", 8);
  EXPECT_EQ(osl_str_str2time(padded, sizeof padded), 1709596800u);
  // Also for a size of INT32_MAX on a text high in a 32-bit address space (as the board's stack
  // is), where the text's address plus the size lies past the top.
  const size_t page = 4096;
  void *high = mmap(reinterpret_cast<void *>(static_cast<uintptr_t>(0xf0000000u)), page,
                    PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(high, MAP_FAILED);
  strcpy(static_cast<char *>(high), "2024-03-05 14:07:09");
  EXPECT_EQ(osl_str_str2time(static_cast<char *>(high), INT32_MAX), 1709647629u);
  munmap(high, page);

  EXPECT_EQ(osl_str_str2time(nullptr, 10), 0u);
}

TEST_F(DateText, ParsesAsLocalStandardTime) {
  use_tz("GMT-8");
  EXPECT_EQ(parse("1970-01-01 08:00:00"), 0u);
  EXPECT_EQ(parse("2024-03-05 22:07:09"), 1709647629u);
  // Daylight-saving time all year: the text is still read as standard time.
  use_tz("AAA-1BBB,J1,J365");
  EXPECT_EQ(parse("2024-03-05 15:07:09"), 1709647629u);
}

TEST_F(DateText, Date2UtcIsAlwaysZero) {
  char text[] = "2024-03-05 14:07:09";
  EXPECT_EQ(osl_str_date2utc(text), 0u);
  EXPECT_EQ(osl_str_date2utc(nullptr), 0u);
}
