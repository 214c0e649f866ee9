// The tool's answer handling on arbitrary bytes as the receives would deliver them: the
// completeness check and the header cut stay inside the buffer, the cut finds the first blank
// line and moves exactly the bytes after it, the chunk decoder gives back exactly what any
// chunking of the bytes carried (and says "complete" only once the last chunk and the end of the
// trailers are in), interim heads before an answer, bytes after its framing and cutting it into
// 1-byte pieces change nothing, nothing but whitespace may follow a successful body's value,
// a digit string with a zero byte inside is never an integer, and the line each command prints
// is one of its fixed texts, complete and terminated inside its room.
#include <fuzzer/FuzzedDataProvider.h>
#include <json-c/json.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "http_framing.h"
#include "reply_lines.h"
#include "fuzz_check.h"

namespace {

// The tool's buffer: 1024 bytes, 1023 usable, zero-filled before the receive.
constexpr size_t kBuf = 1024;

bool starts_with(const std::string &s, const char *prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

// An integer in decimal, optionally negative, then "\n" and nothing else.
bool int_line_tail(const std::string &s, size_t from) {
  size_t i = from;
  if (i < s.size() && s[i] == '-') ++i;
  const size_t digits = i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  return i > digits && i + 1 == s.size() && s[i] == '\n';
}

void check_line(cmd_kind kind, const char *body, int32_t room) {
  char full[256];
  const int32_t len = answer_line(kind, body, static_cast<int32_t>(strlen(body)), full, sizeof full);
  FUZZ_CHECK(len > 0 && static_cast<size_t>(len) == strlen(full));
  const std::string line(full);
  static const char *const fixed[3][4] = {
      {"执行出错.code=-1001\n", "执行出错.code=-1002\n", "CDMA is running.\n", "CDMA stopped.\n"},
      {"执行出错.code=-2001\n", "OK. CDMA is running.\n", nullptr, nullptr},
      {"执行出错.code=-3001\n", "OK. CDMA stopped.\n", nullptr, nullptr},
  };
  bool known = false;
  for (const char *f : fixed[kind]) known = known || (f != nullptr && line == f);
  if (!known) {
    // The service's own non-zero code, or (status) an unknown cdmaEnable value.
    if (kind == CMD_STATUS && starts_with(line, "执行出错.code=-1003, result=")) {
      known = int_line_tail(line, strlen("执行出错.code=-1003, result="));
    } else if (starts_with(line, "执行出错.code=")) {
      known = int_line_tail(line, strlen("执行出错.code=")) && line != "执行出错.code=0\n";
    }
  }
  FUZZ_CHECK(known);
  // Text that json-c cannot parse, allowed the tool's 32 containers and a value inside the
  // innermost, is always the parse failure line.
  json_tokener *tok = json_tokener_new_ex(33);
  json_object *obj = json_tokener_parse_ex(tok, body, -1);
  if (obj == nullptr || json_tokener_get_error(tok) != json_tokener_success) {
    FUZZ_CHECK(line == fixed[kind][0]);
  }
  json_object_put(obj);
  json_tokener_free(tok);
  // Anything but whitespace after the value leaves no answer: never success.
  const std::string more = std::string(body) + "x}0\0,"[room % 5];
  char tail[256];
  answer_line(kind, more.c_str(), static_cast<int32_t>(more.size()), tail, sizeof tail);
  FUZZ_CHECK(line == fixed[kind][0] || strcmp(tail, fixed[kind][0]) == 0);

  // A small room: cut, terminated inside it, guard untouched.
  std::vector<char> cut(static_cast<size_t>(room) + 16, static_cast<char>(FUZZ_GUARD_BYTE));
  const int32_t got = answer_line(kind, body, static_cast<int32_t>(strlen(body)), cut.data(), room);
  for (size_t i = static_cast<size_t>(room); i < cut.size(); ++i) {
    FUZZ_CHECK(static_cast<unsigned char>(cut[i]) == FUZZ_GUARD_BYTE);
  }
  FUZZ_CHECK(got >= 0 && got < room && cut[static_cast<size_t>(got)] == '\0');
  FUZZ_CHECK(line.compare(0, static_cast<size_t>(got), cut.data()) == 0);
}

// The wire with interim heads before it and bytes after its end gives back the same body: the
// heads are dropped and the framing, not the receive, says where the body ends.
void check_framed(const std::string &wire, const std::vector<char> &data) {
  const std::string extra = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early\r\nLink: <x>\r\n\r\n";
  const std::string all = extra + wire + std::string(data.begin(), data.end());
  if (all.size() > kBuf - 1) return;
  std::vector<char> buf(kBuf, '\0');
  memcpy(buf.data(), all.data(), all.size());
  bool in_head = false;
  const int32_t len = answer_drop_interim(buf.data(), static_cast<int32_t>(all.size()), &in_head);
  FUZZ_CHECK(len == static_cast<int32_t>(all.size() - extra.size()) && !in_head);
  FUZZ_CHECK(answer_complete(buf.data(), len, kBuf - 1) == 1);
  const int32_t got = answer_take_body(buf.data(), len);
  FUZZ_CHECK(got == static_cast<int32_t>(data.size()) || (data.empty() && got == -6));
  FUZZ_CHECK(data.empty() || memcmp(buf.data(), data.data(), data.size()) == 0);
}

// A digit string with a zero byte inside is never an integer: the whole string counts.
void check_zero_in_digits(const std::vector<char> &data) {
  std::string code = "{\"code\":\"";
  for (size_t i = 0; i < data.size() && i < 24; ++i) code += static_cast<char>('0' + (data[i] & 7));
  const size_t at = data.empty() ? 0 : static_cast<unsigned char>(data[0]) % (code.size() - 8);
  char line[256];
  code.insert(9 + at, "\\u0000") += "\"}";
  answer_line(CMD_START, code.c_str(), static_cast<int32_t>(code.size()), line, sizeof line);
  FUZZ_CHECK(strcmp(line, "执行出错.code=-2001\n") == 0);
}

// Chunks data with sizes taken from the data itself (1..16 bytes, some with an extension, hex in
// either case), decodes it and checks that the very same bytes come back; every prefix that
// stops before the end of the trailers must be incomplete.
void check_chunks(const std::vector<char> &data) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n";
  std::string wire = head;
  for (size_t i = 0; i < data.size();) {
    const size_t n = 1 + static_cast<unsigned char>(data[i]) % 16;
    const size_t take = n < data.size() - i ? n : data.size() - i;
    char size[32];
    snprintf(size, sizeof size, (data[i] & 0x20) != 0 ? "%zX" : "%zx", take);
    wire += size;
    if ((data[i] & 0x40) != 0) wire += ";e=1";
    wire += "\r\n";
    wire.append(data.data() + i, take);
    wire += "\r\n";
    i += take;
  }
  wire += "0\r\n\r\n";
  check_framed(wire, data);
  check_framed("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(data.size()) + "\r\n\r\n" +
                   std::string(data.begin(), data.end()),
               data);
  if (wire.size() > kBuf - 1) return;

  std::vector<char> buf(kBuf, '\0');
  memcpy(buf.data(), wire.data(), wire.size());
  const int32_t len = static_cast<int32_t>(wire.size());
  FUZZ_CHECK(answer_complete(buf.data(), len, kBuf - 1) == 1);
  // Cut anywhere before the end: more may follow. (A cut inside the head loses the blank line.)
  for (int32_t cut = static_cast<int32_t>(head.size()); cut < len; cut += 1 + cut % 7) {
    FUZZ_CHECK(answer_complete(buf.data(), cut, kBuf - 1) == 0);
  }
  // No data is an empty body, as under Content-Length: 0.
  const int32_t got = answer_take_body(buf.data(), len);
  FUZZ_CHECK(got == (data.empty() ? -6 : static_cast<int32_t>(data.size())));
  FUZZ_CHECK(data.empty() || memcmp(buf.data(), data.data(), data.size()) == 0);
  FUZZ_CHECK(data.empty() || buf[static_cast<size_t>(got)] == '\0');
}

// The same bytes in 1-byte pieces, read as the tool reads them (interim heads dropped, reading
// stopped once complete), leave the same body as one receive of all of them.
void check_pieces(const std::vector<char> &answer) {
  std::vector<char> one(kBuf, '\0');
  std::vector<char> piece(kBuf, '\0');
  if (!answer.empty()) memcpy(one.data(), answer.data(), answer.size());
  bool in_head = false;
  const int32_t n = answer_drop_interim(one.data(), static_cast<int32_t>(answer.size()), &in_head);
  const int32_t whole = answer_take_body(one.data(), n);
  in_head = false;
  int32_t have = 0;
  for (const char c : answer) {
    piece[static_cast<size_t>(have++)] = c;
    have = answer_drop_interim(piece.data(), have, &in_head);
    if (answer_complete(piece.data(), have, kBuf - 1)) break;
  }
  const int32_t cut = answer_take_body(piece.data(), have);
  FUZZ_CHECK(cut == whole);
  FUZZ_CHECK(whole <= 0 || memcmp(one.data(), piece.data(), static_cast<size_t>(whole) + 1) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int32_t room = fdp.ConsumeIntegralInRange<int32_t>(1, 64);
  std::vector<char> answer = fdp.ConsumeRemainingBytes<char>();
  if (answer.size() > kBuf - 1) answer.resize(kBuf - 1);  // one receive into 1023 bytes

  // Exactly the tool's buffer on the heap, so that a move past it is out of bounds.
  std::vector<char> buf(kBuf, '\0');
  if (!answer.empty()) memcpy(buf.data(), answer.data(), answer.size());
  const int32_t received = static_cast<int32_t>(answer.size());
  check_chunks(answer);
  check_pieces(answer);
  check_zero_in_digits(answer);
  // The decisions on the raw bytes, each on its own exact-size copy so an overrun is seen.
  {
    std::vector<char> raw(answer.begin(), answer.end());
    const int32_t c = answer_complete(raw.data(), received, received);
    FUZZ_CHECK(c == 0 || c == 1);
    std::vector<char> dc(answer.begin(), answer.end());
    dc.push_back('\0');
    const int32_t n = answer_dechunk(dc.data(), received);
    FUZZ_CHECK(n == -1 || (n >= 0 && n <= received && dc[static_cast<size_t>(n)] == '\0'));
    if (n == -1) FUZZ_CHECK(dc[0] == '\0');
    std::vector<char> tb(kBuf, '\0');
    if (!answer.empty()) memcpy(tb.data(), answer.data(), answer.size());
    const int32_t t = answer_take_body(tb.data(), received);
    FUZZ_CHECK(t >= -6 && t <= received && (t < 0 || tb[static_cast<size_t>(t)] == '\0'));
  }
  const int32_t got = answer_cut_body(buf.data(), received);

  const std::string raw(answer.begin(), answer.end());
  const size_t blank = raw.find("\r\n\r\n");  // zero bytes before it hide nothing
  if (blank == std::string::npos) {
    FUZZ_CHECK(got == -5);
    return 0;
  }
  const size_t start = blank + 4;
  if (start >= answer.size()) {
    FUZZ_CHECK(got == -6);
    return 0;
  }
  FUZZ_CHECK(got == static_cast<int32_t>(answer.size() - start));
  FUZZ_CHECK(memcmp(buf.data(), answer.data() + start, static_cast<size_t>(got)) == 0);
  FUZZ_CHECK(buf[static_cast<size_t>(got)] == '\0');

  for (int k = CMD_STATUS; k <= CMD_STOP; ++k) check_line(static_cast<cmd_kind>(k), buf.data(), room);
  return 0;
}
