/*
 * osl_string.h - text utilities of the osl layer: comparison, bounded copy and formatting,
 * tokenising, trimming and value extraction, date-and-time text, HTML escaping.
 *
 * Compiles as C99 and C++17; every function has C linkage. Text is char_t, NUL-terminated;
 * bytes are compared as unsigned values; case folding is ASCII only.
 */
#ifndef OSL_STRING_H
#define OSL_STRING_H

#include <stdarg.h>
#include <stdint.h>

#include "osl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- basic operations (osl_string.cpp) ---- */

/* Compares at most size bytes ignoring ASCII case (folded to upper case). Returns exactly -1, 0
 * or 1; 0 when size <= 0. Arguments must be non-null. */
int32_t osl_strncmp_nocase(const char_t *str1, const char_t *str2, int32_t size);

/* Compares two texts ignoring ASCII case (folded to upper case). Returns exactly -1, 0 or 1. */
int32_t osl_strcmp_nocase(const char_t *str1, const char_t *str2);

/* Returns the number of bytes before the terminator. str must be non-null. */
int32_t osl_strlen(const char_t *str);

/* Copies str2 into str1 (the destination), at most maxlen bytes
 * counting the terminator. Returns the bytes copied before the terminator; when str2 has maxlen
 * or more bytes exactly maxlen bytes are copied and NO terminator is written. maxlen <= 0
 * copies nothing and returns 0. */
int32_t osl_strncpy(char_t *str1, const char_t *str2, int32_t maxlen);

/* Appends str2 to the text in str1 as osl_strncpy copies it: maxlen bounds what is taken from
 * str2 (terminator included), not the room left in str1. Returns the old length plus the bytes
 * appended; 0 and no change for a null argument or maxlen <= 0. */
int32_t osl_strncat(char_t *str1, const char_t *str2, int32_t maxlen);

/* strstr: the first occurrence of substr in str, or null; an empty substr yields str. */
char_t *osl_strstr(const char_t *str, const char_t *substr);

/* Returns a malloc'ed copy of str that the caller releases with free(); null for a null str or
 * an exhausted heap. */
char_t *osl_strdup(const char_t *str);

/* Bounded printf into str: never writes beyond size bytes and always terminates when size > 0.
 * Returns the bytes now standing before the terminator: 0..size-1 (0 and nothing written when
 * size <= 0); cut output yields size-1; a formatting error (e.g. an unconvertible wide
 * character) yields 0 and an empty text, never bytes the formatter did not write. */
