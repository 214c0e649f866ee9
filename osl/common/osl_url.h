/*
 * osl_url.h - URL layout, query parameters, header values, percent-encoding and decoding.
 *
 * Compiles as C99 and C++17; every function has C linkage.
 */
#ifndef OSL_URL_H
#define OSL_URL_H

#include <stdint.h>

#include "osl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- URL layout, query parameters and header values (osl_url.cpp) ---- */

/* Where the parts of a URL lie: byte offsets from the start of the URL text and lengths. An
 * absent part has length 0; test lengths, not positions. The scheme (text before "://") is not
 * recorded. */
typedef struct SUrlInfo {
  int32_t username_pos; /* user name: user information before its first ":" */
  int32_t username_len;
  int32_t userpswd_pos; /* password: user information after that ":" up to the "@" */
  int32_t userpswd_len;
  int32_t hostname_pos; /* host name or address */
  int32_t hostname_len;
  int32_t hostport_pos; /* port text after the ":" that follows the host */
  int32_t hostport_len;
  int32_t path_pos; /* path from its leading "/" up to the "?" or the end */
  int32_t path_len;
  int32_t param_pos; /* query text after the "?" */
  int32_t param_len;
} SUrlInfo;

/* Fills info (zeroed first) with the layout of url; the text is only read. Returns 0; -1 (and
 * nothing read) when url or info is null. */
int32_t osl_url_parse(char_t *url, SUrlInfo *info);

/* Copies the value of query parameter name (case-sensitive; at the start of url or after "?",
 * ";", "&" or ",", followed by "=") into value, at most valuesize-1 bytes, terminated; no
 * decoding. Returns value, or null when the parameter is absent (value untouched), name is null
 * or empty, or value has no room (null or valuesize < 1). */
char_t *osl_url_get_param(char_t *url, char_t *name, char_t *value, int32_t valuesize);

/* The parameter's value (first 63 bytes) through atoi; -1 when absent. */
int32_t osl_url_get_param_int(char_t *url, char_t *name);

/* The parameter's value (first 63 bytes) through atol; -1 when absent. */
long osl_url_get_param_long(char_t *url, char_t *name);

/* The parameter's value (first 63 bytes) through osl_str_str2int64; -1 when absent. */
int64_t osl_url_get_param_int64(char_t *url, char_t *name);

/* The parameter's value (first 63 bytes) through osl_str_str2uint64; 0 when absent. */
uint64_t osl_url_get_param_uint64(char_t *url, char_t *name);

/* osl_str_getval(buf, buflen, name, value, valuesize), for HTTP header blocks. */
char_t *osl_url_getheadval(char_t *buf, int32_t buflen, char_t *name, char_t *value,
                           int32_t valuesize);

/* ---- end URL layout ---- */

/* ---- encoding and decoding (osl_url_codec.cpp) ---- */

/* ---- end encoding and decoding ---- */

#ifdef __cplusplus
}
#endif

#endif /* OSL_URL_H */
