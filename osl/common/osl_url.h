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
int32_t osl_url_parse(const char_t *url, SUrlInfo *info);

/* Copies the value of query parameter name (case-sensitive; at the start of url or after "?",
 * ";", "&" or ",", followed by "=") into value, at most valuesize-1 bytes, terminated; no
 * decoding. Returns value, or null when the parameter is absent (value untouched), name is null
 * or empty, or value has no room (null or valuesize < 1). */
char_t *osl_url_get_param(const char_t *url, const char_t *name, char_t *value, int32_t valuesize);

/* The parameter's value (first 63 bytes) through atoi; -1 when absent. A value beyond int32_t
 * gives INT32_MAX or INT32_MIN, as atoi does where long is 32 bits, on every target. */
int32_t osl_url_get_param_int(const char_t *url, const char_t *name);

/* The parameter's value (first 63 bytes) through atol; -1 when absent. */
long osl_url_get_param_long(const char_t *url, const char_t *name);

/* The parameter's value (first 63 bytes) through osl_str_str2int64; -1 when absent. */
int64_t osl_url_get_param_int64(const char_t *url, const char_t *name);

/* The parameter's value (first 63 bytes) through osl_str_str2uint64; 0 when absent. */
uint64_t osl_url_get_param_uint64(const char_t *url, const char_t *name);

/* osl_str_getval(buf, buflen, name, value, valuesize), for HTTP header blocks: with buflen the
 * length of the head up to and including its blank line, the body supplies no header. */
char_t *osl_url_getheadval(const char_t *buf, int32_t buflen, const char_t *name, char_t *value,
                           int32_t valuesize);

/* ---- end URL layout ---- */

/* ---- encoding and decoding (osl_url_codec.cpp) ---- */

/* Form encoding of the urllen bytes at url into buf (room size): letters, digits and . - _ *
 * kept, space as "+", every other byte (zero bytes included) as "%XX" (upper case). Returns
 * the length written before the terminator; input cut short by the room is not a failure.
 * 0 for a null pointer, urllen or size <= 0, or when an escape would not fit with the
 * terminator (buf then holds, terminated, the part encoded so far). */
int32_t osl_url_encode(const char_t *url, int32_t urllen, char_t *buf, int32_t size);

/* Component encoding of the NUL-terminated text url into buf (room size): space, the bytes
 * + ; / ? : @ & = $ , { } [ ] and the double quote, and bytes outside 0x21..0x7E become
 * "%XX"; "%" itself is kept. urllen is not used. Stops before the first byte whose output
 * would not fit with the terminator; always terminates when size > 0 (3 * strlen(url) + 1
 * always suffices). Returns the length written; 0 for a null pointer or size <= 0. */
int32_t osl_url_encode_component(const char_t *url, int32_t urllen, char_t *buf, int32_t size);

/* Lenient decoding of the text url, up to its terminator or urllen bytes, whichever comes first,
 * into buf (room size): "+" is a space; "%" with two more bytes gives one byte (digits 0-9,
 * letters worth 10-35 in either case, modulo 256; only the first when the second is neither);
 * a "%" not followed by a digit or letter, or whose two next bytes do not both lie within
 * urllen, is kept. No byte at or past urllen is read, so url need not be terminated there.
 * Always terminates inside size. Returns the bytes written (zero bytes from "%00" included); 0
 * for a null pointer or size <= 0. */
int32_t osl_url_decode(const char_t *url, int32_t urllen, char_t *buf, int32_t size);

/* ---- unprefixed names kept for existing callers (osl_url_legacy.cpp). The layer never calls
 * them: a program that uses neither may define its own htoi or url_decode. ---- */

/* Strict decoding in place of the len bytes at str: "+" is a space, "%" and two hexadecimal
 * digits one byte, anything else kept. Reads and writes only str[0..len-1]: a terminator
 * follows the result when it is shorter than len, else nothing is written after it, so a text
 * passed with len = strlen(str) stays terminated either way. Returns the result's length; 0
 * and nothing written for a null str or len <= 0. */
int32_t url_decode(char_t *str, int32_t len);

/* The value of the two hexadecimal digits at s (0..255; upper case folded). No validation:
 * other bytes give meaningless values. */
int32_t htoi(const char_t *s);

/* ---- end encoding and decoding ---- */

#ifdef __cplusplus
}
#endif

#endif /* OSL_URL_H */
