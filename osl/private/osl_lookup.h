// The time-limited host lookup: gethostbyname_r on a detached worker thread that the caller may
// abandon at its limit. Private to the layer: never installed.
#ifndef OSL_LOOKUP_H
#define OSL_LOOKUP_H

#include <stdint.h>

namespace osl_lookup {

enum class Lookup { kFound, kFailed, kTimedOut };

// The first IPv4 address of hostname by gethostbyname_r, in network order, in the calling
// thread; false when there is none. A host entry too large for the scratch buffer is tried
// again with one twice as large, up to 64 KiB.
bool lookup_host(const char *hostname, uint32_t *ip);

// Looks hostname up on a worker thread and waits at most s_timeout (> 0) seconds on the
// monotonic clock. A lookup that runs out of time is abandoned, not stopped: it ends when the
// resolver gives up, and until then counts against the eight workers that may run at once; with
// eight running, the call waits within its own limit for one to end. *ip is set on kFound.
Lookup lookup_with_limit(const char *hostname, int32_t s_timeout, uint32_t *ip);

}  // namespace osl_lookup

#endif  // OSL_LOOKUP_H
