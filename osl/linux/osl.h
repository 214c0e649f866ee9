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

/* ---- commands (osl_command.cpp), system queries, start-up and signals (osl_process.cpp) ---- */

/* The most osl_gets ever writes: a line of at most OSL_GETS_MAX - 1 characters and the
 * terminator. */
#define OSL_GETS_MAX 1024

/* Runs cmd through the shell; its standard error stays the caller's. With buf non-null and
 * size > 0, zeroes size bytes of buf and stores the first size bytes of the command's standard
 * output there (terminated only when the output is shorter), read through a pipe until size
 * bytes or the end of the output; once the call finds the shell ended (it looks before every
 * read), what is queued then is taken and nothing after it. The rest is not read and the
 * command may get SIGPIPE writing it. Otherwise the command's standard output goes to
 * /dev/null, as with system(). Either way a child it leaves in the background neither holds
 * the call nor adds what it writes after the shell's end, and signals caught meanwhile do not
 * cut it short. Waits for the shell to end. Returns 0 when it was run (exit status not
 * examined) or cmd is null or empty (nothing run), -1 when it could not be started (logged at
 * warning level as "popen() error!\r\n"). */
int32_t osl_excute(const char *cmd, char *buf, int32_t size);

/* Runs cmd through the shell as osl_excute does, for at most limit_ms milliseconds of the
 * monotonic clock. With limit_ms >= 0 the shell leads a process group of its own with standard
 * input on /dev/null, an empty signal mask and SIGPIPE and SIGCHLD at their defaults, and at the
 * limit the whole group is killed (SIGKILL); limit_ms < 0 waits without limit. With buf
 * non-null and size > 1, the first size - 1 bytes of the standard output are read there as by
 * osl_excute; otherwise the output goes to /dev/null. buf is always terminated when size > 0.
 * *status (status may be null) gets the shell's exit status, 128 + N when signal N ended it
 * (137 after the kill), or -1 when there is none (not started, or SIGCHLD ignored by the caller).
 * Returns 0 when the shell ended within the limit, whatever its status; -1 with errno ETIMEDOUT
 * when it was killed at the limit (buf holds what was read before), -1 with EINVAL for a null or
 * empty cmd, -1 with the failed step's errno (EMFILE, EAGAIN, ENOMEM...) when it could not be
 * started, logged as osl_excute logs it. */
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

/* Starts the layer: seeds rand() with the time; when name is non-empty, refuses to start while a
 * live process (this one included) has passed osl_init with a name of the same key, name's first
 * four bytes (missing bytes of a shorter name are 0), printing "'name': This program is
 * running!"; "semop failed" when the System V semaphore set under the key cannot be had or
 * raised. The set stays in the system after the process ends, harmlessly: the kernel takes back
 * the process's hold however it ends (SIGKILL included), and the next start passes. The hold is
 * not inherited by fork: a daemon forks before it calls osl_init. Then clears the exit request,
 * lets the SIGPIPE notice be written again, installs the SIGTERM (osl_kill) and SIGPIPE (osl_on_signal) handlers, starts
 * logging at level 0 on the console and starts name resolution. Returns 0, or -1 when refused
 * (only the seed has been set then). Call from one thread while nothing else uses the layer. */
int32_t osl_init(const char *name);

/* Takes name resolution down. Logging, the handlers and the exit request stay as they are. */
void osl_exit(void);

/* The exit request: 1 once SIGTERM has arrived or osl_kill was called, 0 after osl_init. Safe
 * to read from any thread. */
uchar_t osl_is_exit(void);

/* Sets the exit request (async-signal-safe); sig is not used. The SIGTERM handler. */
void osl_kill(int32_t sig);

/* The SIGPIPE handler: writes "sytem signal N captured!\n" to descriptor 1 without locks and
 * returns; the interrupted write then fails with EPIPE. Once a notice write fails with EPIPE
 * (standard output is itself a broken pipe) it writes no more notices until the next osl_init,
 * so a process whose output is gone is not held in a signal loop. */
void osl_on_signal(int32_t signal);

/* Prints "file(line): assert failed\n" on standard output when flag is 0; never stops the
 * process. */
void osl_assert(int32_t flag, const char *file, int32_t line);

/* ---- end commands, start-up and signals ---- */

#ifdef __cplusplus
}
#endif

#endif /* OSL_H */
