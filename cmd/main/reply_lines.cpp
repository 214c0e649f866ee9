// The reply lines: every text the tool prints, and the decision, from an answer's JSON, of the
// one line a command prints.
#include "reply_lines.h"

#include <errno.h>
#include <json-c/json.h>
#include <math.h>
#include <string.h>

#include "json_scan.h"
#include "osl_string.h"
#include "tool_sys.h"

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

// A member that is present and not JSON null; null otherwise (also when obj is no object).
json_object *member(json_object *obj, const char *key) {
  json_object *value = nullptr;
  if (json_object_get_type(obj) != json_type_object) return nullptr;  // json_type_null for null
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
      // The whole string by its JSON length ("0\u0000 failed" is text, not the digit 0), and a
      // digit right after the optional sign (" 0" is text too).
      const char *s = json_object_get_string(obj);
      const char *d = *s == '-' || *s == '+' ? s + 1 : s;
      if (strlen(s) != static_cast<size_t>(json_object_get_string_len(obj)) ||
          !tool::is_digit(*d)) {
        return false;
      }
      int64_t v = 0;
      if (osl_str_to_int64(s, &v) != 0) {
        if (errno != ERANGE) return false;
        v = *s == '-' ? INT64_MIN : INT64_MAX;
      }
      *out = clamp32(v);
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
  json_object *resp = answer_parse_json(body, len);
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
