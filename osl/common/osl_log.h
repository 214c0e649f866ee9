/*
 * osl_log.h - process-wide logging: a first target chosen by URL ("console://", "file://path",
 * "udp://host[:port]") with the global threshold, up to OSL_LOG_TARGETS_MAX further targets with
 * thresholds of their own, printf-style calls at four severities, up to 64 named modules with
 * their own thresholds and line prefixes, and a hex dump.
 *
 * Levels are signed 32-bit: 0 all, 1 debug, 2 info, 3 warn, 4 error, 8 none. A text of
 * severity s passes a threshold t when t <= s. Before osl_log_init or osl_log_set_target the
 * threshold is 3 and the target is empty, so every text is discarded.
 *
 * One thread at a time: no locks, for logging and settings alike (the calls that add, remove and
 * reopen targets included). Each text is formatted once, in a fixed 8196-byte stack buffer (at
 * most 8194 characters, longer texts are cut; a failed conversion delivers an empty text), and
 * nothing is allocated. A file takes each text whole in one unbuffered append; a datagram carries
 * the text and its terminating zero byte. The log's descriptors are close-on-exec. The log never
 * kills, stops or holds up its process: a pipe whose reader left loses texts without a SIGPIPE
 * reaching the process, a terminal is written with SIGTTOU blocked, a full pipe or terminal holds
 * up one text at most 100 ms and later ones not at all until it takes texts again, and a datagram
 * the socket cannot take at once is lost. Console output goes through stdio's stdout, unguarded.
 * The module prints nothing about its own failures. Compiles as C99 and C++17.
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
#define OSL_LOG_TARGETS_MAX 4  /* further targets beside the first; ids run 1..4 */
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

/* Closes every target and removes the further ones, then: threshold = level, target
 * "console://", module table cleared (every slot free, flag 0), file byte count 0. The maximum
 * size, count and backups keep their values. Returns 0. */
int32_t osl_log_init(int32_t level);

/* Closes every target's file or socket (leaving a joined multicast group first). URLs, levels and
 * modules stay, so console targets go on printing and file/UDP ones go silent. */
void osl_log_exit(void);

/* Closes the first target and sets url (scheme in any case, stored cut to 1023 characters):
 * "console://" (stdout), "file://PATH" (appended, rotated to its backups), "udp://HOST[:PORT]"
 * (datagrams, port 8000 when absent; a host name is looked up for at most 2 s); anything else
 * discards texts. Returns 0, or -1 for a null url, an unusable udp url or a group's failed bind. */
int32_t osl_log_set_target(const char_t *url);

/* Copies the current URL into buf, at most size - 1 characters, always terminated. Does
 * nothing for a null buf or size <= 0. */
void osl_log_get_target(char_t *buf, int32_t size);

/* Bytes (1 GiB at load) at which a regular log file is moved to its backups and started anew,
 * counting only bytes written (64-bit; for the first target it carries over to the next file
 * target). A log that cannot be moved aside is kept and appended to, never emptied. */
void osl_log_set_max_logsize(uint32_t maxsize);

/* Stores a number of log files to keep (7 at load) that nothing reads: osl_log_set_backups sets
 * how many backups a rotation keeps. */
void osl_log_set_max_lognum(uint32_t daynum);

/* Backups a rotation keeps, count (1 at load) taken in 1..99: the newest is PATH.bak, older ones
 * PATH.bak.2 .. PATH.bak.count; a backup older than the count is removed. */
void osl_log_set_backups(uint32_t count);

/* Adds a further target for url (as osl_log_set_target, but not cut: at most 1023 characters)
 * that takes texts of severity >= level, whatever the global threshold. Returns its id 1..4, or -1
 * (null or unusable url, no udp host, unknown scheme, all OSL_LOG_TARGETS_MAX in use). */
int32_t osl_log_add_target(const char_t *url, int32_t level);

/* Closes and removes further target id. Returns 0, or -1 for an id not in use. */
int32_t osl_log_remove_target(int32_t id);

/* Opens every file target again at its path, moving nothing (for logrotate's SIGHUP). Returns 0,
 * or -1 when a path could not be opened (that target keeps its open file). */
int32_t osl_log_reopen(void);

/* ---- levelled and module logging ---- */

/* Sets the global threshold, the first target's, unaltered (no range test). */
void osl_log_set_level(int32_t level);

/* The global threshold. */
int32_t osl_log_get_level(void);

/* printf-style texts at severity 1 (debug), 2 (info), 3 (warn), 4 (error), delivered as
 * formatted (no prefix, no line end added) to each target whose threshold passes them. Return 0
 * when no target takes them (nothing is formatted), otherwise the delivered length plus 1. */
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
 * Pass only when the slot is in use and the module threshold admits the severity, to each target
 * whose threshold admits it too. Return 0 when filtered out or for any mod outside 1..64 (INT32_MIN included),
 * otherwise the delivered length plus 1. */
int32_t osl_log_mod_debug(int32_t mod, const char_t *format, ...) OSL_LOG_PRINTF(2, 3);
int32_t osl_log_mod_info(int32_t mod, const char_t *format, ...) OSL_LOG_PRINTF(2, 3);
int32_t osl_log_mod_warn(int32_t mod, const char_t *format, ...) OSL_LOG_PRINTF(2, 3);
int32_t osl_log_mod_error(int32_t mod, const char_t *format, ...) OSL_LOG_PRINTF(2, 3);

/* Prints the global and every in-use module threshold as a box and a "#LOG SET" line, one
 * osl_log_error call per row (so only to targets whose threshold is 4 or less). */
void osl_log_mod_config(void);

/* ---- hex dump ---- */

/* Dumps len bytes at buf through osl_log_debug: a header "msg--> addr=... N bytes" (N = len,
 * printed unsigned), then wide (8 or 16) bytes per line in hex and as text, indented by the
 * tabs (at most 6) that follow msg's leading line ends. Returns the sum of osl_log_debug's
 * results for the data lines, or 0 with no output for a null msg or buf or another width. When
 * no target takes debug texts it returns 0 at once, reading neither msg nor buf. */
int32_t osl_log_hex(const char_t *msg, const char_t *buf, uint32_t len, int32_t wide);

#ifdef __cplusplus
}
#endif

#endif /* OSL_LOG_H */
