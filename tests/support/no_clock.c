// Preloaded into the tool: a board whose filter refuses the time calls. Each call leaves in *ts
// a time that jumps ahead, as an unread record may hold anything.
#include <errno.h>
#include <time.h>
static time_t m_junk;
int clock_gettime(clockid_t id, struct timespec *ts) {
  ts->tv_sec = m_junk += 100000 + id;
  errno = EPERM;
  return -1;
}
