/*
 * osl_mem_check.h - the tracked pool's own consistency check. Private to the layer, its tests
 * and its fuzzer; never installed.
 */
#ifndef OSL_MEM_CHECK_H
#define OSL_MEM_CHECK_H

#ifdef __cplusplus
extern "C" {
#endif

/* Walks the pool h (as returned by osl_mem_create) and checks its bookkeeping: a sane header
 * record; used nodes strictly increasing in address, aligned, inside the data area, each clear
 * of the block before it, with aligned sizes whose blocks end inside the pool; `tail` the last
 * node and `list` the first (both null or neither); the search position null or on the list;
 * the high-water mark within the capacity; the spare half of every pointer slot zero. Returns
 * null when all of that holds, else a short static text naming the first broken rule. Reads
 * only; never follows a link that does not lead upward inside the pool, so a broken list cannot
 * make it loop or leave the buffer. A null h holds trivially. */
const char *osl_mem_broken_rule(const void *h);

#ifdef __cplusplus
}
#endif

#endif /* OSL_MEM_CHECK_H */
