// The tool's side of the protocol: the request bytes, when an answer is complete, the cut after
// its headers, the chunk decoder, and the JSON decisions that pick the one line a command prints.
#include "answer.h"

#include <json-c/json.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "osl_string.h"

namespace {

// Every failure text of the tool.
const char *const kRequestFailures[] = {
    "can not connect to server. error code = -1",  // no socket
    "can not connect to server. error code = -2",  // connect refused
    "request error, code = -3",                    // send failed
    "request error, code = -4",                    // nothing received in time, or recv failed
    "request error, code = -5",                    // no blank line after the headers
    "request error, code = -6",                    // nothing after the blank line
};
const char kUnknownCommand[] = "无法识别的命令!";
const char kCodeFmt[] = "执行出错.code=%d\n";
const char kStateFmt[] = "执行出错.code=-1003, result=%d\n";
const char kNoState[] = "执行出错.code=-1002";

struct cmd_lines {
  const char *transport;  // request failed, nothing parsed
  const char *parse;      // the body is not a JSON object with a usable "code"
  const char *success;    // "code" 0 (start and stop only)
};

const cmd_lines kLines[] = {
    {"执行出错.code=-1000", "执行出错.code=-1001", nullptr},
    {"执行出错.code=-2000", "执行出错.code=-2001", "OK. CDMA is running."},
    {"执行出错.code=-3000", "执行出错.code=-3001", "OK. CDMA stopped."},
};

constexpr char kHost[] = "127.0.0.1:8668";

// Appends a formatted piece at *used; false once the request no longer fits.
__attribute__((format(printf, 4, 5))) bool append(char *buf, int32_t size, int32_t *used,
                                                  const char *fmt, ...) {
  const int32_t room = size - *used;
  if (room <= 0) return false;
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(buf + *used, static_cast<size_t>(room), fmt, ap);
  va_end(ap);
  if (n < 0 || n >= room) return false;
  *used += n;
  return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether [p, p+n) equals the lower-case word, ignoring ASCII case.
bool same_word(const char *p, int32_t n, const char *word) {
  const int32_t wn = static_cast<int32_t>(strlen(word));
  if (n != wn) return false;
  for (int32_t i = 0; i < n; ++i) {
    if (lower(p[i]) != word[i]) return false;
  }
  return true;
}

bool is_space(char c) { return c == ' ' || c == '\t'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// First "\r\n\r\n" in the len bytes; -1 when there is none.
int32_t find_blank(const char *buf, int32_t len) {
  for (int32_t i = 0; i + 4 <= len; ++i) {
    if (buf[i] == '\r' && buf[i + 1] == '\n' && buf[i + 2] == '\r' && buf[i + 3] == '\n') return i;
  }
  return -1;
}

// What the headers say about the length of the body.
struct head_info {
  int32_t body;            // offset of the body; -1 while the blank line has not arrived
  bool chunked;            // Transfer-Encoding ends in chunked
  int64_t content_length;  // -1 when absent or not a plain decimal number
};

// Reads the header lines between the status line and the blank line. Only Content-Length and
// Transfer-Encoding steer the reading; everything else is left alone.
head_info scan_head(const char *buf, int32_t len) {
  head_info h{-1, false, -1};
  const int32_t blank = find_blank(buf, len);
  if (blank < 0) return h;
  h.body = blank + 4;
  const char *end = buf + blank + 2;  // one past the last header line's CR LF
  const char *line = static_cast<const char *>(memchr(buf, '\n', static_cast<size_t>(blank + 1)));
  while (line != nullptr && line + 1 < end) {
    ++line;  // start of a header line
    const char *eol =
        static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
    if (eol == nullptr) break;
    const char *colon =
        static_cast<const char *>(memchr(line, ':', static_cast<size_t>(eol - line)));
    if (colon != nullptr) {
      const char *v = colon + 1;
      const char *ve = eol;
      while (v < ve && is_space(*v)) ++v;
      while (ve > v && (is_space(ve[-1]) || ve[-1] == '\r')) --ve;
      const int32_t name_len = static_cast<int32_t>(colon - line);
      if (same_word(line, name_len, "content-length")) {
        int64_t n = 0;
        const char *p = v;
        while (p < ve && *p >= '0' && *p <= '9') {
          n = n * 10 + (*p - '0');
          if (n > INT32_MAX) n = INT32_MAX;  // far beyond any buffer: never satisfied
          ++p;
        }
        if (p == ve && p > v && h.content_length < 0) h.content_length = n;
      } else if (same_word(line, name_len, "transfer-encoding")) {
        // The last coding decides: "gzip, chunked" is chunked, "chunked, gzip" is not. Empty
        // list elements count for nothing ("chunked," is chunked), and a line of nothing else
        // leaves an earlier line's coding as it was.
        while (ve > v && (is_space(ve[-1]) || ve[-1] == ',')) --ve;
        const char *t = ve;
        while (t > v && t[-1] != ',') --t;
        while (t < ve && is_space(*t)) ++t;
        if (t < ve) h.chunked = same_word(t, static_cast<int32_t>(ve - t), "chunked");
      }
    }
    line = eol;
  }
  return h;
}

// Walks a chunked body of len bytes. With out set, moves the data to out (in place: out never
// passes the reading position); without, only reads. Returns the data length and sets *end to
// the offset just after the last chunk's size line, or returns -1 when malformed and -2 when
// more bytes are needed.
int32_t walk_chunks(const char *in, int32_t len, char *out, int32_t *end) {
  int32_t pos = 0;
  int32_t data = 0;
  for (;;) {
    int64_t size = 0;
    const int32_t digits = pos;
    while (pos < len) {
      const char c = lower(in[pos]);
      int v;
      if (c >= '0' && c <= '9') {
        v = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        v = c - 'a' + 10;
      } else {
        break;
      }
      size = size * 16 + v;
      if (size > len) size = static_cast<int64_t>(len) + 1;  // cannot fit: malformed below
      ++pos;
    }
    if (pos == len) return -2;
    if (pos == digits) return -1;
    while (pos < len && is_space(in[pos])) ++pos;
    if (pos < len && in[pos] == ';') {
      while (pos < len && in[pos] != '\r' && in[pos] != '\n') ++pos;  // extension ignored
    }
    if (pos + 2 > len) return -2;
    if (in[pos] != '\r' || in[pos + 1] != '\n') return -1;
    pos += 2;
    if (size == 0) {
      *end = pos;
      return data;
    }
    if (pos + size + 2 > len) return -2;
    if (in[pos + size] != '\r' || in[pos + size + 1] != '\n') return -1;
    if (out != nullptr) memmove(out + data, in + pos, static_cast<size_t>(size));
    data += static_cast<int32_t>(size);
    pos += static_cast<int32_t>(size) + 2;
  }
}

// Trailer section after the last chunk: ends at an empty line. true once it has all arrived.
bool trailers_done(const char *p, int32_t len) {
  if (len >= 2 && p[0] == '\r' && p[1] == '\n') return true;
  return find_blank(p, len) >= 0;
}

// A member that is present and not JSON null; null otherwise (also when obj is no object).
json_object *member(json_object *obj, const char *key) {
  json_object *value = nullptr;
  if (!json_object_is_type(obj, json_type_object)) return nullptr;
  if (!json_object_object_get_ex(obj, key, &value)) return nullptr;
  return value;
}

int32_t clamp32(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// Whether d, in [0, 2^52), has no fractional part. Worked in 32-bit pieces, which the board's
// floating-point unit converts itself, rather than through a 64-bit integer, whose conversion
// would pull the C runtime's software floating-point routines into the tool. d - hi * 2^32 is
// exact: a multiple of d's own precision, below 2^32.
bool is_whole(double d) {
  const double hi = static_cast<double>(static_cast<uint32_t>(d / 4294967296.0));
  const double lo = d - hi * 4294967296.0;
  return static_cast<double>(static_cast<uint32_t>(lo)) == lo;
}

// An integer the service meant: a JSON integer, a number with an integral value, or a string
// of decimal digits with an optional sign; values beyond 32 bits clamp to its range. Anything
// else (booleans, objects, other text, NaN, fractions) is no integer: it must never pass as 0.
bool int_value(json_object *obj, int32_t *out) {
  switch (json_object_get_type(obj)) {
    case json_type_int:
      *out = json_object_get_int(obj);
      return true;
    case json_type_double: {
      // Judged before converting: converting NaN or an out-of-range value is undefined and
      // gives different results on the board and on x86-64.
      const double d = json_object_get_double(obj);
      if (!isfinite(d)) return false;
      // From 2^52 on every double is an integer.
      if (d >= 2147483647.0) {
        *out = INT32_MAX;
        return d >= 4503599627370496.0 || is_whole(d);
      }
      if (d <= -2147483648.0) {
        *out = INT32_MIN;
        return d <= -4503599627370496.0 || is_whole(-d);
      }
      *out = static_cast<int32_t>(d);
      return static_cast<double>(*out) == d;
    }
    case json_type_string: {
      // The whole string by its JSON length: "0\u0000 failed" is text, not the digit 0.
      const char *s = json_object_get_string(obj);
      const char *end = s + json_object_get_string_len(obj);
      const bool neg = *s == '-';
      if (*s == '-' || *s == '+') ++s;
      if (s >= end) return false;
      int64_t v = 0;
      for (; s < end; ++s) {
        if (*s < '0' || *s > '9') return false;
        v = v * 10 + (*s - '0');
        if (v > 4294967296LL) v = 4294967296LL;  // clamps below all the same
      }
      *out = clamp32(neg ? -v : v);
      return true;
    }
    default:
      return false;
  }
}

int32_t put_line(char *line, int32_t size, const char *text) {
  return osl_str_snprintf(line, size, "%s\n", text);
}

}  // namespace

int32_t answer_build_request(bool is_post, const char *path, const char *params, char *buf,
                             int32_t size) {
  int32_t used = 0;
  const bool has_params = params != nullptr && params[0] != '\0';
  bool ok = append(buf, size, &used, "%s ", is_post ? "POST" : "GET");
  if (!is_post && has_params) {
    ok = ok && append(buf, size, &used, "%s?%s HTTP/1.1\r\n", path, params);
  } else {
    ok = ok && append(buf, size, &used, "%s HTTP/1.1\r\n", path);
  }
  ok = ok && append(buf, size, &used, "Host: %s\r\n", kHost);
  ok = ok && append(buf, size, &used, "Accept: application/json, */*\r\n");
  // The answer ends at the close at the latest; a service that keeps connections open
  // otherwise holds the tool until its time limit.
  ok = ok && append(buf, size, &used, "Connection: close\r\n");
  if (is_post && has_params) {
    // Form-parsing services only read a body whose type they know.
    ok = ok && append(buf, size, &used, "Content-Type: application/x-www-form-urlencoded\r\n");
    ok = ok && append(buf, size, &used, "Content-Length: %d\r\n\r\n%s",
                      static_cast<int>(strlen(params)), params);
  } else {
    ok = ok && append(buf, size, &used, "\r\n");
  }
  if (!ok) {
    if (size > 0) buf[0] = '\0';
    return -1;
  }
  return used;
}

int32_t answer_complete(const char *buf, int32_t len) {
  const head_info h = scan_head(buf, len);
  if (h.body < 0) return 0;
  const int32_t have = len - h.body;
  if (h.chunked) {
    int32_t end = 0;
    const int32_t n = walk_chunks(buf + h.body, have, nullptr, &end);  // reads only
    if (n == -1) return 1;  // malformed: more bytes cannot mend it, decide now
    if (n < 0) return 0;
    return trailers_done(buf + h.body + end, have - end) ? 1 : 0;
  }
  if (h.content_length >= 0) return have >= h.content_length ? 1 : 0;
  return 0;
}

int32_t answer_drop_interim(char *buf, int32_t len) {
  for (;;) {
    if (len < 5 || memcmp(buf, "HTTP/", 5) != 0) return len;
    int32_t c = 5;  // the code follows the version and one space
    while (c < len && buf[c] != ' ' && buf[c] != '\n') ++c;
    ++c;
    // Any 1xx but 101, which is final: the protocol changes after it.
    if (c + 3 >= len || buf[c - 1] != ' ' || buf[c] != '1' || !is_digit(buf[c + 1]) ||
        !is_digit(buf[c + 2]) || (buf[c + 3] != ' ' && buf[c + 3] != '\r') ||
        (buf[c + 1] == '0' && buf[c + 2] == '1')) {
      return len;
    }
    const int32_t blank = find_blank(buf, len);
    if (blank < 0) return len;  // the rest of this head is still to come
    len -= blank + 4;
    memmove(buf, buf + blank + 4, static_cast<size_t>(len));
  }
}

int32_t answer_cut_body(char *buf, int32_t received) {
  const int32_t blank = find_blank(buf, received);
  if (blank < 0) return -5;
  const int32_t start = blank + 4;
  const int32_t len = received - start;
  if (len <= 0) return -6;
  memmove(buf, buf + start, static_cast<size_t>(len));
  buf[len] = '\0';
  return len;
}

int32_t answer_dechunk(char *buf, int32_t len) {
  int32_t end = 0;
  const int32_t n = len < 0 ? -1 : walk_chunks(buf, len, buf, &end);
  if (n < 0) {
    if (len >= 0) buf[0] = '\0';
    return -1;
  }
  buf[n] = '\0';
  return n;
}

int32_t answer_take_body(char *buf, int32_t received) {
  const head_info h = scan_head(buf, received);
  // Bytes past the length the headers give belong to no body.
  if (!h.chunked && h.content_length >= 0 && h.body + h.content_length < received) {
    received = h.body + static_cast<int32_t>(h.content_length);
  }
  const int32_t len = answer_cut_body(buf, received);
  if (len <= 0 || !h.chunked) return len;
  const int32_t n = answer_dechunk(buf, len);
  return n < 0 ? 0 : n;
}

const char *answer_transport_failure(enum cmd_kind kind) {
  return kLines[kind].transport;
}

const char *answer_request_failure(int32_t code) {
  if (code > -1 || code < -6) code = -4;
  return kRequestFailures[-code - 1];
}

const char *answer_unknown_command(void) {
  return kUnknownCommand;
}

int32_t answer_line(enum cmd_kind kind, const char *body, char *line, int32_t size) {
  const cmd_lines &lines = kLines[kind];
  json_object *resp = json_tokener_parse(body);
  int32_t n;
  int32_t code = 0;
  int32_t state = 0;
  // A body that is JSON but no object, or whose "code" is no integer, is no answer of the
  // service: reporting success for it would hide a broken service.
  if (!int_value(member(resp, "code"), &code)) {
    n = put_line(line, size, lines.parse);
  } else if (code != 0) {
    n = osl_str_snprintf(line, size, kCodeFmt, code);
  } else if (kind != CMD_STATUS) {
    n = put_line(line, size, lines.success);
  } else if (!int_value(member(member(resp, "result"), "cdmaEnable"), &state)) {
    n = put_line(line, size, kNoState);
  } else if (state == 1) {
    n = put_line(line, size, "CDMA is running.");
  } else if (state == 0) {
    n = put_line(line, size, "CDMA stopped.");
  } else {
    n = osl_str_snprintf(line, size, kStateFmt, state);
  }
  if (resp != nullptr) json_object_put(resp);
  return n;
}
