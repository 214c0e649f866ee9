/*
 * osl_log.h - process-wide logging: one target chosen by URL ("console://", "file://path",
 * "udp://host[:port]"), a global threshold, printf-style calls at four severities, up to 64
 * named modules with their own thresholds and line prefixes, and a hex dump.
 *
 * Levels are signed 32-bit: 0 all, 1 debug, 2 info, 3 warn, 4 error, 8 none. A text of
 * severity s passes a threshold t when t <= s. Before osl_log_init or osl_log_set_target the
 * threshold is 3 and the target is empty, so every text is discarded.
 *
 * No locks: the module is for one thread at a time (logging and settings alike); a caller
 * that logs from several threads at once gets interleaved state, and rotation is what breaks
 * first (descriptors leaked, texts written through one already closed). Every text is
 * formatted in a fixed 8196-byte stack buffer (at most 8194 characters, longer texts are cut)
 * and nothing is allocated; a text whose formatting fails (e.g. a wide character the locale
 * cannot encode) is delivered empty, never with bytes the formatter did not write. File texts
 * are written unbuffered, one write per text, in append mode (after an outside truncation the
 * next text lands at offset 0); datagrams carry the text plus its terminating zero byte. The
 * log file and socket are close-on-exec: commands the process starts do not inherit them.
 * The log never kills its process: a file target that can raise SIGPIPE (a pipe, anything but a
 * regular file or a character device) is written with SIGPIPE blocked in the writing thread, and
 * the signal a reader's leaving raised is taken back, so no signal reaches the process (nor a
 * handler of osl_init) and the text is lost quietly; the thread's mask and the signal's
 * disposition are left as found, and exactly the SIGPIPEs the application had pending (for the
 * thread or the process, also one that came while the log waited) stay pending. While a SIGPIPE
 * is pending and the thread's own pending set cannot be read (/proc/thread-self/status cannot
 * be opened, as at the descriptor limit, or shows none, as under an emulator), such a target is
 * not written and the text is lost quietly. A terminal target is written with SIGTTOU blocked
 * in the writing thread, so a background job under TOSTOP is not stopped; the mask is left as
 * found. Regular files pay no extra system call for this.
 * The log never holds up its caller: a logging call waits for a file target that is no regular
 * file (a pipe, a terminal) at most 100 ms in all (signals do not cut the wait short), and what
 * it has not taken by then is lost, so a reader that stopped reading finds at most one text cut; datagrams are sent without
 * waiting, and one the socket cannot take at once (a collector whose address gets no ARP
 * answer) is lost. Console output goes through stdio's stdout,
 * unflushed and not guarded: a stdout that is a pipe whose reader left raises SIGPIPE at stdio's
 * flush, as the application's own output does. The module prints nothing about its own
 * failures. Compiles as C99 and C++17.
 */
#ifndef OSL_LOG_H
#define OSL_LOG_H

#include <stdint.h>

#include "osl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OSL_LOG_ALL 0
#define OSL_LOG_DEBUG 1
#define OSL_LOG_INFO 2
#define OSL_LOG_WARN 3
#define OSL_LOG_ERROR 4
#define OSL_LOG_NONE 8

#define OSL_LOG_MOD_MAX 64     /* module slots; module numbers run 1..64 */
#define OSL_LOG_MOD_NAME_LEN 32 /* bytes per stored name, terminator included */

/* Module table. flag bit 0 adds the millisecond clock to module prefixes, bit 1 the local time
 * text (bit 0 wins); mod[i] is 1 while slot i (module i + 1) is in use, 0 when free. */
typedef struct log_mod_t {
  int32_t flag;
  int32_t mod[OSL_LOG_MOD_MAX];
  int32_t level[OSL_LOG_MOD_MAX];
  char_t name[OSL_LOG_MOD_MAX][OSL_LOG_MOD_NAME_LEN];
} log_mod_t;

#if defined(__GNUC__)
#define OSL_LOG_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define OSL_LOG_PRINTF(f, a)
#endif

/* ---- targets ---- */

/* Closes an open file or socket target, then: threshold = level, target "console://", module
 * table cleared (every slot free, flag 0), file byte count 0. The maximum size and count keep
 * their values. Returns 0. */
int32_t osl_log_init(int32_t level);

/* Closes the target's file or socket (leaving a joined multicast group first). The URL, levels
 * and modules stay, so a console target goes on printing and a file/UDP one goes silent. */
void osl_log_exit(void);

