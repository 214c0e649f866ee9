// The tool's side of the protocol: the request bytes, when an answer is complete, the cut after
// its headers, the chunk decoder, and the JSON decisions that pick the one line a command prints.
#include "answer.h"

#include <json-c/json.h>
#include <math.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "osl_string.h"
#include "osl_sys.h"

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

// Whether [p, p+n) equals the lower-case word, ignoring ASCII case.
bool same_word(const char *p, int32_t n, const char *word) {
  const int32_t wn = static_cast<int32_t>(strlen(word));
  if (n != wn) return false;
  for (int32_t i = 0; i < n; ++i) {
    if (osl_sys::to_lower(static_cast<unsigned char>(p[i])) != word[i]) return false;
  }
  return true;
}

bool is_space(char c) { return c == ' ' || c == '\t'; }

// JSON whitespace; in a header also what an unfolded line break leaves.
bool is_ws(char c) { return is_space(c) || c == '\r' || c == '\n'; }

// First "\r\n\r\n" in the len bytes; -1 when there is none.
int32_t find_blank(const char *buf, int32_t len) {
  for (int32_t i = 0; i + 4 <= len; ++i) {
    if (buf[i] == '\r' && buf[i + 1] == '\n' && buf[i + 2] == '\r' && buf[i + 3] == '\n') return i;
  }
  return -1;
}

// True when all n (>= 1) bytes of s are decimal digits; their value, clamped to max, in *out.
bool decimal(const char *s, size_t n, uint64_t max, uint64_t *out) {
  if (osl_sys::scan_digits(s, n, 10, max, out) < 0) *out = max;
  size_t i = 0;
  while (i < n && osl_sys::is_digit(s[i])) ++i;
  return n > 0 && i == n;
}

// What the headers say about the length of the body.
struct head_info {
  int32_t body;            // offset of the body; -1 while the blank line has not arrived
  bool chunked;            // Transfer-Encoding ends in chunked
  bool bad_length;         // a Content-Length that is no decimal number, or two different ones
  int64_t content_length;  // -1 when absent
};

// Reads the header lines between the status line and the blank line; a line continued by one
// that starts with a space or tab is one field. Only Content-Length and Transfer-Encoding steer
// the reading; everything else is left alone.
head_info scan_head(const char *buf, int32_t len) {
  head_info h{-1, false, false, -1};
  const int32_t blank = find_blank(buf, len);
  if (blank < 0) return h;
  h.body = blank + 4;
  const char *end = buf + blank + 2;  // one past the last header line's CR LF
  const char *line = static_cast<const char *>(memchr(buf, '\n', static_cast<size_t>(blank + 1)));
  const char *first = nullptr;  // the first Content-Length value, past its leading zeros
  size_t first_len = 0;
  while (line != nullptr && line + 1 < end) {
    ++line;  // start of a header field
    const char *eol = line - 1;
    do {
      ++eol;
      eol = static_cast<const char *>(memchr(eol, '\n', static_cast<size_t>(end - eol)));
    } while (eol + 1 < end && is_space(eol[1]));  // the last line ends at end - 1
    const char *colon =
        static_cast<const char *>(memchr(line, ':', static_cast<size_t>(eol - line)));
    if (colon != nullptr) {
      const char *v = colon + 1;
      const char *ve = eol;
      while (v < ve && is_ws(*v)) ++v;
      while (ve > v && is_ws(ve[-1])) --ve;
      const int32_t name_len = static_cast<int32_t>(colon - line);
      if (same_word(line, name_len, "content-length")) {
        // A list of equal values counts once; anything else leaves the framing malformed.
        for (const char *e = v;;) {
          const char *c = static_cast<const char *>(memchr(e, ',', static_cast<size_t>(ve - e)));
          const char *ce = c != nullptr ? c : ve;
          while (e < ce && is_ws(*e)) ++e;
          while (ce > e && is_ws(ce[-1])) --ce;
          uint64_t n = 0;
          const bool digits_only = decimal(e, static_cast<size_t>(ce - e), INT32_MAX, &n);
          // Compared as written, past leading zeros: values above the clamp differ too.
          while (ce - e > 1 && *e == '0') ++e;
          const size_t len = static_cast<size_t>(ce - e);
          if (!digits_only ||
              (first != nullptr && (len != first_len || memcmp(e, first, len) != 0))) {
            h.bad_length = true;
          }
          first = e;
          first_len = len;
          h.content_length = static_cast<int64_t>(n);
          if (c == nullptr) break;
          e = c + 1;
        }
      } else if (same_word(line, name_len, "transfer-encoding")) {
        // The last coding decides: "gzip, chunked" is chunked, "chunked, gzip" is not. Empty
        // list elements count for nothing ("chunked," is chunked), and a line of nothing else
        // leaves an earlier line's coding as it was.
        while (ve > v && (is_ws(ve[-1]) || ve[-1] == ',')) --ve;
        const char *t = ve;
        while (t > v && t[-1] != ',') --t;
        while (t < ve && is_ws(*t)) ++t;
        if (t < ve) h.chunked = same_word(t, static_cast<int32_t>(ve - t), "chunked");
      }
    }
    line = eol;
  }
  return h;
}

