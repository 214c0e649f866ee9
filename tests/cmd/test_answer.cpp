// The tool's side of the protocol fed bytes directly: the request bytes, when an answer is
// complete, the header cut, the chunk decoder and the JSON decisions, at the places where a
// byte more or less changes the outcome.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "http_framing.h"
#include "reply_lines.h"

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
      {std::string("H\0\r\n\r\nb", 7), 1, "b"},  // a zero byte hides no blank line
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
      {CMD_START, "{\"code\":\"7\"}", "执行出错.code=7\n"},  // decimal digits in a string
      {CMD_START, "{\"code\":\"-7\"}", "执行出错.code=-7\n"},
      {CMD_START, "{\"code\":\"+0\"}", "OK. CDMA is running.\n"},
      {CMD_START, "{\"code\":\"99999999999\"}", "执行出错.code=2147483647\n"},
      {CMD_START, "{\"code\":2.0}", "执行出错.code=2\n"},  // an integral value
      {CMD_START, "{\"code\":0.0}", "OK. CDMA is running.\n"},
      {CMD_START, "{\"code\":-3e0}", "执行出错.code=-3\n"},
      {CMD_STOP, "{\"code\":1e300}", "执行出错.code=2147483647\n"},
      {CMD_STOP, "{\"code\":-1e300}", "执行出错.code=-2147483648\n"},
      // Beyond 32 bits a number counts only when it is whole, up to the last fractions at 2^52.
      {CMD_STOP, "{\"code\":1e15}", "执行出错.code=2147483647\n"},
      {CMD_STOP, "{\"code\":-4294967296.0}", "执行出错.code=-2147483648\n"},
      {CMD_STOP, "{\"code\":2147483647.5}", "执行出错.code=-3001\n"},
      {CMD_STOP, "{\"code\":-2147483648.5}", "执行出错.code=-3001\n"},
      {CMD_STOP, "{\"code\":4294967296.5}", "执行出错.code=-3001\n"},
      {CMD_STOP, "{\"code\":4503599627370495.5}", "执行出错.code=-3001\n"},
      // Nothing else may pass as 0 (success): each is the parse-failure line.
      {CMD_START, "{\"code\":1.9}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":0.5}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":NaN}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":-Infinity}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":false}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":true}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":1e-400}", "执行出错.code=-2001\n"},      // reads as 0.0
      {CMD_START, "{\"code\":5,\"code\\u0000\":0}", "执行出错.code=-2001\n"},  // not "code"
      {CMD_START, "{\"code\":{}}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":[0]}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":\"ok\"}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":\"\"}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":\"-\"}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":\" 0\"}", "执行出错.code=-2001\n"},
      {CMD_START, "{\"code\":\"0x0\"}", "执行出错.code=-2001\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":true}}", "执行出错.code=-1002\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":0.5}}", "执行出错.code=-1002\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":\"on\"}}", "执行出错.code=-1002\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":1.0}}", "CDMA is running.\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":4294967297}}",
       "执行出错.code=-1003, result=2147483647\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":null}}", "执行出错.code=-1002\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":null}", "执行出错.code=-1002\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":[1]}", "执行出错.code=-1002\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":-1}}", "执行出错.code=-1003, result=-1\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":\"1\"}}", "CDMA is running.\n"},
      // The whole string counts, by its JSON length.
      {CMD_START, "{\"code\":\"0\\u0000 failed: radio busy\"}", "执行出错.code=-2001\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":\"1\\u0000\"}}", "执行出错.code=-1002\n"},
      {CMD_STATUS, "{\"code\":2147483647}", "执行出错.code=2147483647\n"},
      {CMD_STATUS, "{\"code\":-2147483648}", "执行出错.code=-2147483648\n"},
      // Exactly one JSON value, only whitespace around it.
      {CMD_STOP, "{\"code\":0} trailing", "执行出错.code=-3001\n"},
      {CMD_STOP, "{'code':0}", "执行出错.code=-3001\n"},
      {CMD_STOP, "{\"code\":0,}", "执行出错.code=-3001\n"},
      {CMD_STOP, "/*x*/{\"code\":0}", "执行出错.code=-3001\n"},
      {CMD_STOP, "{\"code\":00}", "执行出错.code=-3001\n"},
      {CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":NaN}}", "执行出错.code=-1001\n"},
  };
  for (const auto &r : rows) {
    char line[256];
    const int32_t n = answer_line(r.kind, r.body, static_cast<int32_t>(strlen(r.body)), line, sizeof line);
    EXPECT_STREQ(line, r.line) << r.body;
    EXPECT_EQ(n, static_cast<int32_t>(strlen(r.line))) << r.body;
  }
  // Nesting is counted per container: 32 pass whatever the innermost holds, 33 never do.
  struct Nest {
    int arrays;  // inside the answer object
    const char *inner;
    const char *line;
  } nests[] = {
      {31, "", "OK. CDMA is running.\n"},   {31, "7", "OK. CDMA is running.\n"},
      {30, "{}", "OK. CDMA is running.\n"}, {30, "{\"a\":[]}", "执行出错.code=-2001\n"},
      {30, "{\"a\":1}", "OK. CDMA is running.\n"}, {31, "{}", "执行出错.code=-2001\n"},
      {32, "", "执行出错.code=-2001\n"},      {32, "7", "执行出错.code=-2001\n"},
  };
  for (const auto &r : nests) {
    const std::string body = "{\"code\":0,\"x\":" + std::string(static_cast<size_t>(r.arrays), '[') +
                             r.inner + std::string(static_cast<size_t>(r.arrays), ']') + "}";
    char line[256];
    answer_line(CMD_START, body.c_str(), static_cast<int32_t>(body.size()), line, sizeof line);
    EXPECT_STREQ(line, r.line) << body;
  }
  // A small line buffer is never overrun and stays terminated.
  char small[8];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(answer_line(CMD_STATUS, "{\"code\":0,\"result\":{\"cdmaEnable\":1}}", 36, small, 8), 7);
  EXPECT_EQ(small[7], '\0');
}

