// Preloaded into the tool to stand for a board whose filter refuses the time calls: every
// clock_gettime fails with EPERM and leaves in *ts a time that jumps at each call, as the
// uninitialised record a caller must not read may hold.
#include <errno.h>
#include <time.h>

static time_t m_junk;

int clock_gettime(clockid_t id, struct timespec *ts) {
  (void)id;
  m_junk += 100000;
  ts->tv_sec = m_junk;
  ts->tv_nsec = 0;
  errno = EPERM;
  return -1;
}
