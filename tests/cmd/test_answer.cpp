// The tool's answer handling fed bytes directly: the header cut and the JSON decisions at the
// places where a byte more or less changes the outcome.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "answer.h"

namespace {

// Runs the cut on a copy of text laid in a zero-filled 1024-byte buffer, as the tool does.
std::string cut(const std::string &text, int32_t *len) {
  char buf[1024];
  memset(buf, 0, sizeof buf);
  memcpy(buf, text.data(), text.size());
  *len = answer_cut_body(buf, static_cast<int32_t>(text.size()));
  return *len > 0 ? std::string(buf, static_cast<size_t>(*len)) : std::string();
}

TEST(Answer, HeaderCut) {
  struct Row {
    std::string in;
    int32_t len;
    std::string body;
  } rows[] = {
      {"H\r\n\r\nab", 2, "ab"},
      {"\r\n\r\nx", 1, "x"},                  // no status line at all: still a blank line
      {"H\r\n\r\n", -6, ""},                  // nothing after the blank line
      {"H\r\n\r\n\r\n\r\nb", 5, "\r\n\r\nb"}, // only the first blank line counts
      {"H\r\n\r", -5, ""},
      {"H\n\nbody", -5, ""},                  // bare line feeds are no blank line
      {"", -5, ""},
      {std::string("H\0\r\n\r\nb", 7), -5, ""},  // the search stops at the first zero byte
  };
  for (const auto &r : rows) {
    int32_t len = 0;
    const std::string body = cut(r.in, &len);
    EXPECT_EQ(len, r.len) << testing::PrintToString(r.in);
    EXPECT_EQ(body, r.body) << testing::PrintToString(r.in);
  }
  // The body is terminated in place after the move.
  char buf[32] = "X: y\r\n\r\n{\"code\":0}";
  ASSERT_EQ(answer_cut_body(buf, static_cast<int32_t>(strlen(buf))), 10);
  EXPECT_STREQ(buf, "{\"code\":0}");
}

TEST(Answer, JsonDecisions) {
  struct Row {
    cmd_kind kind;
    const char *body, *line;
  } rows[] = {
      {CMD_STATUS, "{\"code\":null,\"result\":{\"cdmaEnable\":1}}", "执行出错.code=-1001\n"},
      {CMD_START, "{\"code\":null}", "执行出错.code=-2001\n"},
      {CMD_STOP, "null", "执行出错.code=-3001\n"},
      {CMD_STOP, "", "执行出错.code=-3001\n"},
      {CMD_START, "{\"code\":\"7\"}", "执行出错.code=7\n"},  // json-c's integer conversion
      {CMD_START, "{\"code\":1.9}", "执行出错.code=1\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":null}}", "执行出错.code=-1002\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":null}", "执行出错.code=-1002\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":[1]}", "执行出错.code=-1002\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":-1}}", "执行出错.code=-1003, result=-1\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":\"1\"}}", "CDMA is running.\n"},
      {CMD_STATUS, "{\"code\":2147483647}", "执行出错.code=2147483647\n"},
      {CMD_STATUS, "{\"code\":-2147483648}", "执行出错.code=-2147483648\n"},
      // json_tokener_parse takes the first complete value and ignores what follows it.
      {CMD_STOP, "{\"code\":0} trailing", "OK. CDMA stopped.\n"},
  };
  for (const auto &r : rows) {
    char line[256];
    const int32_t n = answer_line(r.kind, r.body, line, sizeof line);
    EXPECT_STREQ(line, r.line) << r.body;
    EXPECT_EQ(n, static_cast<int32_t>(strlen(r.line))) << r.body;
  }
  // A small line buffer is never overrun and stays terminated.
  char small[8];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(answer_line(CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":1}}", small, 8), 7);
  EXPECT_EQ(small[7], '\0');
}

}  // namespace
