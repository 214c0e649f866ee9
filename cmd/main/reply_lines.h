// The lines the tool prints: a command's result line from an answer's body, and the fixed
// failure texts.
#ifndef WANRADIO_REPLY_LINES_H
#define WANRADIO_REPLY_LINES_H

#include <stdint.h>

// The three module commands; each owns its message codes (-1000.., -2000.., -3000..).
enum cmd_kind { CMD_STATUS = 0, CMD_START = 1, CMD_STOP = 2 };

// Writes the one line (with its line feed) that command `kind` prints for an answer body of len
// bytes (body[len] is a zero byte) into line (room `size`, always terminated). Returns the
// line's length.
int32_t answer_line(enum cmd_kind kind, const char *body, int32_t len, char *line, int32_t size);

// The line printed for a transport failure of command `kind`, without the line feed.
const char *answer_transport_failure(enum cmd_kind kind);

// The line printed by the request for its failure `code` (-1 to -6), without the line feed.
const char *answer_request_failure(int32_t code);

// The line printed before the help box for a word that is no command, without the line feed.
const char *answer_unknown_command(void);

#endif  // WANRADIO_REPLY_LINES_H
