/*
 * osl.h - process services of the osl layer: clocks and the time zone, shell commands and
 * system queries, start-up, shutdown and signals.
 *
 * Compiles as C99 and C++17; every function has C linkage.
 */
#ifndef OSL_H
#define OSL_H

#include <stdint.h>
#include <time.h>

#include "osl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- clocks and time zone (osl.cpp) ---- */

/*
 * Every clock here but osl_get_mono_ms reads the system's wall clock (gettimeofday, time), so
 * setting the system time moves them all. No locks: the baselines and the cached zone are
 * process-wide and shared by every thread. A relative clock read in one thread while another
 * sets or re-arms its baseline counts from that baseline or an earlier one, never from nothing
 * and never from one later than its own reading.
 *
 * UTC seconds are uint32_t counted from 1970-01-01 00:00:00 UTC. The layer is built with a
 * 64-bit time_t on every target, the 32-bit board included, so values of 2^31 and above are the
 * times from 2038-01-19 to 2106-02-07 everywhere. No declaration here depends on the size of
 * time_t: callers need not build with 64-bit time themselves. A clock that cannot be read makes
 * a reading 0 (null for the time string), never a leftover value.
 * Time zones are signed whole hours east of UTC (+8 for UTC+8, -5 for UTC-5).
 */

/* Milliseconds of the monotonic clock (CLOCK_MONOTONIC, counted from an unspecified moment such
 * as boot): never moved by setting the system time, never going back. 0 when the clock cannot be
 * read, as for the clocks below. */
uint64_t osl_get_mono_ms(void);

/* Suspends the calling thread for us microseconds (usleep); errors are ignored. A negative us
 * sleeps 0 (usleep would read it as about 71 minutes). */
void osl_usleep(int32_t us);

/* Milliseconds since this clock's baseline, wrapping modulo 2^32 (about 49.7 days). The first
 * call, and the first after osl_reset, sets the baseline and returns 0. 0 when the wall clock
 * cannot be read (an armed clock then stays armed). */
uint32_t osl_get_ms(void);

/* The same count in 64 bits with its own baseline; does not wrap. A clock set back behind the
 * baseline gives a negative count seen as unsigned (close to 2^64). */
uint64_t osl_get_ms64(void);

/* Microseconds since this clock's own baseline (first call, or first after osl_reset: 0). */
uint64_t osl_get_us(void);

/* Re-arms the three relative clocks: the next call of each sets a new baseline and returns 0. */
void osl_reset(void);

/* The current UTC time in seconds (time()); 0 when the clock cannot be read. */
uint32_t osl_get_utc(void);

/* The current UTC time in milliseconds; 0 when the clock cannot be read. */
int64_t osl_get_utc_ms(void);

/* The current UTC time in microseconds; 0 when the clock cannot be read. */
uint64_t osl_get_utc_us(void);

/* Sets the system clock to utc_us microseconds since 1970: 0, or -1 with errno set (EPERM
 * without the privilege, EINVAL for a time the kernel cannot hold). Re-arms the relative clocks
 * first, whatever the outcome. */
int32_t osl_set_utc_us(uint64_t utc_us);

/* The current time broken down as local time and converted back with mktime; 0 when the clock
 * cannot be read or the local-time conversion fails. */
uint32_t osl_get_ltc(void);

/* The host's offset from UTC in whole hours east, cut toward zero (5 for UTC+5:30), standard
 * time even while daylight-saving time is in effect; cached until osl_set_time_zone. 8 when the
 * clock cannot be read or the UTC break-down fails. */
int32_t osl_get_time_zone(void);

/* Sets TZ to "GMT-8" for time_zone 8 (POSIX sign, inverted) and calls tzset: 0, or -1 when
 * setenv fails. Clears the cached zone in any case. Not safe while other threads read the
 * environment or convert local time. */
int32_t osl_set_time_zone(int32_t time_zone);

/* localtime of *utc: the C library's shared static record (overwritten by the next localtime
 * anywhere in the process), or null for a null utc or a failed conversion. */
struct tm *osl_localtime(const uint32_t *utc);

/* The current local time in asctime form, 24 characters plus '\n' ("Tue Mar  5 14:07:09 2024\n"),
 * in the C library's shared static buffer; null when the clock cannot be read or the conversion
 * fails. */
char *osl_get_time_string(void);

/* ---- end clocks and time zone ---- */

/* ---- commands (osl_command.cpp), system queries (osl_process.cpp), start-up and signals
 * (osl_startup.cpp) ---- */

/* The most osl_gets ever writes: a line of at most OSL_GETS_MAX - 1 characters and the
 * terminator. */
#define OSL_GETS_MAX 1024

