// answer.h - how wanradio reads the service's answer, kept apart from the socket so that the
// header cut and the JSON decisions can be fed bytes directly (tests and fuzzers).
#ifndef WANRADIO_ANSWER_H
#define WANRADIO_ANSWER_H

#include <stdint.h>

// The three module commands; each owns its message codes (-1000.., -2000.., -3000..).
enum cmd_kind { CMD_STATUS = 0, CMD_START = 1, CMD_STOP = 2 };

// Cuts an answer of `received` bytes in buf (which holds at least received + 1 bytes, the byte
// at buf[received] being zero) after its first blank line, moves the body to the start of buf
// and terminates it. Returns the body length (> 0), -5 when there is no blank line before the
// first zero byte, or -6 when nothing follows it.
int32_t answer_cut_body(char *buf, int32_t received);

// Decides, from an answer body (NUL-terminated), the one line that command `kind` prints, and
// writes it, with its line feed, into line (room `size` bytes, always terminated). Returns the
// line's length.
int32_t answer_line(enum cmd_kind kind, const char *body, char *line, int32_t size);

// The line printed for a transport failure of command `kind`, without the line feed.
const char *answer_transport_failure(enum cmd_kind kind);

#endif
