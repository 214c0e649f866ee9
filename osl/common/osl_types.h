/*
 * osl_types.h - the names shared by every module of the osl layer.
 *
 * Compiles as C99 and C++17. Text is 8-bit and NUL-terminated; sizes and counts are int32_t,
 * file positions int64_t. IPv4 addresses (uint32_t) and ports (uint16_t) are in network byte
 * order wherever the layer takes or returns them; the layer never converts them.
 */
#ifndef OSL_TYPES_H
#define OSL_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef char char_t;           /* a byte of text */
typedef unsigned char uchar_t; /* a byte compared or shown as 0..255 */

/* A socket descriptor; -1 (OSL_INVALID_SOCKET) means no socket. */
typedef int32_t SOCKET;
#define OSL_INVALID_SOCKET ((SOCKET)-1)

#ifdef __cplusplus
}
#endif

#endif /* OSL_TYPES_H */