int32_t osl_str_snprintf(char_t *str, int32_t size, const char_t *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* osl_str_snprintf with an argument list the caller has started and ends. */
int32_t osl_str_vsnprintf(char_t *str, int32_t size, const char_t *format, va_list ap);

/* ---- end basic operations ---- */

/* ---- tokenising, trimming and value extraction (osl_string_token.cpp) ---- */

/* Returns the next token of the text at *str (cut in place) and advances *str past the run of
 * delimiters that ended it; *str becomes null at the end of the text. delim is a set of single
 * characters (null acts as an empty set). Returns null when *str (or str) is null. */
char_t *osl_str_split(char_t **str, const char_t *delim);

/* Cuts src in place at every occurrence of the whole string separator and stores up to destsize
 * segment pointers (into src) in dest; the last stored segment keeps the rest of the text. The
 * count goes to *num when num is non-null: 0 for null or empty src or separator, null dest or
 * destsize < 1. */
void osl_str_split_all(char *src, const char *separator, char **dest, int32_t destsize,
                       int32_t *num);

/* Removes leading and trailing space, tab, CR and LF in place. Returns str (null for null). */
char_t *osl_str_trim(char_t *str);

/* Normalises a path in place: backslashes become "/", runs of separators collapse, "./" and
 * "dir/../" segments are removed. Returns path (null for null). */
char_t *osl_str_trim_path(char_t *path);

/* Reads leading decimal digits with an optional k/K (x1024) or m/M (x1048576) suffix, modulo
 * 2^32. Returns 0 for null text or text that does not start with a digit. */
uint32_t osl_str_calcsize(const char_t *str);

/* Finds the first line of buf whose start matches name, ignoring case, and copies its value
 * after ":", "=" or tab into value, at most valuelen-1 bytes. A line begins at its first byte
 * that is not a space, ",", tab, CR or LF, and counts only when that byte lies within the first
 * buflen bytes (blank lines and leading blanks count towards buflen; buflen < 0: the whole
 * text); a line that counts is read to its end. buf must be NUL-terminated. value is cleared
 * over valuelen bytes first. Returns value when found, null otherwise. */
char_t *osl_str_getval(const char_t *buf, int32_t buflen, const char_t *name, char_t *value,
                       int32_t valuelen);

/* osl_str_getval for the whole key: a line counts only when name is followed by optional spaces
 * or tabs and then "=", ":" or a tab ("poll" never gives the value of "poll_cmd"). Bounds, case,
 * value rules and the cleared value as osl_str_getval; null also for an empty name. */
char_t *osl_str_getval_exact(const char_t *buf, int32_t buflen, const char_t *name,
                             char_t *value, int32_t valuelen);

/* Returns 0 when buf is non-empty and made only of decimal digits and dots, -1 otherwise. */
int32_t osl_str_isaddr(const char_t *buf);

/* Decimal text to int64_t: leading spaces, one optional "-", digits wrapping modulo 2^64 up to
 * the first non-digit. Returns 0 for null text or text without leading digits. */
int64_t osl_str_str2int64(const char_t *str);

/* Decimal text to uint64_t: leading spaces, digits wrapping modulo 2^64 up to the first
 * non-digit; no sign. Returns 0 for null text or text without leading digits. */
uint64_t osl_str_str2uint64(const char_t *str);

/* Checked decimal text to int64_t: leading white space as strtoll skips it, one optional "+" or
 * "-", then digits up to the terminator. Returns 0 with the value in *out, or -1 with *out
 * untouched and errno EINVAL (null, no digits, any other byte) or ERANGE (outside int64_t). */
int osl_str_to_int64(const char_t *text, int64_t *out);

/* strcmp(path1, path2) when len < 0, else strncmp over len bytes: the library's negative, zero
 * or positive result. Both paths must be non-null. */
int32_t osl_str_cmppath(const char_t *path1, const char_t *path2, int32_t len);

/* Returns 1 when str is non-empty and made only of decimal digits, 0 otherwise (null too). */
int32_t osl_str_isnumeric(const char *str);

/* Returns 1 when str is non-empty and made only of decimal digits and dots, 0 otherwise. */
int32_t osl_str_isfloat(const char *str);

/* ---- end tokenising ---- */

/* ---- date and time text (osl_string_time.cpp) ---- */

/*
 * Local date-and-time text in the process's time zone (localtime/mktime). utc is seconds since
 * 1970 UTC, 1970 to 2106 on every target: the layer is built with a 64-bit time_t on the 32-bit
 * board too, so 2^31 and above are the times from 2038-01-19 on. Formatters write into the
 * caller's buf of size bytes (size >= 1), cut and terminated like snprintf.
 */

/* "%d-%d-%d %d:%d:%d" (e.g. "2024-3-5 14:7:9"). Returns the full text's length as snprintf
 * reports it (more than size-1 when cut); 0 and buf untouched when utc cannot be broken down. */
int32_t osl_str_time2str(uint32_t utc, char_t *buf, int32_t size);

/* "YYYY-MM-DD hh:mm:ss" (e.g. "2024-03-05 14:07:09"). Returns buf; buf[0] = 0 when utc cannot
 * be broken down. */
char_t *osl_str_utc2date(uint32_t utc, char_t *buf, int32_t size);

/* "YYYY-MM-DDWww hh:mm:ss", weekday name after the day (e.g. "2024-03-05Tue 14:07:09").
 * Returns buf; buf[0] = 0 when utc cannot be broken down. */
char_t *osl_str_utc2date_wday(uint32_t utc, char_t *buf, int32_t size);

/* The current time (time()) as osl_str_utc2date writes it, in local time. Returns buf; buf[0] = 0
 * when the clock cannot be read. */
char_t *osl_get_strutc(char_t *buf, int32_t size);

/* Parses up to six numeric fields (year, month, day, hour, minute, second) from the first size
 * bytes of strtime, separated by any run of ' ', '-', ':', '.', '/', as local standard time;
 * reading also stops at a terminator. Fields of ten or more bytes are read as their first nine.
 * Returns mktime's result as seconds since 1970; 4294967295 when mktime fails or its time lies
 * outside what utc carries (before 1970 or after 2106); 0 for null. */
uint32_t osl_str_str2time(const char_t *strtime, int32_t size);

/* Always 0, for any input; convert date text with osl_str_str2time. */
uint32_t osl_str_date2utc(const char_t *date);

/* ---- end date and time text ---- */

/* ---- HTML escaping (osl_string_html.cpp) ---- */

/* Escapes the srclen bytes at src into dst (room dstsize): & < > and the double quote become
 * &amp; &lt; &gt; &quot;, every other byte (zero bytes included) is copied. Stops before the
 * first item that would not fit with the terminator and always terminates (6 * srclen + 1
 * always suffices). Bad arguments (null, srclen or dstsize <= 0) leave dst untouched; their
 * message shows at most srclen bytes of src and dstsize bytes of dst ("(null)" for a null
 * pointer), so no buffer is read beyond what the caller said it holds. Both outcomes are
 * reported only through osl_log_debug. */
void osl_str_html_escape(const char_t *src, int32_t srclen, char_t *dst, int32_t dstsize);

/* ---- end HTML escaping ---- */

#ifdef __cplusplus
}
#endif

#endif /* OSL_STRING_H */
