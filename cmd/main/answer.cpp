// The tool's answer handling: cut the HTTP answer after its headers, then let the JSON body
// decide the one line the command prints.
#include "answer.h"

#include <json-c/json.h>
#include <string.h>

#include "osl_string.h"

namespace {

struct cmd_lines {
  const char *transport;  // request failed, nothing parsed
  const char *parse;      // the body is not a JSON object with a "code"
  const char *success;    // "code" 0 (start and stop only)
};

const cmd_lines m_lines[] = {
    {"执行出错.code=-1000", "执行出错.code=-1001", nullptr},
    {"执行出错.code=-2000", "执行出错.code=-2001", "OK. CDMA is running."},
    {"执行出错.code=-3000", "执行出错.code=-3001", "OK. CDMA stopped."},
};

// A member that is present and not JSON null; null otherwise (also when obj is no object).
json_object *member(json_object *obj, const char *key) {
  json_object *value = nullptr;
  if (!json_object_is_type(obj, json_type_object)) return nullptr;
  if (!json_object_object_get_ex(obj, key, &value)) return nullptr;
  return value;
}

int32_t put_line(char *line, int32_t size, const char *text) {
  return osl_str_snprintf(line, size, "%s\n", text);
}

}  // namespace

int32_t answer_cut_body(char *buf, int32_t received) {
  const char *blank = strstr(buf, "\r\n\r\n");
  if (blank == nullptr) return -5;
  const int32_t start = static_cast<int32_t>(blank - buf) + 4;
  const int32_t len = received - start;
  if (len <= 0) return -6;
  memmove(buf, buf + start, static_cast<size_t>(len));
  buf[len] = '\0';
  return len;
}

const char *answer_transport_failure(enum cmd_kind kind) {
  return m_lines[kind].transport;
}

int32_t answer_line(enum cmd_kind kind, const char *body, char *line, int32_t size) {
  const cmd_lines &lines = m_lines[kind];
  json_object *resp = json_tokener_parse(body);
  int32_t n;
  // A body that is JSON but no object, or an object without "code", is no answer of the
  // service: reporting success for it would hide a broken service.
  json_object *code_obj = member(resp, "code");
  if (code_obj == nullptr) {
    n = put_line(line, size, lines.parse);
  } else if (const int32_t code = json_object_get_int(code_obj); code != 0) {
    n = osl_str_snprintf(line, size, "执行出错.code=%d\n", code);
  } else if (kind != CMD_STATUS) {
    n = put_line(line, size, lines.success);
  } else {
    json_object *result = member(resp, "result");
    json_object *enable = member(result, "cdmaEnable");
    if (enable == nullptr) {
      n = put_line(line, size, "执行出错.code=-1002");
    } else if (const int32_t state = json_object_get_int(enable); state == 1) {
      n = put_line(line, size, "CDMA is running.");
    } else if (state == 0) {
      n = put_line(line, size, "CDMA stopped.");
    } else {
      n = osl_str_snprintf(line, size, "执行出错.code=-1003, result=%d\n", state);
    }
  }
  if (resp != nullptr) json_object_put(resp);
  return n;
}
