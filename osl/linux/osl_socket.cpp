// IPv4 socket wrappers: one system call (or a short fixed sequence) each, results and errno
// handed back as the kernel gave them.
#include "osl_socket.h"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "osl_sys.h"

namespace {


sockaddr_in make_addr(uint32_t ip, uint16_t port) {
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = port;
  addr.sin_addr.s_addr = ip;
  return addr;
}

// 0 when the socket's pending error could be read and is none, -1 otherwise; used by the
// connect-state poll.
int32_t pending_error_state(SOCKET skt) {
  int32_t err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(skt, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) return 0;
  return -1;
}

// Joins or leaves group ip on the interface the kernel chooses.
int32_t set_membership(SOCKET skt, uint32_t ip, int option) {
  ip_mreq mreq;
  memset(&mreq, 0, sizeof mreq);
  mreq.imr_multiaddr.s_addr = ip;
  mreq.imr_interface.s_addr = INADDR_ANY;
  return setsockopt(skt, IPPROTO_IP, option, &mreq, sizeof mreq);
}

}  // namespace

static_assert(sizeof(sockaddr_in) == 16, "address records are 16 bytes");
static_assert(sizeof(ip_mreq) == 8, "membership records are 8 bytes");

extern "C" {

SOCKET osl_socket_create(int32_t af, int32_t type, int32_t protocol) {
  return socket(af, type, protocol);
}

void osl_socket_destroy(SOCKET skt) {
  if (skt != -1) close(skt);
}

int32_t osl_socket_connect(SOCKET skt, uint32_t ip, uint16_t port) {
  const sockaddr_in addr = make_addr(ip, port);
  return connect(skt, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
}

int32_t osl_socket_get_connect_state(SOCKET skt) {
  struct pollfd p;
  p.fd = skt;
  p.events = POLLIN | POLLOUT;
  p.revents = 0;
  const int n = poll(&p, 1, 0);
  if (n < 0) return -1;
  if (n == 0) return 1;
  if (p.revents & POLLNVAL) {
    errno = EBADF;
    return -1;
  }
  // A hang-up without an error is a socket that never connected or is shut both ways.
  if (p.revents & (POLLERR | POLLHUP)) return -1;
  return pending_error_state(skt);
}

int32_t osl_socket_get_state(void) {
  const int e = errno;
  return (e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS) ? 0 : -1;
}

int32_t osl_socket_bind(SOCKET skt, uint32_t ip, uint16_t port) {
  // Exactly the address asked for: a service that binds the loopback to stay private must not
  // become reachable on every interface. 0 (INADDR_ANY) is every local address.
  sockaddr_in addr = make_addr(ip, port);
  return bind(skt, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
}

int32_t osl_socket_listen(SOCKET skt, int32_t max) {
  return listen(skt, max);
}

SOCKET osl_socket_accept(SOCKET skt, uint32_t *ip, uint16_t *port) {
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  socklen_t len = sizeof addr;
  const SOCKET s = accept(skt, reinterpret_cast<sockaddr *>(&addr), &len);
  if (s < 0) return s;
  if (ip != nullptr) *ip = addr.sin_addr.s_addr;
  if (port != nullptr) *port = addr.sin_port;
  return s;
}

int32_t osl_socket_ioctl(SOCKET skt, int32_t type, uint32_t *val) {
  return ioctl(skt, static_cast<unsigned long>(static_cast<uint32_t>(type)), val);
}

int32_t osl_socket_set_opt(SOCKET skt, int32_t level, int32_t optname, const char *optval,
                           int32_t optlen) {
  return setsockopt(skt, level, optname, optval, static_cast<socklen_t>(optlen));
}

int32_t osl_socket_get_opt(SOCKET skt, int32_t level, int32_t optname, int32_t *optval,
                           int32_t *optlen) {
  // The caller's length is handed over as it is, null included: a stand-in for a null pointer
  // would let the call succeed and, for SO_ERROR, consume the pending error unseen.
  static_assert(sizeof(socklen_t) == sizeof(int32_t), "the length is passed through unchanged");
  return getsockopt(skt, level, optname, optval, reinterpret_cast<socklen_t *>(optlen));
}

int32_t osl_socket_get_sockname(SOCKET skt, uint32_t *ip, uint16_t *port) {
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  socklen_t len = sizeof addr;
  const int r = getsockname(skt, reinterpret_cast<sockaddr *>(&addr), &len);
  if (ip != nullptr) *ip = addr.sin_addr.s_addr;
  if (port != nullptr) *port = addr.sin_port;
  return r;
}

int32_t osl_socket_send(SOCKET skt, const void *buf, int32_t size) {
  if (osl_sys::bad_size(size)) return -1;
  return static_cast<int32_t>(send(skt, buf, static_cast<size_t>(size), 0));
}

int32_t osl_socket_recv(SOCKET skt, void *buf, int32_t size) {
  if (osl_sys::bad_size(size)) return -1;
  return static_cast<int32_t>(recv(skt, buf, static_cast<size_t>(size), 0));
}

int32_t osl_socket_join(SOCKET skt, uint32_t ip) {
  return set_membership(skt, ip, IP_ADD_MEMBERSHIP);
}

int32_t osl_socket_drop(SOCKET skt, uint32_t ip) {
  return set_membership(skt, ip, IP_DROP_MEMBERSHIP);
}

int32_t osl_socket_sendto(SOCKET skt, uint32_t ip, uint16_t port, const void *buf, int32_t size) {
  if (osl_sys::bad_size(size)) return -1;
  const sockaddr_in addr = make_addr(ip, port);
  return static_cast<int32_t>(sendto(skt, buf, static_cast<size_t>(size), 0,
                                     reinterpret_cast<const sockaddr *>(&addr), sizeof addr));
}

int32_t osl_socket_recvfrom(SOCKET skt, uint32_t *ip, uint16_t *port, void *buf, int32_t size) {
  sockaddr_in from;
  memset(&from, 0, sizeof from);
  socklen_t slen = sizeof from;
  int32_t n = -1;  // a bad size still reports 0:0, as every failure does
  if (!osl_sys::bad_size(size)) {
    n = static_cast<int32_t>(recvfrom(skt, buf, static_cast<size_t>(size), 0,
                                      reinterpret_cast<sockaddr *>(&from), &slen));
  }
  if (ip != nullptr) *ip = from.sin_addr.s_addr;
  if (port != nullptr) *port = from.sin_port;
  return n;
}

}  // extern "C"
