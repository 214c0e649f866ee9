/*
 * osl_mem.h - a tracked memory pool: a sub-allocator inside one buffer supplied by the caller.
 *
 * Compiles as C99 and C++17; every function has C linkage. The pool never calls the heap: its
 * header record and one 16-byte node header per block live inside the caller's buffer. Used
 * blocks are kept in address order; a request takes the first large enough gap after the
 * remembered search position, or else the space after the last block. Every operation walks
 * the used list, so its cost grows with the number of live blocks. One thread at a time.
 *
 * Layout, from the start of the caller's buffer: padding to the first 16-byte boundary; the
 * 56-byte header record (the handle points at it); padding to a multiple of align, where the
 * data area begins; then node headers, each followed after alignment padding by its block.
 * Sizes are int64_t; file and line name the caller's source position and are never stored.
 */
#ifndef OSL_MEM_H
#define OSL_MEM_H

#include <stdint.h>

#include "osl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Called by osl_mem_check once per live block, in address order: the block's address, its
 * recorded size in bytes, the file "" and line -1 (positions are not kept), and the caller's
 * param. */
typedef void (*PMemCheckCallback)(void *p, int64_t size, const char_t *file, int32_t line,
                                  void *param);

/* Lays a pool over the size bytes at buf, whose blocks and sizes are aligned to align bytes.
 * Returns the handle, or null for a null buf, an align that is not a positive power of two, or
 * a buffer too small for the padding, the header record and the alignment. The caller keeps
 * the buffer and must not release it while the pool is in use. */
void *osl_mem_create(char_t *buf, int64_t size, int32_t align);

/* Ends the use of the pool h. Does nothing to the buffer, which the caller then releases. */
void osl_mem_destroy(void *h);

/* Forgets every block of h and clears its high-water mark; the buffer's bytes are untouched. */
void osl_mem_reset(void *h);

/* Returns a block of at least size bytes aligned to the pool's alignment, or null (pool full,
 * negative size, null h). A block placed after the last one must end strictly before the end
 * of the pool, and its size rounded up to the alignment must not pass that end. When memsize
 * is non-null it receives the bytes the block takes with its node header, or 0 on failure. */
void *osl_mem_alloc(void *h, int64_t size, const char_t *file, int32_t line, int64_t *memsize);

/* Resizes the block p to size bytes, in place when it can (up to the next block, or up to
 * exactly the end of the pool, rounded size included), else by moving its recorded bytes to
 * a new block and releasing p. A null p, or a p that is not a live block of h, gets a new block
 * (nothing is copied from a foreign p). Returns the block, or null with p left as it was when
 * no room is found or size is negative. */
void *osl_mem_realloc(void *h, void *p, int64_t size, const char_t *file, int32_t line);

/* Returns a pool copy of the text s with its terminator, or null (no room, null s). */
char_t *osl_mem_strdup(void *h, const char_t *s, const char_t *file, int32_t line);

/* Releases the block p. Returns the bytes given back (recorded size + 16), or 0 and changes
 * nothing when p is not a live block of h (null, foreign or already freed). */
int64_t osl_mem_free(void *h, void *p, const char_t *file, int32_t line);

/* Reports each live block to pProc (when non-null), in address order. Returns the high-water
 * mark: the furthest offset from the data area start reached by a block as it was placed
 * since creation or the last reset (0 for a null h). */
int64_t osl_mem_check(void *h, PMemCheckCallback pProc, void *param);

#ifdef __cplusplus
}
#endif

#endif /* OSL_MEM_H */