// Walks a chunked body of len bytes that may grow to room bytes. With out set, moves the data
// to out (in place: out never passes the reading position); without, only reads. Returns the
// data length and sets *end to the offset just after the last chunk's size line, or returns -1
// when malformed (also a chunk that cannot fit in the room) and -2 when more bytes are needed.
int32_t walk_chunks(const char *in, int32_t len, int32_t room, char *out, int32_t *end) {
  int32_t pos = 0;
  int32_t data = 0;
  for (;;) {
    uint64_t size = 0;
    const ptrdiff_t digits = osl_sys::scan_digits(in + pos, static_cast<size_t>(len - pos), 16,
                                                  static_cast<uint64_t>(room - pos), &size);
    if (digits < 0) return -1;
    pos += static_cast<int32_t>(digits);
    if (pos == len) return -2;
    if (digits == 0) return -1;
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
    const int64_t next = pos + static_cast<int64_t>(size) + 2;
    if (next > room) return -1;
    if (next > len) return -2;
    if (in[next - 2] != '\r' || in[next - 1] != '\n') return -1;
    if (out != nullptr) memmove(out + data, in + pos, static_cast<size_t>(size));
    data += static_cast<int32_t>(size);
    pos = static_cast<int32_t>(next);
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
      // A fraction too small for a double reads as 0: judge zero by the digits written.
      if (d == 0) {
        for (const char *t = json_object_to_json_string(obj); *t != 'e' && *t != 'E' && *t; ++t) {
          if (*t > '0' && *t <= '9') return false;
        }
      }
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
      uint64_t v = 0;  // clamped at 2^32, which clamps below all the same
      if (!decimal(s, static_cast<size_t>(end - s), 4294967296ULL, &v)) return false;
      *out = clamp32(neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v));
      return true;
    }
    default:
      return false;
  }
}

// Past the run of decimal digits at p; null when there is none.
const char *digits(const char *p, const char *end) {
  const char *q = p;
  while (q < end && osl_sys::is_digit(*q)) ++q;
  return q > p ? q : nullptr;
}

// Past the JSON string, number or literal at p (< end); null when there is none, and for a key
// holding \u0000, which json-c would cut there and so take for another key.
const char *scalar(const char *p, const char *end, bool key = false) {
  if (*p == '"') {
    while (++p < end && *p != '"') {
      if (static_cast<unsigned char>(*p) < 0x20) return nullptr;
      if (*p != '\\') continue;
      if (++p == end) return nullptr;
      if (*p == 'u') {
        bool zero = key;
        for (int i = 0; i < 4; ++i) {
          if (++p == end || !osl_sys::is_xdigit(*p)) return nullptr;
          zero = zero && *p == '0';
        }
        if (zero) return nullptr;
      } else if (*p == '\0' || strchr("\"\\/bfnrt", *p) == nullptr) {
        return nullptr;
      }
    }
    return p < end ? p + 1 : nullptr;
  }
  if (*p == '-' || osl_sys::is_digit(*p)) {
    if (*p == '-') ++p;
    if (p < end && *p == '0') {
      ++p;
    } else if ((p = digits(p, end)) == nullptr) {
      return nullptr;
    }
    if (p < end && *p == '.' && (p = digits(p + 1, end)) == nullptr) return nullptr;
    if (p < end && (*p == 'e' || *p == 'E')) {
      ++p;
      if (p < end && (*p == '+' || *p == '-')) ++p;
      p = digits(p, end);
    }
    return p;
  }
  const char *word = *p == 't' ? "true" : *p == 'f' ? "false" : "null";
  const size_t n = strlen(word);
  return static_cast<size_t>(end - p) >= n && memcmp(p, word, n) == 0 ? p + n : nullptr;
}

