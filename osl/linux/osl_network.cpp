// Host-name resolution and the machine's own network identity.
//
// osl_network_dns is serialised by the module mutex (m_mutex, owned here from
// osl_network_init to osl_network_exit). osl_network_gethostbyname with a limit runs the lookup
// on a worker it may abandon (osl_lookup.h); nslookup's answer is read by osl_nslookup.h. The
// outside commands (nslookup, the board script) run through osl_command::capture with a time
// limit, in a process group of their own, so that at the limit the whole group can be killed.

#include "osl_network.h"

#include <errno.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "osl.h"
#include "osl_command.h"
#include "osl_lookup.h"
#include "osl_mutex.h"
#include "osl_nslookup.h"
#include "osl_string.h"
#include "osl_sys.h"

namespace {

constexpr int32_t kDnsAttempts = 10;        // getaddrinfo tries before the nslookup fallback
constexpr int32_t kDnsPauseUs = 1000;       // pause after each failed try
constexpr int32_t kCmdSize = 1024;          // nslookup command line
constexpr size_t kOutMax = 16 * 1024;       // nslookup output read at most, in bytes
constexpr int32_t kMaxIfRecords = 8;        // interfaces examined by osl_network_get_local_ip
constexpr int32_t kMacOutSize = 32;         // board script output, read with room 31
constexpr int64_t kCommandLimitMs = 10000;  // nslookup and the board script, from their start

void *m_mutex = nullptr;

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

// The fallback phase: the address nslookup's output gives for the name (osl_nslookup::address_of),
// read to its end up to kOutMax bytes. nslookup ends every line it prints, so a last line with no
// line end (cut at kOutMax, ended by a zero byte, or finished by a child left behind) is not
// read. 0 when it gives none, and when nslookup has not ended within kCommandLimitMs.
uint32_t resolve_with_nslookup(const char *hostname) {
  if (!osl_nslookup::is_plain_hostname(hostname)) return 0;
  char cmdbuf[kCmdSize];
  char valustr[kOutMax + 1];
  memset(cmdbuf, 0, sizeof cmdbuf);
  valustr[kOutMax] = '\0';

  osl_str_snprintf(cmdbuf, kCmdSize - 1, "nslookup  %s", hostname);
  if (osl_command::capture(cmdbuf, valustr, kOutMax, kCommandLimitMs) != osl_command::Run::kDone) {
    return 0;
  }
  return osl_nslookup::address_of(valustr, true, hostname);
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
  if (ip == 0 && osl_str_isaddr(hostname) != 0) {
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
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
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
  if (osl_command::capture("./config/getnetworkpara.sh eth0 mac", mac, kMacOutSize - 1,
                           kCommandLimitMs) != osl_command::Run::kDone) {
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
  using osl_lookup::Lookup;
  const Lookup outcome = s_timeout > 0 ? osl_lookup::lookup_with_limit(hostname, s_timeout, &ip)
                         : osl_lookup::lookup_host(hostname, &ip) ? Lookup::kFound
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
