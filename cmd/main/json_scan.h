// The strict JSON scan of an answer's body, before json-c reads it.
#ifndef WANRADIO_JSON_SCAN_H
#define WANRADIO_JSON_SCAN_H

#include <stdint.h>

struct json_object;

// Parses the len bytes of body (body[len] is a zero byte) when they are exactly one JSON value
// (RFC 8259) with only JSON whitespace around it, nested in at most 32 containers. Returns the
// tree, which the caller releases with json_object_put, or null.
json_object *answer_parse_json(const char *body, int32_t len);

#endif  // WANRADIO_JSON_SCAN_H