const char *skip_ws(const char *p, const char *end) {
  while (p < end && is_ws(*p)) ++p;
  return p;
}

// Whether the len bytes at p are one JSON value (RFC 8259: no comments, single quotes, leading
// zeros, NaN or trailing commas) with only JSON whitespace around it.
bool json_strict(const char *p, int32_t len) {
  const char *end = p + len;
  char close[512];  // the bracket each open container waits for; 1023 bytes nest no deeper
  int32_t depth = 0;
  bool want_key = false;
  for (;;) {
    p = skip_ws(p, end);
    if (p == end) return false;
    if (want_key) {
      if (*p != '"' || (p = scalar(p, end, true)) == nullptr) return false;
      p = skip_ws(p, end);
      if (p == end || *p++ != ':') return false;
      want_key = false;
      continue;
    }
    if (*p == '{' || *p == '[') {
      if (depth == static_cast<int32_t>(sizeof close)) return false;
      want_key = *p == '{';
      close[depth++] = static_cast<char>(*p + 2);  // '}' and ']'
      p = skip_ws(p + 1, end);
      if (p == end || *p != close[depth - 1]) continue;
      want_key = false;  // empty: closed below
    } else if ((p = scalar(p, end)) == nullptr) {
      return false;
    }
    for (;;) {  // after a value: closing brackets, then a comma or the end
      p = skip_ws(p, end);
      if (depth == 0) return p == end;
      if (p == end || *p != close[depth - 1]) break;
      --depth;
      ++p;
    }
    if (p == end || *p++ != ',') return false;
    want_key = close[depth - 1] == '}';
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

int32_t answer_complete(const char *buf, int32_t len, int32_t size) {
  const head_info h = scan_head(buf, len);
  if (h.body < 0) return 0;
  const int32_t have = len - h.body;
  if (h.chunked) {
    int32_t end = 0;
    const int32_t room = (size > len ? size : len) - h.body;
    const int32_t n = walk_chunks(buf + h.body, have, room, nullptr, &end);  // reads only
    if (n == -1) return 1;  // malformed: more bytes cannot mend it, decide now
    if (n < 0) return 0;
    return trailers_done(buf + h.body + end, have - end) ? 1 : 0;
  }
  if (h.bad_length) return 1;
  if (h.content_length >= 0) return have >= h.content_length ? 1 : 0;
  return 0;
}

int32_t answer_drop_interim(char *buf, int32_t len, bool *in_head) {
  for (;;) {
    if (!*in_head) {
      if (len < 5 || memcmp(buf, "HTTP/", 5) != 0) return len;
      int32_t c = 5;  // the code follows the version and one space
      while (c < len && buf[c] != ' ' && buf[c] != '\n') ++c;
      ++c;
      // Any 1xx but 101, which is final: the protocol changes after it.
      // Three digits suffice: no final answer's code begins with 1.
      if (c + 3 > len || buf[c - 1] != ' ' || buf[c] != '1' || !osl_sys::is_digit(buf[c + 1]) ||
          !osl_sys::is_digit(buf[c + 2]) ||
          (c + 3 < len && buf[c + 3] != ' ' && buf[c + 3] != '\r') ||
          (buf[c + 1] == '0' && buf[c + 2] == '1')) {
        return len;
      }
      *in_head = true;
    }
    const int32_t blank = find_blank(buf, len);
    if (blank < 0) {  // keep only what may begin the blank line
      const int32_t keep = len < 3 ? len : 3;
      memmove(buf, buf + len - keep, static_cast<size_t>(keep));
      return keep;
    }
    *in_head = false;
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
  const int32_t n = len < 0 ? -1 : walk_chunks(buf, len, len, buf, &end);
  if (n < 0) {
    if (len >= 0) buf[0] = '\0';
    return -1;
  }
  buf[n] = '\0';
  return n;
}

int32_t answer_take_body(char *buf, int32_t received) {
  const head_info h = scan_head(buf, received);
  if (h.body >= 0 && !h.chunked && h.bad_length) {  // malformed framing: nothing to parse
    buf[0] = '\0';
    return 0;
  }
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

int32_t answer_line(enum cmd_kind kind, const char *body, int32_t len, char *line, int32_t size) {
  const cmd_lines &lines = kLines[kind];
  json_object *resp = json_strict(body, len) ? json_tokener_parse(body) : nullptr;
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
