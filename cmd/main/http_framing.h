// HTTP framing of the tool's exchange, apart from the socket so that tests and fuzzers can feed
// it bytes: the request bytes, interim heads, when an answer is complete, and the body its
// framing gives.
#ifndef WANRADIO_HTTP_FRAMING_H
#define WANRADIO_HTTP_FRAMING_H

#include <stdint.h>

// Writes the whole request for path (with params as the query of a GET or the form body of a
// POST; params may be null or empty) into buf (room `size`), terminated. Returns its length, or
// -1 when it does not fit (buf then holds no usable request).
int32_t answer_build_request(bool is_post, const char *path, const char *params, char *buf,
                             int32_t size);

// Drops from the start of the len bytes in buf every interim head (status code of exactly three
// digits, 1xx but 101, then a space or CR), whatever its length; a head with too few bytes to
// judge stays. *in_head (false at first) carries a head cut short. Returns the length left.
int32_t answer_drop_interim(char *buf, int32_t len, bool *in_head);

// 1 when the first len bytes of buf (room for size bytes) hold a whole answer (head, then
// Content-Length bytes or chunks to the end of the trailers) or framing no byte can mend; 0
// while more may follow, always for a body that only the close ends.
int32_t answer_complete(const char *buf, int32_t len, int32_t size);

// Cuts an answer of `received` bytes in buf (room received + 1) after its first blank line,
// moves the body to the start of buf and terminates it. Returns the body length (> 0), -5 when
// there is no blank line, or -6 when nothing follows it.
int32_t answer_cut_body(char *buf, int32_t received);

// Decodes, in place, a chunked body of len bytes (extensions and trailers ignored) and
// terminates the data. Returns its length (>= 0), or -1 when the chunking is malformed or stops
// before its last chunk (buf then holds an empty text).
int32_t answer_dechunk(char *buf, int32_t len);

// Leaves the body the framing gives, terminated, at the start of buf: at most Content-Length
// bytes, a chunked body's data, or all to the close under another Transfer-Encoding. Returns
// its length (> 0), 0 for malformed framing, -5 without a blank line, -6 for an empty body.
int32_t answer_take_body(char *buf, int32_t received);

#endif  // WANRADIO_HTTP_FRAMING_H
