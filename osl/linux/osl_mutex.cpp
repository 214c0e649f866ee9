// Timed mutex: an error-checking pthread mutex on the heap, locked without limit or polled once
// per millisecond until a deadline on the shared millisecond clock.
#include "osl_mutex.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "osl.h"

extern "C" {

void *osl_mutex_create(void) {
  pthread_mutex_t *m = static_cast<pthread_mutex_t *>(malloc(sizeof(pthread_mutex_t)));
  if (m == nullptr) return nullptr;
  memset(m, 0, sizeof *m);
  // Error-checking, not recursive: a second lock by the holder fails with EDEADLK and an unlock
  // by another thread is refused. Initialisation errors are not reported.
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
  return m;
}

void osl_mutex_destroy(void *mutex) {
  if (mutex == nullptr) return;
  pthread_mutex_t *m = static_cast<pthread_mutex_t *>(mutex);
  pthread_mutex_destroy(m);
  free(m);
}

int32_t osl_mutex_lock(void *mutex, int32_t timeout) {
  if (mutex == nullptr) return -1;
  pthread_mutex_t *m = static_cast<pthread_mutex_t *>(mutex);
  if (timeout < 0) return pthread_mutex_lock(m);
  const uint32_t start = osl_get_ms();
  uint32_t now = start;
  // Unsigned 32-bit comparisons: a deadline that wraps past 2^32 - 1 ends the wait at once, and
  // so does a clock that went backwards (time set back, or the clocks re-armed).
  while (start + static_cast<uint32_t>(timeout) > now && start <= now) {
    if (pthread_mutex_trylock(m) == 0) return 0;
    osl_usleep(1000);
    now = osl_get_ms();
  }
  return -1;
}

void osl_mutex_unlock(void *mutex) {
  if (mutex == nullptr) return;
  (void)pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mutex));
}

}  // extern "C"
