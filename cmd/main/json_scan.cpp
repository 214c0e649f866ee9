// The strict JSON scan: an answer's body counts only when it is exactly one JSON value as
// RFC 8259 has it, which json-c alone does not check (it takes comments, single quotes, NaN,
// trailing commas and text after the value).
#include "json_scan.h"

#include <json-c/json.h>
#include <string.h>

#include "tool_sys.h"

namespace {

// Containers an answer may nest: json-c reads one level more, so that a value inside the
// innermost still counts.
constexpr int32_t kMaxDepth = 32;

// JSON whitespace.
bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Past the run of decimal digits at p; null when there is none.
const char *digits(const char *p, const char *end) {
  const char *q = p;
  while (q < end && tool::is_digit(*q)) ++q;
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
          if (++p == end || tool::hex_value(static_cast<unsigned char>(*p)) < 0) return nullptr;
          zero = zero && *p == '0';
        }
        if (zero) return nullptr;
      } else if (*p == '\0' || strchr("\"\\/bfnrt", *p) == nullptr) {
        return nullptr;
      }
    }
    return p < end ? p + 1 : nullptr;
  }
  if (*p == '-' || tool::is_digit(*p)) {
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

// Whether the len bytes at p are one JSON value in at most kMaxDepth containers, with only
// JSON whitespace around it.
bool json_strict(const char *p, int32_t len) {
  const char *end = p + len;
  char close[kMaxDepth];  // the bracket each open container waits for
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
      if (depth == kMaxDepth) return false;  // counted per container, whatever it holds
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

}  // namespace

json_object *answer_parse_json(const char *body, int32_t len) {
  if (!json_strict(body, len)) return nullptr;
  json_tokener *tok = json_tokener_new_ex(kMaxDepth + 1);
  if (tok == nullptr) return nullptr;
  // The scan let no zero byte through: the text ends at body[len]. Read as
  // json_tokener_parse reads, with the deeper limit (a tree only when the parse succeeded).
  json_object *obj = json_tokener_parse_ex(tok, body, -1);
  json_tokener_free(tok);
  return obj;
}
