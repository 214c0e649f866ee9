// The time-limited lookup. The workers, their count and their records are guarded by
// m_lookup_lock; a record is freed by whichever of the caller and its worker lets go last, so a
// worker that ends after its caller gave up frees its own. The caller waits on the record's
// eventfd, which the worker signals with its answer: the wait needs no clock to end at once.

#include "osl_lookup.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "osl_sys.h"

namespace {

constexpr size_t kHostEntScratch = 1024;          // gethostbyname_r scratch, first try
constexpr size_t kHostEntScratchMax = 64 * 1024;  // doubled up to this while it is too small
constexpr int32_t kMaxLookupWorkers = 8;    // time-limited lookups running at once, abandoned
                                            // ones included
constexpr size_t kLookupStack = 256 * 1024;  // a lookup worker's stack, in bytes

using osl_lookup::Lookup;
using osl_lookup::lookup_host;

// A time-limited lookup, shared by the caller and its worker thread.
struct HostLookup {
  int32_t refs;  // holders left: the caller and the worker
  bool done;     // the worker has stored its answer
  bool found;
  uint32_t ip;
  int done_fd;   // eventfd, readable once done is set; closed with the record
  char *name;    // the worker's own copy, stored after the record
};

pthread_mutex_t m_lookup_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t m_lookup_cond = PTHREAD_COND_INITIALIZER;  // a worker finished
int32_t m_workers = 0;  // live worker threads
pthread_once_t m_fork_once = PTHREAD_ONCE_INIT;

// Drops one holder of job (m_lookup_lock held); true when it was the last, to free it unlocked.
bool release(HostLookup *job) {
  return --job->refs == 0;
}

void free_job(HostLookup *job) {
  close(job->done_fd);
  free(job);
}

void *lookup_worker(void *arg) {
  HostLookup *job = static_cast<HostLookup *>(arg);
  uint32_t ip = 0;
  const bool found = lookup_host(job->name, &ip);
  pthread_mutex_lock(&m_lookup_lock);
  job->ip = ip;
  job->found = found;
  job->done = true;
  const uint64_t one = 1;
  (void)!write(job->done_fd, &one, sizeof one);  // under the lock: the caller may free right after
  --m_workers;
  const bool last = release(job);
  pthread_cond_broadcast(&m_lookup_cond);
  pthread_mutex_unlock(&m_lookup_lock);
  if (last) free_job(job);
  return nullptr;
}

// Only the forking thread lives on in a child: its lock must not be held by a worker that is
// not there, and the workers and waiters of the parent are gone (their records stay behind).
void before_fork() { pthread_mutex_lock(&m_lookup_lock); }
void after_fork_parent() { pthread_mutex_unlock(&m_lookup_lock); }
void after_fork_child() {
  m_workers = 0;
  pthread_cond_init(&m_lookup_cond, nullptr);
  pthread_mutex_init(&m_lookup_lock, nullptr);
}
void register_fork_handlers() { pthread_atfork(before_fork, after_fork_parent, after_fork_child); }

// Starts the detached worker for job with every signal blocked, so that the application's
// signals go to its own threads.
bool start_worker(HostLookup *job) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_t thread;
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  // A lookup needs far less than the default stack (8 MiB of address space each, which eight
  // stuck workers would take from a 32-bit board); the resolver's large buffers are its heap's.
  const bool ok = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 &&
                  pthread_attr_setstacksize(&attr, kLookupStack) == 0 &&
                  pthread_create(&thread, &attr, lookup_worker, job) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attr);
  return ok;
}

constexpr int32_t kBlindSliceMs = 10;  // a wait for a free slot while the clock cannot be read

// One wait for some worker to finish (m_lookup_lock held), at most the limit's next slice; false
// once the limit is reached. While the clock cannot be read, a short slice is slept unlocked.
bool wait_for_worker(osl_sys::Deadline *limit) {
  const int64_t now = osl_sys::mono_ms();
  const int32_t slice = limit->wait_ms(now < 0 ? kBlindSliceMs : -1);
  if (slice == 0) return false;
  if (now < 0) {
    pthread_mutex_unlock(&m_lookup_lock);
    poll(nullptr, 0, slice);
    pthread_mutex_lock(&m_lookup_lock);
    return true;
  }
  const int64_t at = now + slice;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(at / 1000);
  ts.tv_nsec = static_cast<long>(at % 1000 * 1000000);
  pthread_cond_clockwait(&m_lookup_cond, &m_lookup_lock, CLOCK_MONOTONIC, &ts);
  return true;
}

}  // namespace

namespace osl_lookup {

bool lookup_host(const char *hostname, uint32_t *ip) {
  struct hostent hostinfo;
  struct hostent *result = nullptr;
  char first[kHostEntScratch];
  char *buf = first;
  size_t size = sizeof first;
  int rc = 0;
  int err = 0;
  while ((err = gethostbyname_r(hostname, &hostinfo, buf, size, &result, &rc)) == ERANGE &&
         size < kHostEntScratchMax) {
    if (buf != first) free(buf);
    size *= 2;
    buf = static_cast<char *>(malloc(size));
    if (buf == nullptr) return false;
  }
  const bool found = err == 0 && result != nullptr && result->h_addr_list != nullptr &&
                     result->h_addr_list[0] != nullptr;
  if (found) memcpy(ip, result->h_addr_list[0], sizeof *ip);
  if (buf != first) free(buf);
  return found;
}

Lookup lookup_with_limit(const char *hostname, int32_t s_timeout, uint32_t *ip) {
  osl_sys::Deadline limit(static_cast<int64_t>(s_timeout) * 1000);
  const size_t len = strlen(hostname);
  HostLookup *job = static_cast<HostLookup *>(malloc(sizeof(HostLookup) + len + 1));
  if (job == nullptr) return Lookup::kFailed;
  job->refs = 2;
  job->done = false;
  job->found = false;
  job->ip = 0;
  job->name = reinterpret_cast<char *>(job + 1);
  memcpy(job->name, hostname, len + 1);
  job->done_fd = eventfd(0, EFD_CLOEXEC);
  if (job->done_fd < 0) {
    free(job);
    return Lookup::kFailed;
  }

  pthread_once(&m_fork_once, register_fork_handlers);
  // A cancellation inside the waits below would leave the lock held and the record unfreed.
  int cancel_state = 0;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
  pthread_mutex_lock(&m_lookup_lock);
  while (m_workers >= kMaxLookupWorkers && wait_for_worker(&limit)) {
  }
  const bool no_slot = m_workers >= kMaxLookupWorkers;
  if (no_slot || !start_worker(job)) {
    pthread_mutex_unlock(&m_lookup_lock);
    pthread_setcancelstate(cancel_state, nullptr);
    free_job(job);
    return no_slot ? Lookup::kTimedOut : Lookup::kFailed;
  }
  ++m_workers;
  pthread_mutex_unlock(&m_lookup_lock);
  osl_sys::wait_fd(job->done_fd, POLLIN, limit);
  pthread_mutex_lock(&m_lookup_lock);
  const Lookup outcome = !job->done ? Lookup::kTimedOut
                         : job->found ? Lookup::kFound
                                      : Lookup::kFailed;
  *ip = job->ip;
  const bool last = release(job);
  pthread_mutex_unlock(&m_lookup_lock);
  pthread_setcancelstate(cancel_state, nullptr);
  if (last) free_job(job);
  return outcome;
}

}  // namespace osl_lookup
