// Host-name resolution and the machine's own network identity.
//
// osl_network_dns is serialised by the module mutex (m_mutex, owned here from
// osl_network_init to osl_network_exit). osl_network_gethostbyname with a limit runs the lookup
// on a detached worker thread and waits for it on the monotonic clock: a lookup cannot be
// interrupted safely inside the C library, but it can be abandoned. The workers, their count
// and their records are guarded by m_lookup_lock. The outside commands (nslookup, the board
// script) run through osl_command::capture with a time limit, in a process group of their own,
// so that at the limit the whole group can be killed.

#include "osl_network.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "osl.h"
#include "osl_command.h"
#include "osl_log.h"
#include "osl_mutex.h"
#include "osl_string.h"
#include "osl_sys.h"

namespace {

constexpr int32_t kDnsAttempts = 10;        // getaddrinfo tries before the nslookup fallback
constexpr int32_t kDnsPauseUs = 1000;       // pause after each failed try
constexpr int32_t kCmdSize = 1024;          // nslookup command line
constexpr int32_t kOutSize = 1024;          // nslookup output, read with room 1023
constexpr int32_t kAddrTextSize = 128;      // address text; value length 127
constexpr int32_t kMaxIfRecords = 8;        // interfaces examined by osl_network_get_local_ip
constexpr int32_t kMacOutSize = 32;         // board script output, read with room 31
constexpr int32_t kHostEntScratch = 1024;   // gethostbyname_r scratch
constexpr int64_t kCommandLimitMs = 10000;  // nslookup and the board script, from their start
constexpr int32_t kMaxLookupWorkers = 8;    // time-limited lookups running at once, abandoned
                                            // ones included
constexpr size_t kLookupStack = 256 * 1024;  // a lookup worker's stack, in bytes

void *m_mutex = nullptr;

// A time-limited lookup, shared by the caller and its worker thread; whichever lets go of it
// last frees it, so a worker that finishes after its caller gave up frees its own record.
struct HostLookup {
  int32_t refs;  // holders left: the caller and the worker
  bool done;     // the worker has stored its answer
  bool found;
  uint32_t ip;
  char *name;    // the worker's own copy, stored after the record
};

pthread_mutex_t m_lookup_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t m_lookup_cond = PTHREAD_COND_INITIALIZER;  // a worker finished
int32_t m_workers = 0;  // live worker threads
pthread_once_t m_fork_once = PTHREAD_ONCE_INIT;

// The names that may be handed to nslookup: non-empty, letters, digits, '-', '.' and '_' only,
// and not starting with '-' (which nslookup would take for an option). Nothing in such a name
// means anything to the shell.
bool is_plain_hostname(const char *name) {
  if (name[0] == '\0' || name[0] == '-') return false;
  for (const char *p = name; *p != '\0'; ++p) {
    char c = *p;
    bool ok = osl_sys::is_alnum(c) || c == '-' || c == '.' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// The resolver phase: up to kDnsAttempts getaddrinfo calls; the first success ends it, and only
// an IPv4 first entry gives an address.
uint32_t resolve_with_getaddrinfo(const char *hostname) {
  for (int32_t left = kDnsAttempts; left > 0; --left) {
    struct addrinfo *answer = nullptr;
    if (getaddrinfo(hostname, nullptr, nullptr, &answer) != 0) {
      osl_usleep(kDnsPauseUs);
      continue;
    }
    uint32_t ip = 0;
    if (answer != nullptr && answer->ai_family == AF_INET && answer->ai_addr != nullptr) {
      struct sockaddr_in sin;
      memcpy(&sin, answer->ai_addr, sizeof sin);
      ip = sin.sin_addr.s_addr;
    }
    freeaddrinfo(answer);
    return ip;
  }
  return 0;
}

bool lower_equal(const char *a, const char *b, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

// Whether word (len bytes) names host (hlen bytes): the same name, or with a domain after it
// when domain_ok. Case is ignored, and so is a final '.' of either.
bool names_host(const char *word, size_t len, const char *host, size_t hlen, bool domain_ok) {
  if (len > 0 && word[len - 1] == '.') --len;
  if (hlen > 0 && host[hlen - 1] == '.') --hlen;
  if (hlen == 0 || len < hlen || !lower_equal(word, host, hlen)) return false;
  return len == hlen || (domain_ok && word[hlen] == '.');
}

// The first blank-delimited word at or after p on its line; its length goes to *len.
const char *word_at(const char *p, size_t *len) {
  p += strspn(p, " \t");
  *len = strcspn(p, " \t\r\n");
  return p;
}

// Where the answer for hostname begins in nslookup's output: the line after its "Name:" line.
// That name is the queried one, the queried one with a search domain, or the canonical name
// of which an alias line ("mail.lan  canonical name = mx.lan.") says the queried one is an
// alias. The server lines before the answer may mention the name too and are not anchors.
// Null when there is no such line.
const char *answer_for(const char *out, const char *hostname) {
  const size_t hlen = strlen(hostname);
  const char *alias = nullptr;  // the latest canonical name in the queried name's chain
  size_t alias_len = 0;
  for (const char *line = out; *line != '\0';) {
    const char *eol = strchr(line, '\n');
    const char *next = eol != nullptr ? eol + 1 : line + strlen(line);
    size_t len = 0;
    if (osl_strncmp_nocase(line, "Name:", 5) == 0) {
      const char *name = word_at(line + 5, &len);
      if (names_host(name, len, hostname, hlen, true) ||
          (alias != nullptr && names_host(name, len, alias, alias_len, false))) {
        return next;
      }
    } else {
      const char *owner = word_at(line, &len);
      const char *mark = strstr(owner + len, "canonical name =");
      if (mark != nullptr && (mark < next || eol == nullptr) &&
          (names_host(owner, len, hostname, hlen, true) ||
           (alias != nullptr && names_host(owner, len, alias, alias_len, false)))) {
        alias = word_at(mark + strlen("canonical name ="), &alias_len);
      }
    }
    line = next;
  }
  return nullptr;
}

// The fallback phase: the first "Address" line of the answer for the name in nslookup's output
// (see answer_for). Only a valid dotted address counts; anything else gives 0, and so does an
// nslookup that has not ended within kCommandLimitMs.
uint32_t resolve_with_nslookup(const char *hostname) {
  if (!is_plain_hostname(hostname)) return 0;
  char cmdbuf[kCmdSize];
  char valustr[kOutSize];
  char revalu[kAddrTextSize];
  memset(cmdbuf, 0, sizeof cmdbuf);
  memset(valustr, 0, sizeof valustr);
  memset(revalu, 0, sizeof revalu);

  osl_str_snprintf(cmdbuf, kCmdSize - 1, "nslookup  %s", hostname);
  if (osl_command::capture(cmdbuf, valustr, kOutSize - 1, kCommandLimitMs) !=
      osl_command::Run::kDone) {
    return 0;
  }

  char *pstr = const_cast<char *>(answer_for(valustr, hostname));
  if (pstr == nullptr) return 0;
  char name[] = "Address";
  osl_str_getval(pstr, osl_strlen(pstr), name, revalu, kAddrTextSize - 1);
  if (revalu[0] == '\0') return 0;

  // "Address 1: 10.0.0.5 box" (busybox) carries words after the address: take the first word.
  size_t end = strcspn(revalu, " \t\r\n");
  revalu[end] = '\0';
  struct in_addr addr;
  if (inet_pton(AF_INET, revalu, &addr) != 1) return 0;
  return addr.s_addr;
}

// The first IPv4 address of hostname by gethostbyname_r, in network order; false when there is
// none.
bool lookup_host(const char *hostname, uint32_t *ip) {
  struct hostent hostinfo;
  struct hostent *result = nullptr;
  char buf[kHostEntScratch];
  int rc = 0;
  if (gethostbyname_r(hostname, &hostinfo, buf, sizeof buf, &result, &rc) != 0 ||
      result == nullptr || result->h_addr_list == nullptr || result->h_addr_list[0] == nullptr) {
    return false;
  }
  memcpy(ip, result->h_addr_list[0], sizeof *ip);
  return true;
}

// Drops one holder of job (m_lookup_lock held); true when it was the last, to free it unlocked.
bool release(HostLookup *job) {
  return --job->refs == 0;
}

void *lookup_worker(void *arg) {
  HostLookup *job = static_cast<HostLookup *>(arg);
  uint32_t ip = 0;
  const bool found = lookup_host(job->name, &ip);
  pthread_mutex_lock(&m_lookup_lock);
  job->ip = ip;
  job->found = found;
  job->done = true;
  --m_workers;
  const bool last = release(job);
  pthread_cond_broadcast(&m_lookup_cond);
  pthread_mutex_unlock(&m_lookup_lock);
  if (last) free(job);
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

enum class Lookup { kFound, kFailed, kTimedOut };

// Looks hostname up on a worker thread and waits at most s_timeout (> 0) seconds on the
// monotonic clock. A lookup that runs out of time is abandoned, not stopped: it ends when the
// resolver gives up, and until then counts against kMaxLookupWorkers. When that many are
// running, the call waits within its own limit for one to end rather than start another.
Lookup lookup_with_limit(const char *hostname, int32_t s_timeout, uint32_t *ip) {
  struct timespec deadline;
  if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) return Lookup::kFailed;
  constexpr int64_t kMaxSeconds = sizeof(time_t) == 4 ? INT32_MAX : INT64_MAX;
  const int64_t now = deadline.tv_sec;
  deadline.tv_sec = static_cast<time_t>(now > kMaxSeconds - s_timeout ? kMaxSeconds
                                                                      : now + s_timeout);
  const size_t len = strlen(hostname);
  HostLookup *job = static_cast<HostLookup *>(malloc(sizeof(HostLookup) + len + 1));
  if (job == nullptr) return Lookup::kFailed;
  job->refs = 2;
  job->done = false;
  job->found = false;
  job->ip = 0;
  job->name = reinterpret_cast<char *>(job + 1);
  memcpy(job->name, hostname, len + 1);

  pthread_once(&m_fork_once, register_fork_handlers);
  // A cancellation inside the waits below would leave the lock held and the record unfreed.
  int cancel_state = 0;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
  pthread_mutex_lock(&m_lookup_lock);
  int err = 0;  // ETIMEDOUT (or any other failure of a wait) ends both waits
  while (m_workers >= kMaxLookupWorkers && err == 0) {
    err = pthread_cond_clockwait(&m_lookup_cond, &m_lookup_lock, CLOCK_MONOTONIC, &deadline);
  }
  const bool no_slot = m_workers >= kMaxLookupWorkers;
  if (no_slot || !start_worker(job)) {
    pthread_mutex_unlock(&m_lookup_lock);
    pthread_setcancelstate(cancel_state, nullptr);
    free(job);
    return no_slot ? Lookup::kTimedOut : Lookup::kFailed;
  }
  ++m_workers;
  while (!job->done && err == 0) {
    err = pthread_cond_clockwait(&m_lookup_cond, &m_lookup_lock, CLOCK_MONOTONIC, &deadline);
  }
  const Lookup outcome = !job->done ? Lookup::kTimedOut
                         : job->found ? Lookup::kFound
                                      : Lookup::kFailed;
  *ip = job->ip;
  const bool last = release(job);
  pthread_mutex_unlock(&m_lookup_lock);
  pthread_setcancelstate(cancel_state, nullptr);
  if (last) free(job);
  return outcome;
}

}  // namespace

extern "C" {

uint8_t osl_network_init(void) {
  if (m_mutex == nullptr) m_mutex = osl_mutex_create();
  return m_mutex != nullptr ? 0 : 1;
}

void osl_network_exit(void) {
  if (m_mutex != nullptr) {
    osl_mutex_destroy(m_mutex);
    m_mutex = nullptr;
  }
}

uint32_t osl_network_dns(const char *hostname) {
  if (hostname == nullptr) return 0;
  void *mutex = m_mutex;
  if (mutex != nullptr) osl_mutex_lock(mutex, -1);

  uint32_t ip = resolve_with_getaddrinfo(hostname);
  if (ip == 0 && osl_str_isaddr(const_cast<char_t *>(hostname)) != 0) {
    ip = resolve_with_nslookup(hostname);
  }

  if (mutex != nullptr) osl_mutex_unlock(mutex);
  return ip;
}

int32_t osl_network_get_local_name(char *name, int32_t size) {
  if (name == nullptr || size <= 0) return -1;
  memset(name, 0, static_cast<size_t>(size));
  // Through a buffer of our own: gethostname with the caller's size would write size bytes
  // without a terminator for a name that does not fit.
  char host[256];
  memset(host, 0, sizeof host);
  if (gethostname(host, sizeof host - 1) != 0) return -1;
  const size_t len = strlen(host);
  if (len >= static_cast<size_t>(size)) {
    memcpy(name, host, static_cast<size_t>(size - 1));  // the part that fits, terminated
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(name, host, len);
  return 0;
}

uint32_t osl_network_get_local_ip(void) {
  uint32_t ip = 0;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 0;

  // Room for eight records whatever sizeof(struct ifreq) is here (32 on the board, 40 on
  // x86-64).
  struct ifreq records[kMaxIfRecords];
  memset(records, 0, sizeof records);
  struct ifconf ifc;
  memset(&ifc, 0, sizeof ifc);
  ifc.ifc_len = static_cast<int>(sizeof records);
  ifc.ifc_req = records;
  if (ioctl(fd, SIOCGIFCONF, &ifc) == 0) {
    int32_t count = static_cast<int32_t>(static_cast<size_t>(ifc.ifc_len) / sizeof(struct ifreq));
    if (count > kMaxIfRecords) count = kMaxIfRecords;
    for (int32_t i = 0; i < count; ++i) {
      struct ifreq req;
      memcpy(&req, &records[i], sizeof req);
      if (ioctl(fd, SIOCGIFFLAGS, &req) != 0) continue;
      if ((req.ifr_flags & IFF_LOOPBACK) == 0 && (req.ifr_flags & IFF_UP) != 0) {
        struct sockaddr_in sin;
        memcpy(&sin, &records[i].ifr_addr, sizeof sin);
        ip = sin.sin_addr.s_addr;
        break;
      }
    }
  }
  close(fd);
  return ip;
}

int64_t osl_network_get_mac(void) {
  char mac[kMacOutSize];
  memset(mac, 0, sizeof mac);
  char cmd[] = "./config/getnetworkpara.sh eth0 mac";
  if (osl_command::capture(cmd, mac, kMacOutSize - 1, kCommandLimitMs) != osl_command::Run::kDone) {
    return 0;
  }

  // Groups of exactly two hexadecimal digits, each ended by ':' or (the last) by any one
  // character; the first group is the most significant byte. Anything else ends the parse.
  // A group's ':' is looked for only up to the next white space, so words after the address
  // ("00:1a:2b:3c:4d:5e eth0: up") cannot cut its last group.
  int64_t value = 0;
  size_t len = strlen(mac);
  size_t pos = 0;
  for (int group = 0; group < 6 && pos < len; ++group) {
    const size_t word = strcspn(mac + pos, " \t\r\n\v\f");
    const char *colon = static_cast<const char *>(memchr(mac + pos, ':', word));
    size_t end = colon != nullptr ? static_cast<size_t>(colon - mac) : pos + 2;
    if (end != pos + 2 || end > len) break;
    int hi = osl_sys::hex_value(mac[pos]);
    int lo = osl_sys::hex_value(mac[pos + 1]);
    if (hi < 0 || lo < 0) break;
    value |= static_cast<int64_t>(hi * 16 + lo) << (8 * (5 - group));
    pos = end + 1;
  }
  return value;
}

int32_t osl_network_convert_mac(const char_t *str, uchar_t *mac) {
  if (str == nullptr || mac == nullptr) return -1;
  uchar_t c = 0;
  int32_t i = 0;
  for (int32_t n = 0; n < 17 && str[n] != '\0' && i < 6; ++n) {
    char ch = str[n];
    int digit = osl_sys::hex_value(ch);
    if (digit >= 0) {
      c = static_cast<uchar_t>(c * 16 + digit);  // the older digit is shifted out
    } else if (ch == ':' || ch == '-') {
      mac[i++] = c;
    } else {
      return -1;
    }
  }
  mac[5] = c;
  return 0;
}

uint32_t osl_network_gethostbyname(const char *hostname, int32_t s_timeout) {
  if (hostname == nullptr) return 0;
  uint32_t ip = 0;
  const Lookup outcome = s_timeout > 0 ? lookup_with_limit(hostname, s_timeout, &ip)
                         : lookup_host(hostname, &ip) ? Lookup::kFound
                                                      : Lookup::kFailed;
  if (outcome == Lookup::kTimedOut) {
    puts("gethostbyname timeout!!!");
    return 0;
  }
  if (outcome == Lookup::kFailed) {
    puts("gethostname failed!");
    return 0;
  }
  return ip;
}

}  // extern "C"
