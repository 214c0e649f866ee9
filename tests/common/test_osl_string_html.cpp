// HTML escaping: the entities, the room of the output, and the messages on the debug log.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "osl_log.h"
#include "osl_string.h"
#include "test_util.h"

namespace {

class HtmlEscape : public ::testing::Test {
 protected:
  void SetUp() override { osl_log_init(OSL_LOG_ALL); }  // console, debug texts admitted
  void TearDown() override { osl_log_init(OSL_LOG_WARN); }

  // Runs the escaping with stdout captured; returns what the log printed.
  std::string escape(const char *src, int32_t srclen, char *dst, int32_t dstsize) {
    osltest::StdoutCapture cap;
    cap.start();
    osl_str_html_escape(src, srclen, dst, dstsize);
    return cap.stop();
  }
};

TEST_F(HtmlEscape, EntitiesAndLogMessage) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"x<1 & y>2", "x&lt;1 &amp; y&gt;2"},
      {"\"", "&quot;"},
      {"it's", "it's"},
      {"plain", "plain"},
      {"<<>>", "&lt;&lt;&gt;&gt;"},
  };
  for (const auto &c : cases) {
    char dst[128];
    memset(dst, 'Z', sizeof dst);
    const std::string log = escape(c.in.c_str(), static_cast<int32_t>(c.in.size()), dst, 128);
    EXPECT_EQ(std::string(dst), c.out);
    EXPECT_EQ(log, "[COther][escape_html] index=" + std::to_string(c.out.size()) +
                       ", dst=" + c.out + "\n");
  }
}

TEST_F(HtmlEscape, ZeroByteIsCopied) {
  char dst[16];
  memset(dst, 'Z', sizeof dst);
  escape("a\0b", 3, dst, 16);
  EXPECT_EQ(std::string(dst, 4), std::string("a\0b\0", 4));
}

TEST_F(HtmlEscape, StopsBeforeAnItemThatDoesNotFit) {
  const struct {
    int32_t size;
    std::string out;
  } cases[] = {{1, ""}, {2, "a"}, {6, "a"}, {7, "a&amp;"}, {8, "a&amp;b"}};
  for (const auto &c : cases) {
    char dst[16];
    memset(dst, 'Z', sizeof dst);
    escape("a&b", 3, dst, c.size);
    EXPECT_EQ(std::string(dst), c.out) << "size " << c.size;
    EXPECT_EQ(dst[c.size], 'Z') << "wrote beyond size " << c.size;
  }
}

TEST_F(HtmlEscape, BadArgumentsAreLoggedAndLeaveDstAlone) {
  char dst[8];
  memset(dst, 0, sizeof dst);
  strcpy(dst, "old");
  EXPECT_EQ(escape("abc", 0, dst, 8),
            "[osl_str_html_escape] param error!!! srclen=0, src=, dstsize=8, dst=old\n");
  EXPECT_STREQ(dst, "old");
  EXPECT_EQ(escape(nullptr, 3, dst, 8),
            "[osl_str_html_escape] param error!!! srclen=3, src=(null), dstsize=8, dst=old\n");
  EXPECT_EQ(escape("abc", 3, nullptr, 8),
            "[osl_str_html_escape] param error!!! srclen=3, src=abc, dstsize=8, dst=(null)\n");
  // The destination is not read beyond the size the caller gave (here none at all).
  EXPECT_EQ(escape("abc", 3, dst, 0),
            "[osl_str_html_escape] param error!!! srclen=3, src=abc, dstsize=0, dst=\n");
  EXPECT_STREQ(dst, "old");
}

TEST_F(HtmlEscape, SilentAboveDebugLevel) {
  osl_log_set_level(OSL_LOG_INFO);
  char dst[16];
  EXPECT_EQ(escape("a<b", 3, dst, 16), "");
  EXPECT_STREQ(dst, "a&lt;b");
  EXPECT_EQ(escape(nullptr, 3, dst, 16), "");
}

}  // namespace
