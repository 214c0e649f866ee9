// Timed mutex: an error-checking pthread mutex on the heap, locked without limit or polled once
// per millisecond until a deadline on the monotonic clock.
#include "osl_mutex.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "osl.h"

namespace {

constexpr int32_t kPollUs = 1000;  // pause between two tries of a timed lock

// The monotonic clock in microseconds into *us; false when it cannot be read.
bool mono_us(int64_t *us) {
  struct timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return false;
  *us = static_cast<int64_t>(ts.tv_sec) * 1000000 + static_cast<int64_t>(ts.tv_nsec / 1000);
  return true;
}

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
  // The wait is measured on the monotonic clock in 64-bit microseconds: setting the wall clock
  // (a board's first sync jumps decades), re-arming the layer's clocks or 49.7 days of uptime
  // neither ends nor stretches it. Should that clock ever be unreadable, the pauses asked for
  // stand in for the time waited.
  const int64_t limit_us = static_cast<int64_t>(timeout) * 1000;
  int64_t start_us = 0;
  const bool timed = mono_us(&start_us);
  int64_t paused_us = 0;
  for (;;) {
    // Tried before the deadline is looked at, so a free mutex is always taken.
    if (pthread_mutex_trylock(m) == 0) return 0;
    int64_t now_us = 0;
    const int64_t waited_us = timed && mono_us(&now_us) ? now_us - start_us : paused_us;
    if (waited_us >= limit_us) return -1;
    osl_usleep(kPollUs);
    paused_us += kPollUs;
  }
}

void osl_mutex_unlock(void *mutex) {
  if (mutex == nullptr) return;
  (void)pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mutex));
}

}  // extern "C"
