// Host-name resolution and the machine's own network identity.
//
// osl_network_dns is serialised by the module mutex (m_mutex, owned here from
// osl_network_init to osl_network_exit). osl_network_gethostbyname uses the process's one
// alarm timer, the SIGALRM action and the module's one return point (m_jmpbuf), without a lock.

#include "osl_network.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "osl.h"
#include "osl_mutex.h"
#include "osl_string.h"
#include "osl_util.h"

namespace {

constexpr int32_t kDnsAttempts = 10;        // getaddrinfo tries before the nslookup fallback
constexpr int32_t kDnsPauseUs = 1000;       // pause after each failed try
constexpr int32_t kCmdSize = 1024;          // nslookup command line
constexpr int32_t kOutSize = 1024;          // nslookup output, read with room 1023
constexpr int32_t kAddrTextSize = 128;      // address text; value length 127
constexpr int32_t kMaxIfRecords = 8;        // interfaces examined by osl_network_get_local_ip
constexpr int32_t kMacOutSize = 32;         // board script output, read with room 31
constexpr int32_t kHostEntScratch = 1024;   // gethostbyname_r scratch

void *m_mutex = nullptr;
sigjmp_buf m_jmpbuf;
// True only while a lookup with a time limit runs and m_jmpbuf is its live return point; the
// lookup runs on thread m_lookup_tid (set before m_armed).
std::atomic<bool> m_armed{false};
std::atomic<pid_t> m_lookup_tid{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free,
              "m_armed and m_lookup_tid are read by a signal handler");

// The names that may be handed to nslookup: non-empty, letters, digits, '-', '.' and '_' only,
// and not starting with '-' (which nslookup would take for an option). Nothing in such a name
// means anything to the shell.
bool is_plain_hostname(const char *name) {
  if (name[0] == '\0' || name[0] == '-') return false;
  for (const char *p = name; *p != '\0'; ++p) {
    char c = *p;
    bool ok = osl_util::is_alnum(c) || c == '-' || c == '.' || c == '_';
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

// The fallback phase: the "Address" line after the first mention of the name in nslookup's
// output. Only a valid dotted address counts; anything else gives 0.
uint32_t resolve_with_nslookup(const char *hostname) {
  if (!is_plain_hostname(hostname)) return 0;
  char cmdbuf[kCmdSize];
  char valustr[kOutSize];
  char revalu[kAddrTextSize];
  memset(cmdbuf, 0, sizeof cmdbuf);
  memset(valustr, 0, sizeof valustr);
  memset(revalu, 0, sizeof revalu);

  osl_str_snprintf(cmdbuf, kCmdSize - 1, "nslookup  %s", hostname);
  osl_excute(cmdbuf, valustr, kOutSize - 1);

  char *pstr = osl_strstr(valustr, hostname);
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

pid_t current_tid() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

// The handler stays installed after the lookup; a SIGALRM that comes later (a stray alarm, one
// left pending while the caller blocked the signal) must not jump into the frame of a lookup that
// has returned, so outside a lookup it does nothing. The alarm is sent to the process, and any
// thread that does not block it may take it: only the lookup's own thread may jump to the return
// point on its stack, so another thread passes the signal on to it.
void on_lookup_alarm(int signo) {
  (void)signo;
  if (!m_armed.load()) return;
  const pid_t lookup = m_lookup_tid.load();
  if (current_tid() != lookup) {
    const int saved = errno;
    syscall(SYS_tgkill, getpid(), lookup, SIGALRM);
    errno = saved;
    return;
  }
  if (!m_armed.exchange(false)) return;
  siglongjmp(m_jmpbuf, 1);
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
  return gethostname(name, static_cast<size_t>(size - 1));
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
  if (osl_excute(cmd, mac, kMacOutSize - 1) != 0) return 0;

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
    int hi = osl_util::hex_value(mac[pos]);
    int lo = osl_util::hex_value(mac[pos + 1]);
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
    int digit = osl_util::hex_value(ch);
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
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_lookup_alarm;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  if (sigaction(SIGALRM, &sa, nullptr) != 0) {
    puts("sigaction error!");
    return 0;
  }

  if (sigsetjmp(m_jmpbuf, 1) != 0) {
    // Back from the handler: the lookup was abandoned where it stood.
    alarm(0);
    puts("gethostbyname timeout!!!");
    return 0;
  }
  m_lookup_tid = current_tid();
  m_armed = s_timeout > 0;
  alarm(s_timeout > 0 ? static_cast<unsigned>(s_timeout) : 0u);

  struct hostent hostinfo;
  struct hostent *result = nullptr;
  char buf[kHostEntScratch];
  int rc = 0;
  if (gethostbyname_r(hostname, &hostinfo, buf, sizeof buf, &result, &rc) != 0 ||
      result == nullptr || result->h_addr_list == nullptr || result->h_addr_list[0] == nullptr) {
    // Cancel first: a resolver that gives up just as the limit runs out would otherwise jump
    // out of puts with the stdout lock held.
    m_armed = false;
    alarm(0);
    puts("gethostname failed!");
    return 0;
  }
  m_armed = false;
  alarm(0);
  uint32_t ip = 0;
  memcpy(&ip, result->h_addr_list[0], sizeof ip);
  return ip;
}

}  // extern "C"
