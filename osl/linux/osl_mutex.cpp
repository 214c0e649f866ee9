// Timed mutex: an error-checking pthread mutex on the heap, locked without limit or polled once
// per millisecond until a deadline on the monotonic clock.
#include "osl_mutex.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "osl.h"
#include "osl_sys.h"

namespace {

constexpr int32_t kPollMs = 1;  // pause between two tries of a timed lock

}  // namespace

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
  if (timeout == 0) return -1;
  // Kept on the monotonic clock: setting the wall clock or 49.7 days of uptime neither ends
  // nor stretches the wait.
  osl_sys::Deadline deadline(timeout);
  for (;;) {
    // Tried before the deadline is looked at, so a free mutex is always taken.
    if (pthread_mutex_trylock(m) == 0) return 0;
    const int32_t pause_ms = deadline.wait_ms(kPollMs);
    if (pause_ms == 0) return -1;
    osl_usleep(pause_ms * 1000);
  }
}

void osl_mutex_unlock(void *mutex) {
  if (mutex == nullptr) return;
  (void)pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mutex));
}

}  // extern "C"
