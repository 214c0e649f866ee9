// The log's UDP targets: reading "udp://HOST[:PORT]" from the caller's whole URL, the host looked
// up within a time limit, and the socket that sends each text as one datagram, joined to a
// multicast group where the host is one, with a filter that takes no datagram in.
#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include "osl_log_target.h"
#include "osl_lookup.h"
#include "osl_socket.h"
#include "osl_string.h"
#include "osl_sys.h"

namespace osl_log_target {

namespace {

constexpr size_t kHostSize = 128;  // a host text, terminator included
constexpr uint16_t kDefaultUdpPort = 8000;
constexpr int32_t kLookupSeconds = 2;  // the longest a host name is looked up for
constexpr int32_t kUdpType = SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK;
constexpr size_t kUdpSchemeLen = 6;  // "udp://"

// First octet 224..239; ip is in network byte order, so its first byte in memory.
bool is_multicast(uint32_t ip) {
  const uchar_t first = reinterpret_cast<const uchar_t *>(&ip)[0];
  return first >= 224 && first <= 239;
}

// The log's sockets only send. A filter that takes no datagram keeps their receive queues empty:
// texts looped back to a group, or anything sent to their port, are dropped on arrival.
void refuse_datagrams(SOCKET skt) {
  struct sock_filter none[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
  struct sock_fprog prog = {1, none};
  osl_socket_set_opt(skt, SOL_SOCKET, SO_ATTACH_FILTER, reinterpret_cast<const char *>(&prog),
                     static_cast<int32_t>(sizeof prog));
}

// The address of host (a dotted address, or a name looked up within kLookupSeconds), in network
// byte order; false when there is none. inet_aton rather than inet_addr: an invalid dotted text
// must not become the broadcast address 255.255.255.255.
bool address_of(const char_t *host, uint32_t *ip) {
  if (osl_str_isaddr(host) == 0) {
    struct in_addr addr;
    if (inet_aton(host, &addr) == 0) return false;
    *ip = addr.s_addr;
    return true;
  }
  return osl_lookup::lookup_with_limit(host, kLookupSeconds, ip) == osl_lookup::Lookup::kFound;
}

}  // namespace

int32_t open_udp(Target &t, const char_t *whole, bool *no_host) {
  *no_host = false;
  // The authority runs to the first "/", "?" or "#" of the whole URL, never of a cut copy.
  const char_t *auth = whole + kUdpSchemeLen;
  const size_t auth_len = strcspn(auth, "/?#");
  if (memchr(auth, '@', auth_len) != nullptr) return -1;  // user information
  const char_t *colon = static_cast<const char_t *>(memchr(auth, ':', auth_len));
  const size_t host_len = colon != nullptr ? static_cast<size_t>(colon - auth) : auth_len;
  uint64_t port = kDefaultUdpPort;
  if (colon != nullptr && colon + 1 < auth + auth_len &&
      (!osl_sys::parse_digits(colon + 1, auth_len - host_len - 1, 10, 0xFFFFu, &port) ||
       port == 0)) {
    return -1;
  }
  // Nothing after the port, with a host or without; an empty authority ("udp:///x") is none.
  if (auth_len > 0 && auth[auth_len] != '\0') return -1;
  if (host_len == 0) {
    *no_host = true;  // no socket: texts are discarded
    return 0;
  }
  if (host_len >= kHostSize) return -1;
  char_t host[kHostSize];
  osl_sys::copy_bounded(host, host_len + 1, auth);
  uint32_t ip = 0;
  if (!address_of(host, &ip)) return -1;

  const SOCKET skt = osl_socket_create(AF_INET, kUdpType, 0);
  if (skt < 0) return -1;
  t.sock = skt;
  t.ip = ip;
  t.port = htons(static_cast<uint16_t>(port));
  refuse_datagrams(skt);
  const int one = 1;  // a broadcast address is a destination like any other
  osl_socket_set_opt(skt, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&one),
                     static_cast<int32_t>(sizeof one));
  // A unicast sender is not bound: texts leave from an ephemeral port, so the receiver keeps
  // its port even on this machine, and a remote destination is no local address to bind.
  if (!is_multicast(ip)) return 0;
  // A group member: the group's address and port, shared with a local receiver of the group.
  // Bound to the group, not to any address, so that unicast datagrams for the port still go to
  // a local collector that holds it. A failed bind keeps the socket: later texts are still sent
  // to the group.
  osl_socket_set_opt(skt, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&one),
                     static_cast<int32_t>(sizeof one));
  if (osl_socket_bind(skt, ip, t.port) < 0) return -1;
  osl_socket_join(skt, ip);
  return 0;
}

void send_udp(Target &t, const char_t *buf, int32_t size) {
  if (t.sock >= 0) osl_socket_sendto(t.sock, t.ip, t.port, buf, size);
}

void close_udp(Target &t) {
  if (t.sock < 0) return;
  if (is_multicast(t.ip)) osl_socket_drop(t.sock, t.ip);
  osl_socket_destroy(t.sock);
  t.sock = -1;
}

}  // namespace osl_log_target
