// HTTP framing of the tool's exchange: the request bytes, interim heads, when an answer is
// complete, the cut after its head and the chunk decoder.
#include "http_framing.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "osl_string.h"
#include "tool_sys.h"

namespace {

// The whole formatted text into buf (room `size`), terminated. Returns its length, or -1 when
// it does not fit.
__attribute__((format(printf, 3, 4))) int32_t format(char *buf, int32_t size, const char *fmt,
                                                     ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = size > 0 ? vsnprintf(buf, static_cast<size_t>(size), fmt, ap) : -1;
  va_end(ap);
  return n < 0 || n >= size ? -1 : n;
}

// Whether the n bytes at p are the lower-case word, ignoring ASCII case.
bool same_word(const char *p, int32_t n, const char *word) {
  return n == static_cast<int32_t>(strlen(word)) && osl_strncmp_nocase(p, word, n) == 0;
}

bool is_space(char c) { return c == ' ' || c == '\t'; }

// In a header: blanks and what an unfolded line break leaves.
bool is_ws(char c) { return is_space(c) || c == '\r' || c == '\n'; }

// First "\r\n\r\n" in the len bytes; -1 when there is none.
int32_t find_blank(const char *buf, int32_t len) {
  for (int32_t i = 0; i + 4 <= len; ++i) {
    if (buf[i] == '\r' && buf[i + 1] == '\n' && buf[i + 2] == '\r' && buf[i + 3] == '\n') return i;
  }
  return -1;
}

// The value of the n bytes at s when all are decimal digits (n >= 1), clamped to INT32_MAX;
// -1 otherwise.
int64_t decimal(const char *s, size_t n) {
  while (n > 1 && *s == '0') {
    ++s;
    --n;
  }
  char text[12];  // 11 digits are already above the clamp
  for (size_t i = 0; i < n; ++i) {
    if (!tool::is_digit(s[i])) return -1;
    if (i < sizeof text - 1) text[i] = s[i];
  }
  if (n == 0) return -1;
  text[n < sizeof text - 1 ? n : sizeof text - 1] = '\0';
  int64_t v = 0;
  osl_str_to_int64(text, &v);  // digits only: cannot fail
  return v > INT32_MAX ? INT32_MAX : v;
}

// What the headers say about the length of the body.
struct head_info {
  int32_t body;            // offset of the body; -1 while the blank line has not arrived
  bool coded;              // a Transfer-Encoding names a coding: Content-Length does not count
  bool chunked;            // ... and the last one is chunked; otherwise the close ends the body
  bool bad_length;         // a Content-Length that is no decimal number, or two different ones
  int64_t content_length;  // -1 when absent
};

// Reads the header lines between the status line and the blank line; a line continued by one
// that starts with a space or tab is one field. Only Content-Length and Transfer-Encoding steer
// the reading; everything else is left alone.
head_info scan_head(const char *buf, int32_t len) {
  head_info h{-1, false, false, false, -1};
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
          const int64_t n = decimal(e, static_cast<size_t>(ce - e));
          // Compared as written, past leading zeros: values above the clamp differ too.
          while (ce - e > 1 && *e == '0') ++e;
          const size_t len = static_cast<size_t>(ce - e);
          if (n < 0 || (first != nullptr && (len != first_len || memcmp(e, first, len) != 0))) {
            h.bad_length = true;
          }
          first = e;
          first_len = len;
          h.content_length = n < 0 ? INT32_MAX : n;
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
        if (t < ve) {
          h.coded = true;
          h.chunked = same_word(t, static_cast<int32_t>(ve - t), "chunked");
        }
      }
    }
    line = eol;
  }
  return h;
}

// Reads the run of hexadecimal digits at s, at most len bytes. Returns how many it read (0 when
// s starts with none), the value in *out; -1 when the value would exceed max (< 2^31).
int32_t scan_hex(const char *s, int32_t len, int64_t max, int64_t *out) {
  int64_t value = 0;
  int32_t i = 0;
  for (; i < len; ++i) {
    const int32_t d = tool::hex_value(static_cast<unsigned char>(s[i]));
    if (d < 0) break;
    value = value * 16 + d;  // below 2^35: no overflow
    if (value > max) return -1;
  }
  *out = value;
  return i;
}

// Walks a chunked body of len bytes that may grow to room bytes. With out set, moves the data
// to out (in place: out never passes the reading position); without, only reads. Returns the
// data length and sets *end to the offset just after the last chunk's size line, or returns -1
// when malformed (also a chunk that cannot fit in the room) and -2 when more bytes are needed.
int32_t walk_chunks(const char *in, int32_t len, int32_t room, char *out, int32_t *end) {
  int32_t pos = 0;
  int32_t data = 0;
  for (;;) {
    int64_t size = 0;
    const int32_t digits = scan_hex(in + pos, len - pos, room - pos, &size);
    if (digits < 0) return -1;
    pos += digits;
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
    const int64_t next = pos + size + 2;
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

}  // namespace

int32_t answer_build_request(bool is_post, const char *path, const char *params, char *buf,
                             int32_t size) {
  const bool has_params = params != nullptr && params[0] != '\0';
  const bool query = !is_post && has_params;
  const bool form = is_post && has_params;
  // Connection: close: the answer ends at the close at the latest; a service that keeps
  // connections open otherwise holds the tool until its time limit. Form-parsing services only
  // read a body whose type they know. One format: "%.*d" with precision 0 and 0 prints nothing.
  const int32_t n = format(
      buf, size,
      "%s %s%s%s HTTP/1.1\r\nHost: 127.0.0.1:8668\r\nAccept: application/json, */*\r\n"
      "Connection: close\r\n%s%.*d%s\r\n%s",
      is_post ? "POST" : "GET", path, query ? "?" : "", query ? params : "",
      form ? "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " : "",
      form ? 1 : 0, form ? static_cast<int>(strlen(params)) : 0, form ? "\r\n" : "",
      form ? params : "");
  if (n < 0 && size > 0) buf[0] = '\0';
  return n;
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
  if (h.coded) return 0;  // a coding that is not chunked runs to the close
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
      // Judged only once the byte after three digits is in: "HTTP/1.1 100" may go on as
      // "1000" or "100X", which no interim head is. Any 1xx but 101, which is final.
      if (c + 4 > len) return len;
      if (buf[c - 1] != ' ' || buf[c] != '1' || !tool::is_digit(buf[c + 1]) ||
          !tool::is_digit(buf[c + 2]) || (buf[c + 3] != ' ' && buf[c + 3] != '\r') ||
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
  if (h.body >= 0 && !h.coded && h.bad_length) {  // malformed framing: nothing to parse
    buf[0] = '\0';
    return 0;
  }
  // Bytes past the length the headers give belong to no body; under a coding the length
  // does not count.
  if (!h.coded && h.content_length >= 0 && h.body + h.content_length < received) {
    received = h.body + static_cast<int32_t>(h.content_length);
  }
  const int32_t len = answer_cut_body(buf, received);
  if (len <= 0 || !h.chunked) return len;
  const int32_t n = answer_dechunk(buf, len);
  if (n == 0) return -6;  // only the last chunk: as empty as any other empty body
  return n < 0 ? 0 : n;
}