// The request bytes, built without a socket.
TEST(Answer, RequestBytes) {
  const std::string too_long(600, 'x');
  const char kHead[] = "Host: 127.0.0.1:8668\r\nAccept: application/json, */*\r\nConnection: close\r\n";
  struct Row {
    bool post;
    const char *path, *params;
    int32_t room;
    std::string want;  // empty: does not fit
  } rows[] = {
      {false, "/zov/lum/info", nullptr, 512, std::string("GET /zov/lum/info HTTP/1.1\r\n") + kHead + "\r\n"},
      {false, "/zov/lum/info", "", 512, std::string("GET /zov/lum/info HTTP/1.1\r\n") + kHead + "\r\n"},
      {true, "/zov/cdma/enable", "enable=1", 512,
       std::string("POST /zov/cdma/enable HTTP/1.1\r\n") + kHead +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 8\r\n\r\nenable=1"},
      {true, "/zov/cdma/enable", "enable=0", 512,
       std::string("POST /zov/cdma/enable HTTP/1.1\r\n") + kHead +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 8\r\n\r\nenable=0"},
      {false, "/p", "a=1", 512, std::string("GET /p?a=1 HTTP/1.1\r\n") + kHead + "\r\n"},
      {true, "/p", nullptr, 512, std::string("POST /p HTTP/1.1\r\n") + kHead + "\r\n"},
      // Exactly full (length + terminator) fits; one byte less is refused, never cut.
      {false, "/p", nullptr, 92, std::string("GET /p HTTP/1.1\r\n") + kHead + "\r\n"},
      {false, "/p", nullptr, 91, ""},
      {true, "/p", too_long.c_str(), 512, ""},
  };
  for (const auto &r : rows) {
    char buf[1024];
    memset(buf, 'z', sizeof buf);
    const int32_t n = answer_build_request(r.post, r.path, r.params, buf, r.room);
    if (r.want.empty()) {
      EXPECT_EQ(n, -1) << r.path << " room " << r.room;
    } else {
      ASSERT_EQ(n, static_cast<int32_t>(r.want.size())) << r.path << " room " << r.room;
      EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), r.want);
    }
    EXPECT_EQ(buf[r.room], 'z') << "written past the room";
  }
}

