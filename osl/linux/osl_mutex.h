/*
 * osl_mutex.h - an error-checking mutex with a lock that waits without limit or polls for a
 * bounded number of milliseconds.
 *
 * The handle is opaque: a heap-allocated pthread mutex of type PTHREAD_MUTEX_ERRORCHECK, owned
 * by the caller from osl_mutex_create until osl_mutex_destroy. Compiles as C99 and C++17.
 */
#ifndef OSL_MUTEX_H
#define OSL_MUTEX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A new unlocked mutex that the caller releases with osl_mutex_destroy; null when memory runs
 * out. */
void *osl_mutex_create(void);

/* Destroys the mutex and frees it; the handle is invalid afterwards. No thread may hold or wait
 * for it. A null handle does nothing. */
void osl_mutex_destroy(void *mutex);

/* timeout < 0: waits without limit and returns pthread_mutex_lock's result (0, or an error
 * number such as EDEADLK when the caller already holds it). timeout == 0: -1 at once, without
 * trying. timeout > 0: 0 when taken within timeout ms, -1 otherwise; a free mutex is always
 * taken. The mutex is tried once per millisecond, so a failed wait may overrun timeout by about
 * a millisecond (20 ms while the monotonic clock cannot be read: the tick count keeps it). The
 * wait is measured on the monotonic clock, not on the osl_get_ms clocks: setting the system
 * time, osl_reset, osl_set_utc_us and the 32-bit millisecond wrap neither end nor stretch it.
 * -1 for a null handle. */
int32_t osl_mutex_lock(void *mutex, int32_t timeout);

/* Releases the mutex; an error (the caller does not hold it) is ignored. A null handle does
 * nothing. */
void osl_mutex_unlock(void *mutex);

#ifdef __cplusplus
}
#endif

#endif /* OSL_MUTEX_H */
