// answer.h - how wanradio speaks to the service, kept apart from the socket so that the request
// bytes, the "is the answer complete?" decision, the header cut, the chunk decoder and the JSON
// decisions can be fed bytes directly (tests and fuzzers). Every text the tool prints on a
// failure lives in answer.cpp.
#ifndef WANRADIO_ANSWER_H
#define WANRADIO_ANSWER_H

#include <stdint.h>

// The three module commands; each owns its message codes (-1000.., -2000.., -3000..).
enum cmd_kind { CMD_STATUS = 0, CMD_START = 1, CMD_STOP = 2 };

// Writes the whole request for path (with params as the query of a GET or the form body of a
// POST; params may be null or empty) into buf (room `size`), terminated. Returns its length, or
// -1 when it does not fit (buf then holds no usable request).
int32_t answer_build_request(bool is_post, const char *path, const char *params, char *buf,
                             int32_t size);

// Removes from the start of the len bytes in buf every interim head (a status line with a 1xx
// code other than 101, its header lines and its blank line), which a server may send unasked
// before its answer, however long: of a head whose blank line has not arrived only the last
// three bytes stay, and *in_head (false before the first call) stays true until its end has
// passed through a later call. Returns the length of what is left; bytes past it are stale.
int32_t answer_drop_interim(char *buf, int32_t len, bool *in_head);

// 1 when the first len bytes of buf (room for size bytes) hold a whole answer: the header
// block's blank line and then either Content-Length bytes of body or a chunked body up to its
// last chunk and the end of the trailers, or framing that more bytes cannot mend (a malformed
// chunked body, a chunk that cannot fit in the room, a Content-Length that is no decimal number
// or two different ones). 0 while more may follow (also for an answer only the close can end).
int32_t answer_complete(const char *buf, int32_t len, int32_t size);

// Cuts an answer of `received` bytes in buf (which holds at least received + 1 bytes) after its
// first blank line (zero bytes before it are bytes like any other), moves the body to the start
// of buf and terminates it. Returns the body length (> 0), -5 when there is no blank line, or -6
// when nothing follows it.
int32_t answer_cut_body(char *buf, int32_t received);

// Decodes, in place, a chunked body of len bytes: hex sizes, extensions after ';' and trailers
// ignored. Terminates the data. Returns the data length (>= 0), or -1 when the chunking is
// malformed or stops before its last chunk (buf then holds an empty text).
int32_t answer_dechunk(char *buf, int32_t len);

// The cut and, for a chunked answer, the decoding: leaves the body text, terminated, at the
// start of buf. The body is what the framing says: no more than Content-Length bytes, and for a
// chunked answer only the chunks' data. Returns its length (>= 0; 0 when the framing is
// malformed or a chunked body empty, so the JSON decision reports it), -5 or -6 as
// answer_cut_body.
int32_t answer_take_body(char *buf, int32_t received);

// Decides, from an answer body of len bytes (body[len] is a zero byte), the one line that
// command `kind` prints, and writes it, with its line feed, into line (room `size` bytes, always
// terminated). A body counts only when it is exactly one JSON value with only JSON whitespace
// around it. Returns the line's length.
int32_t answer_line(enum cmd_kind kind, const char *body, int32_t len, char *line, int32_t size);

// The line printed for a transport failure of command `kind`, without the line feed.
const char *answer_transport_failure(enum cmd_kind kind);

// The line printed by the request for its failure `code` (-1 to -6), without the line feed.
const char *answer_request_failure(int32_t code);

// The line printed before the help box for a word that is no command, without the line feed.
const char *answer_unknown_command(void);

#endif