// When the tool may stop receiving, and what the cut then leaves to parse.
TEST(Answer, CompleteAndBody) {
  const std::string h = "HTTP/1.1 200 OK\r\n";
  const std::string te = "Transfer-Encoding: chunked\r\n\r\n";
  struct Row {
    std::string in;
    int32_t complete;
    int32_t len;       // answer_take_body
    std::string body;  // what is left to parse
  } rows[] = {
      {h + "Content-Length: 2\r\n\r\nab", 1, 2, "ab"},
      {h + "Content-Length: 3\r\n\r\nab", 0, 2, "ab"},  // half-way: judged as it stands
      {h + "Content-Length: 2\r\n\r\n", 0, -6, ""},
      {h + "Content-Length: 2\r\n\r\n{\"code\":0}", 1, 2, "{\""},  // the length ends the body
      {h + "Content-Length: 0\r\n\r\nab", 1, -6, ""},
      {h + std::string("X: \0\r\n", 6) + "Content-Length: 2\r\n\r\nab", 1, 2, "ab"},
      // Interim heads before the answer are dropped; 101 is an answer of its own.
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early\r\nLink: </a>\r\n\r\n" + h +
           "Content-Length: 2\r\n\r\nab", 1, 2, "ab"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 101 Switching\r\n\r\n{}", 0, 2, "{}"},
      {h + "content-LENGTH:2 \r\n\r\nab", 1, 2, "ab"},
      {h + "Content-Length: 0\r\n\r\n", 1, -6, ""},
      // Framing no byte can mend: decided at once, nothing to parse.
      {h + "Content-Length: 2x\r\n\r\nab", 1, 0, ""},
      {h + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nabc", 1, 0, ""},
      {h + "Content-Length: 2, 2\r\n\r\nab", 1, 2, "ab"},  // the same value counts once
      {h + "Content-Length: 2147483648, 02147483649\r\n\r\nab", 1, 0, ""},  // past the clamp
      {h + "Transfer-Encoding:\r\n chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n", 1, 2, "hi"},  // folded
      {h + "Content-Length: 99999999999999999999\r\n\r\nab", 0, 2, "ab"},
      {h + "X-Content-Length: 2\r\n\r\nab", 0, 2, "ab"},
      {h + "Content-Length: 2\r\n", 0, -5, ""},           // headers not finished
      // Only a code of exactly three digits and a space or CR makes an interim head.
      {"HTTP/1.1 1000 X\r\nContent-Length: 2\r\n\r\nab", 1, 2, "ab"},
      {"HTTP/1.1 100X\r\nContent-Length: 2\r\n\r\nab", 1, 2, "ab"},
      {"HTTP/1.1 10\r\nContent-Length: 2\r\n\r\nab", 1, 2, "ab"},
      {"HTTP/1.1 199 Odd\r\n\r\n" + h + "Content-Length: 2\r\n\r\nab", 1, 2, "ab"},
      // A coding that is not chunked overrides Content-Length: the body runs to the close.
      {h + "Transfer-Encoding: gzip\r\nContent-Length: 2\r\n\r\nabcd", 0, 4, "abcd"},
      {h + "Content-Length: 2\r\nTransfer-Encoding: chunked, gzip\r\n\r\nabcd", 0, 4, "abcd"},
      {h + "Transfer-Encoding: identity\r\nContent-Length: x\r\n\r\nabcd", 0, 4, "abcd"},
      {h + "Transfer-Encoding: gzip\r\n\r\n", 0, -6, ""},
      {h + "Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n2\r\nhi\r\n0\r\n\r\n",
       0, 12, "2\r\nhi\r\n0\r\n\r\n"},
      {h + "\r\n{}", 0, 2, "{}"},                          // no length: ends at the close
      {"Content-Length: 1\r\n\r\nx", 0, 1, "x"},          // the first line is never a header
      // Chunked, whatever its case; it wins over Content-Length.
      {h + te + "5\r\nhello\r\n0\r\n\r\n", 1, 5, "hello"},
      {h + "transfer-encoding: CHUNKED\r\n\r\n2\r\nhi\r\n0\r\n\r\n", 1, 2, "hi"},
      {h + "Transfer-Encoding: gzip, chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n", 1, 2, "hi"},
      {h + "Content-Length: 3\r\n" + te + "2\r\nhi\r\n0\r\n\r\n", 1, 2, "hi"},
      {h + "Transfer-Encoding: chunked, ,\r\n\r\n2\r\nhi\r\n0\r\n\r\n", 1, 2, "hi"},
      {h + te + "2\r\n{}\r\n3\r\n[1]\r\n0\r\n\r\n", 1, 5, "{}[1]"},
      {h + te + "A;ext=1\r\n0123456789\r\n0;x\r\nTrailer: y\r\n\r\n", 1, 10, "0123456789"},
      {h + te + "a \r\n0123456789\r\n0\r\n\r\n", 1, 10, "0123456789"},
      {h + te + "0\r\n\r\n", 1, -6, ""},                // no data: empty, as Content-Length: 0
      // Not yet complete: the last chunk or the end of the trailers is still to come.
      {h + te + "5\r\nhello\r\n", 0, 0, ""},
      {h + te + "5\r\nhel", 0, 0, ""},
      {h + te + "5\r\nhello\r\n0\r\n", 0, 5, "hello"},
      {h + te + "5\r\nhello\r\n0\r\nT: 1\r\n", 0, 5, "hello"},
      // Malformed: decided at once, and nothing is left to parse.
      {h + te + "x\r\nhello\r\n0\r\n\r\n", 1, 0, ""},
      {h + te + "5\r\nhelloXX0\r\n\r\n", 1, 0, ""},
      {h + te + "3\r\nhello\r\n0\r\n\r\n", 1, 0, ""},
      {h + te + "5\nhello\r\n0\r\n\r\n", 1, 0, ""},
      {h + te + "-5\r\nhello\r\n0\r\n\r\n", 1, 0, ""},
      {h + te + "ffffffffffffffffffff\r\nx", 1, 0, ""},  // cannot fit in the room
  };
  for (const auto &r : rows) {
    char buf[1024];
    memset(buf, 0, sizeof buf);
    memcpy(buf, r.in.data(), r.in.size());
    bool in_head = false;
    const int32_t n = answer_drop_interim(buf, static_cast<int32_t>(r.in.size()), &in_head);
    EXPECT_EQ(answer_complete(buf, n, 1023), r.complete) << testing::PrintToString(r.in);
    EXPECT_EQ(answer_take_body(buf, n), r.len) << testing::PrintToString(r.in);
    if (r.len >= 0) {
      EXPECT_EQ(std::string(buf), r.body) << testing::PrintToString(r.in);
    }
    // The same bytes one at a time, as the tool receives them: the same body.
    char piece[1024];
    memset(piece, 0, sizeof piece);
    int32_t have = 0;
    in_head = false;
    for (size_t i = 0; i < r.in.size(); ++i) {
      piece[have++] = r.in[i];
      have = answer_drop_interim(piece, have, &in_head);
      if (answer_complete(piece, have, 1023)) break;
    }
    EXPECT_EQ(answer_take_body(piece, have), r.len) << "in 1-byte pieces: " << testing::PrintToString(r.in);
    if (r.len >= 0) {
      EXPECT_EQ(std::string(piece), r.body) << "in 1-byte pieces: " << testing::PrintToString(r.in);
    }
  }
  // A status line cut right after its code is not judged yet: "100" may go on as "1000".
  char cut[] = "HTTP/1.1 100";
  bool in_head = false;
  EXPECT_EQ(answer_drop_interim(cut, 12, &in_head), 12);
  EXPECT_FALSE(in_head);
  char cont[] = "HTTP/1.1 100 ";
  EXPECT_EQ(answer_drop_interim(cont, 13, &in_head), 3);
  EXPECT_TRUE(in_head);
}

}  // namespace
