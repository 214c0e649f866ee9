// The log's targets: the first (osl_log_set_target) and up to kExtraMax further ones, each the
// console, a file (osl_log_file.cpp: rotation, FIFO and terminal guards) or a UDP socket
// (osl_log_udp.cpp). Private to the log module: osl_log.cpp formats, osl_log_target.cpp keeps the
// table and hands each finished text to the targets that take its severity.
#ifndef OSL_LOG_TARGET_H
#define OSL_LOG_TARGET_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "osl_types.h"

namespace osl_clock {

// What a call of osl_get_ms whose reading is thrown away does, at the cost of one flag load when
// the clock already counts (defined with the clocks, osl/linux/osl.cpp).
void start_ms(void);

}  // namespace osl_clock

namespace osl_log_target {

enum class Kind { kDiscard, kConsole, kFile, kUdp };

constexpr int32_t kUrlSize = 1024;   // a stored URL, terminator included
constexpr size_t kTextMax = 8194;    // the longest text the log delivers
constexpr int32_t kExtraMax = 4;     // further targets beside the first
constexpr int32_t kWaitMs = 100;     // the longest a text waits for a full pipe or terminal

// One target. Its URL and unwritten rest live in arrays of their own, so that the table's
// load-time state (constant-initialised, no constructor) keeps the large buffers zero-filled.
struct Target {
  Kind kind;
  bool used;         // further targets: the slot is taken
  int32_t level;     // further targets: their own threshold
  const char_t *path;  // a file target's path, inside url
  int fd;            // a file target's descriptor, -1 when none is open
  int sock;          // a udp target's socket, -1 when none
  uint32_t ip;       // network byte order
  uint16_t port;     // network byte order
  // The file is written where it is, never moved: no regular file at its path (a link, a pipe,
  // a device). Rotation only restarts the count, and writes wait for it at most kWaitMs.
  bool in_place;
  bool may_pipe;     // can raise SIGPIPE: written with the guard
  bool tty;          // a terminal: written with SIGTTOU blocked
  bool fifo;         // a pipe: closed when its reader leaves, its path opened again
  bool watch;        // a regular file or a link: PATH is compared with it once a second
  bool reopen;       // a FIFO without a reader: its path is opened again at each text
  bool stalled;      // the last text found the pipe or terminal full: no waiting until it drains
  dev_t dev;         // the open regular file, to tell when PATH names another
  ino_t ino;
  int64_t checked_s;   // the coarse clock's second of PATH's last comparison (a text count
                       // while that clock cannot be read)
  uint64_t filesize;   // bytes written since the last rotation (64-bit: no wrap near 4 GiB)
  size_t rest_len;     // the unwritten end of a text a pipe or terminal took only part of
  char_t *url;         // kUrlSize bytes
  char_t *rest;        // kTextMax bytes
};

extern Target m_first;
// The first target is a file and there is no further target: texts that need no building go
// straight from the caller's memory to its descriptor.
extern bool m_direct;
extern uint32_t m_maxsize;  // bytes at which a file rotates
extern uint32_t m_backups;  // backups a rotation keeps, 1..kBackupsMax
constexpr uint32_t kBackupsMax = 99;

// Closes every target, removes the further ones, then makes "console://" the first target with a
// byte count of 0.
void reset(void);

// Whether a target other than t has the file dev/ino open: a log that another target writes
// is never moved aside when t opens it.
bool open_elsewhere(const Target &t, dev_t dev, ino_t ino);

// The lowest threshold of the further targets, INT32_MAX when there is none.
int32_t extra_floor(void);

// Recomputes the threshold under which no target takes a text (osl_log.cpp).
void refresh_floor(void);

// Hands one finished, terminated text of severity to the first target (when first) and to each
// further target that takes it. size counts a datagram's bytes (length plus terminator); files
// and the console get the len bytes before the first zero byte.
void deliver(char_t *buf, int32_t size, size_t len, int32_t severity, bool first);

// ---- file targets (osl_log_file.cpp)

// Opens t.path as a log: moves an older log with text aside to its backups, then opens the path.
void open_file_target(Target &t);

// Appends len bytes of text (never cut), rotating at the maximum size.
void write_file(Target &t, const char_t *text, size_t len);

// Opens t.path again, moving nothing; 0, or -1 when it cannot be (the open descriptor is kept).
int32_t reopen_file(Target &t);

void close_file(Target &t);

// ---- udp targets (osl_log_udp.cpp)

// Opens t's socket for the caller's whole URL (the stored t.url may be cut): 0, or -1 as
// osl_log_set_target states; *no_host is set when the URL names no host (texts discarded).
int32_t open_udp(Target &t, const char_t *whole, bool *no_host);

void send_udp(Target &t, const char_t *buf, int32_t size);

void close_udp(Target &t);

}  // namespace osl_log_target

#endif  // OSL_LOG_TARGET_H