/* Runs cmd through /bin/sh -c and waits for the shell; 0 when it ran (status not examined) or
 * cmd is null or empty, -1 when it could not start (logged as "popen() error!\r\n"). With buf
 * and size > 0, zeroes size bytes and stores the first size bytes of standard output (the rest
 * unread); else the output goes to /dev/null. The command gets only descriptors 0-2, ignores
 * SIGTTOU, and keeps the caller's process group, standard input and error. */
int32_t osl_excute(const char *cmd, char *buf, int32_t size);

/* osl_excute within limit_ms (< 0: no limit): the shell leads a group of its own, standard input
 * /dev/null; at the limit the shell and its group are killed: -1, errno ETIMEDOUT. buf gets at
 * most size - 1 bytes, always terminated; *status the exit status, 128 + N for signal N, or -1.
 * A watched stop signal (osl_signal_watch) pending before or during a limited run ends it as the
 * limit does, errno EINTR. -1 with EINVAL for an empty cmd, or the failed step's errno. */
int32_t osl_excute_timed(const char_t *cmd, char_t *buf, int32_t size, int32_t limit_ms,
                         int32_t *status);

/* The number of lines of /proc/cpuinfo that begin with "processor", ignoring case; -1 when the
 * file cannot be opened. */
int32_t osl_get_cpu_count(void);

/* Reads one line from standard input into str without its newline and terminates it. Writes
 * only the text and its terminator (strlen(str) + 1 bytes), never more than OSL_GETS_MAX: a
 * buffer of OSL_GETS_MAX bytes always suffices, a smaller one when the lines are known to be
 * short. A longer line is cut to OSL_GETS_MAX - 1 characters; a zero byte in the line ends the
 * text there. Either way the rest of the line is read and dropped, so the next call starts on
 * the next line. A signal caught meanwhile, even by a handler without SA_RESTART, neither cuts
 * the line nor ends the input. At the end of input str is empty. */
void osl_gets(char_t *str);

/* Prints ip (host byte order, most significant byte first) as four "%d." groups on standard
 * output: 192.168.0.1 prints "192.168.0.1." with no line end. */
void os_sys_print_ip(uint32_t ip);

/* Produces no identifier on this platform: returns 1 and leaves buf untouched. */
int32_t osl_generate_uuid(char_t *buf, int32_t size);

/* Starts the layer: seeds rand(), takes the single-instance hold for name (none for NULL or ""),
 * clears the exit request, installs the SIGTERM (osl_kill) and SIGPIPE (osl_on_signal) handlers
 * unless those signals are watched, logs to the console at level 0 and starts name resolution.
 * Returns 0, or -1 when refused: "'name': This program is running!" while a live process holds
 * the hold under name's first four bytes (names sharing them exclude each other) and also when
 * another user made the set under that key; "semop failed" when the set cannot be had. The hold
 * is the process's until it ends (SIGKILL too) and survives exec, not fork: fork before osl_init.
 * A later osl_init of the holder (also after exec) keeps it and gives 0. Call from one thread
 * while nothing else uses the layer. */
int32_t osl_init(const char *name);

/* Takes name resolution down. Logging, the handlers and the exit request stay as they are. */
void osl_exit(void);

/* The exit request: 1 once SIGTERM (or a watched stop signal) arrived or osl_kill was called, 0
 * after osl_init. Safe to read from any thread. */
uchar_t osl_is_exit(void);

/* Sets the exit request (async-signal-safe); sig is not used. The SIGTERM handler. */
void osl_kill(int32_t sig);

/* The SIGPIPE handler: writes "sytem signal N captured!\n" to descriptor 1 without locks and
 * returns. Once that write fails with EPIPE it writes no more notices until the next osl_init. */
void osl_on_signal(int32_t signal);

/* Watches sig (1-64; SIGKILL, SIGSTOP and the faults SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
 * SIGSYS give -1 EINVAL) with SA_RESTART: each arrival is kept for osl_signal_wait. stop != 0: a
 * stop signal, which also sets the exit request and, until a wait returns it, ends limited
 * osl_excute_timed runs. 0, or -1 with errno. A forked child keeps the watches with none
 * pending; exec ends them. */
int32_t osl_signal_watch(int32_t sig, int32_t stop);

/* Waits up to timeout_ms (< 0: no limit) for a watched signal and returns its number, or 0 at
 * the timeout; -1 with EINVAL when none is watched. Each signal is kept once until returned;
 * several pending come one per call, stop signals first, then by number. Any thread. */
int32_t osl_signal_wait(int32_t timeout_ms);

/* Prints "file(line): assert failed\n" on standard output when flag is 0; never stops the
 * process. */
void osl_assert(int32_t flag, const char *file, int32_t line);

/* ---- end commands, start-up and signals ---- */

#ifdef __cplusplus
}
#endif

#endif /* OSL_H */
