// Delivery of the log's finished texts to its one process-wide target: the console, a rotating
// file (guarded against SIGPIPE where it can raise one) or a UDP socket. Private to the log
// module; osl_log.cpp formats, this part opens, writes, rotates and closes.
#ifndef OSL_LOG_TARGET_H
#define OSL_LOG_TARGET_H

#include <stddef.h>
#include <stdint.h>

#include "osl_types.h"

namespace osl_log_target {

// What the URL asked for, decided once when it is set.
enum class Kind { kDiscard, kConsole, kFile, kUdp };
extern Kind m_kind;

// Closes the target, then makes "console://" the target with a byte count of 0.
void reset(void);

// Appends len bytes of text to a file target, and rotates once the byte count reaches the
// maximum. A regular file takes the whole text, anything else (a pipe, a terminal) what it takes
// within 100 ms, a terminal with SIGTTOU blocked; a full disk loses the text. A FIFO that had no
// reader, or whose reader left, is opened again first.
void write_file(const char_t *text, size_t len);

// Delivers one finished, terminated text. size counts the bytes of a datagram (the length plus
// the terminator); a file gets the len bytes before the first zero byte. -1 for a null buf or
// size <= 0, else 0 whatever happened.
int32_t deliver(char_t *buf, int32_t size, size_t len);

}  // namespace osl_log_target

#endif  // OSL_LOG_TARGET_H