/* Closes the current target, then sets url (scheme in any case): "console://" prints on stdout;
 * "file://PATH" moves PATH to PATH.bak (the full name, never cut; an older backup file is
 * replaced) and starts PATH empty; when PATH cannot be moved aside (read-only directory,
 * PATH.bak a directory) nothing is deleted or emptied and texts are appended to PATH; a PATH
 * that exists but is no regular file (a symbolic link, /dev/null, a console, a pipe) is never
 * moved, neither here nor at the maximum size (its descriptor is kept then; only the count
 * restarts): texts are appended through a link to what it names. When the new PATH cannot be
 * made after the move (no inode or room left), PATH.bak is moved back unless something took
 * PATH's place, and texts are appended to it. PATH is opened without ever waiting, also at
 * rotation; what the descriptor opened decides, at every open: anything but a regular file is
 * written in place. A FIFO that has no reader when opened, or whose reader left (its descriptor
 * is then closed), is opened again at PATH (never created) at each later text until that
 * succeeds, whatever an attempt fails with, so a reader that comes later, also to a FIFO made
 * anew at PATH, gets every text logged after it opened; a regular file found there then is the
 * log and rotates; 0 even when PATH cannot be opened or is empty (nothing is opened or deleted,
 * texts are lost);
 * "udp://HOST[:PORT]" sends each text as a datagram to HOST (dotted address or name) at PORT
 * (8000 when absent or empty; otherwise decimal digits only, worth 1..65535) from a socket that
 * may send to broadcast addresses; nothing may follow the port, in the whole url, also past
 * what is stored (no path, "?", "#" or user information before HOST: -1 and no socket; with no
 * HOST at all, 0 and texts are discarded).
 * The socket is unbound (an ephemeral port), or, for a group in 224.0.0.0..239.255.255.255,
 * bound with SO_REUSEADDR to the group's address and PORT (unicast datagrams for PORT still
 * reach a local collector that holds it; a local receiver of the group gets every text) and
 * joined to the group; the log's socket accepts no datagram, so nothing is queued on it; any
 * other text discards everything. Returns 0, or -1 for a null url (the old URL stays), an
 * unusable udp host or port (no socket), or a group's failed bind (the socket is kept and still
 * sends). The URL is stored cut to 1023 characters. */
int32_t osl_log_set_target(const char_t *url);

/* Copies the current URL into buf, at most size - 1 characters, always terminated. Does
 * nothing for a null buf or size <= 0. */
void osl_log_get_target(char_t *buf, int32_t size);

/* Bytes (1 GiB at load) at which the log file is moved to its .bak and restarted; checked after
 * each write. The count is 64-bit (it cannot wrap past a maximum near 4 GiB) and carries over
 * when one file target follows another. A log that cannot be moved aside is kept and appended
 * to, never emptied. */
void osl_log_set_max_logsize(uint32_t maxsize);

/* Stores a number of log files to keep (7 at load) that nothing reads: rotation always keeps
 * exactly one backup. */
void osl_log_set_max_lognum(uint32_t daynum);

/* ---- levelled and module logging ---- */

/* Sets the global threshold, unaltered (no range test). */
void osl_log_set_level(int32_t level);

/* The global threshold. */
int32_t osl_log_get_level(void);

/* printf-style texts at severity 1 (debug), 2 (info), 3 (warn), 4 (error), delivered as
 * formatted (no prefix, no line end added). Return 0 when filtered out (nothing is formatted),
 * otherwise the delivered length plus 1. */
int32_t osl_log_debug(const char_t *format, ...) OSL_LOG_PRINTF(1, 2);
int32_t osl_log_info(const char_t *format, ...) OSL_LOG_PRINTF(1, 2);
int32_t osl_log_warn(const char_t *format, ...) OSL_LOG_PRINTF(1, 2);
int32_t osl_log_error(const char_t *format, ...) OSL_LOG_PRINTF(1, 2);

/* Registers a module in the lowest free slot with threshold level (0 when outside 0..8) and
 * the first 31 characters of name (a null name is stored empty). Returns the module number
 * 1..64, or -1 when all slots are in use. Names are not compared. */
int32_t osl_log_mod_create(const char_t *name, int32_t level);

/* Frees module mod's slot and sets its threshold to 8; numbers outside 1..64 are ignored. */
void osl_log_mod_release(int32_t mod);

/* Sets module mod's threshold, unaltered, and marks its slot in use (name kept). Numbers
 * outside 1..64 are ignored. */
void osl_log_mod_set_level(int32_t mod, int32_t level);

/* Module mod's threshold whatever the slot's state; -1 for any number outside 1..64. */
int32_t osl_log_mod_get_level(int32_t mod);

/* Sets and reads the module prefix flag (see log_mod_t). */
void osl_log_mod_set_flag(uint32_t flag);
uint32_t osl_log_mod_get_flag(void);

/* printf-style texts for module mod at severity 1..4, after a prefix "[L][NN] ", with the
 * millisecond clock "[L][NN][ms] " or the local time text "[L][NN][time\n] " as the flag asks.
 * Pass only when the slot is in use and both the global and the module threshold admit the
 * severity. Return 0 when filtered out or for any mod outside 1..64 (INT32_MIN included),
 * otherwise the delivered length plus 1. */
int32_t osl_log_mod_debug(int32_t mod, const char_t *format, ...) OSL_LOG_PRINTF(2, 3);
int32_t osl_log_mod_info(int32_t mod, const char_t *format, ...) OSL_LOG_PRINTF(2, 3);
int32_t osl_log_mod_warn(int32_t mod, const char_t *format, ...) OSL_LOG_PRINTF(2, 3);
int32_t osl_log_mod_error(int32_t mod, const char_t *format, ...) OSL_LOG_PRINTF(2, 3);

/* Prints the global and every in-use module threshold as a box and a "#LOG SET" line, one
 * osl_log_error call per row (so only at a global threshold of 4 or less). */
void osl_log_mod_config(void);

/* ---- hex dump ---- */

/* Dumps len bytes at buf through osl_log_debug: a header "msg--> addr=... N bytes" (N = len,
 * printed unsigned), then wide (8 or 16) bytes per line in hex and as text, indented by the
 * tabs (at most 6) that follow msg's leading line ends. Returns the sum of osl_log_debug's
 * results for the data lines, or 0 with no output for a null msg or buf or another width. When
 * the global threshold filters debug texts it returns 0 at once, reading neither msg nor buf. */
int32_t osl_log_hex(const char_t *msg, const char_t *buf, uint32_t len, int32_t wide);

#ifdef __cplusplus
}
#endif

#endif /* OSL_LOG_H */
