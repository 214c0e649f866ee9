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

/* Copies str2 into str1 (the destination, written through despite const), at most maxlen bytes
 * counting the terminator. Returns the bytes copied before the terminator; when str2 has maxlen
 * or more bytes exactly maxlen bytes are copied and NO terminator is written. maxlen <= 0
 * copies nothing and returns 0. */
int32_t osl_strncpy(const char_t *str1, const char_t *str2, int32_t maxlen);

/* Appends str2 to the text in str1 as osl_strncpy copies it: maxlen bounds what is taken from
 * str2 (terminator included), not the room left in str1. Returns the old length plus the bytes
 * appended; 0 and no change for a null argument or maxlen <= 0. */
int32_t osl_strncat(const char_t *str1, const char_t *str2, int32_t maxlen);

/* strstr: the first occurrence of substr in str, or null; an empty substr yields str. */
char_t *osl_strstr(const char_t *str, const char_t *substr);

/* Returns a malloc'ed copy of str that the caller releases with free(); null for a null str or
 * an exhausted heap. */
char_t *osl_strdup(const char_t *str);

/* Bounded printf into str: never writes beyond size bytes and always terminates when size > 0.
 * Returns the bytes now standing before the terminator: 0..size-1 (0 and nothing written when
 * size <= 0); an error or cut output yields size-1. */
int32_t osl_str_snprintf(char_t *str, int32_t size, const char_t *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* osl_str_snprintf with an argument list the caller has started and ends. */
int32_t osl_str_vsnprintf(char_t *str, int32_t size, const char_t *format, va_list ap);

/* ---- end basic operations ---- */

/* ---- tokenising, trimming and value extraction (osl_string_token.cpp) ---- */

/* ---- end tokenising ---- */

/* ---- date and time text (osl_string_time.cpp) ---- */

/* ---- end date and time text ---- */

/* ---- HTML escaping (osl_string_html.cpp) ---- */

/* ---- end HTML escaping ---- */

#ifdef __cplusplus
}
#endif

#endif /* OSL_STRING_H */
