// Socket wrappers on loopback: byte order passes through untouched, exact binds,
// connect-state polling, address reporting on accept/recvfrom failures.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include "osl_socket.h"

namespace {

// A listening TCP socket on 127.0.0.1 at a kernel-chosen port (network order in port()).
struct Listener {
  SOCKET skt = -1;
  uint16_t port = 0;
  Listener() {
    skt = osl_socket_create(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(skt, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return;
    osl_socket_listen(skt, 4);
    uint32_t ip = 0;
    osl_socket_get_sockname(skt, &ip, &port);
  }
  ~Listener() { osl_socket_destroy(skt); }
};

// A port on 127.0.0.1 where nothing listens: bound, then released.
uint16_t free_port() {
  Listener l;
  return l.port;
}

TEST(OslSocket, StreamRoundTripKeepsNetworkOrder) {
  Listener l;
  ASSERT_NE(l.port, 0);
  const SOCKET c = osl_socket_create(2, 1, 6);
  ASSERT_GE(c, 0);
  ASSERT_EQ(osl_socket_connect(c, inet_addr("127.0.0.1"), l.port), 0);

  uint32_t peer_ip = 0;
  uint16_t peer_port = 0;
  const SOCKET s = osl_socket_accept(l.skt, &peer_ip, &peer_port);
  ASSERT_GE(s, 0);
  EXPECT_EQ(peer_ip, inet_addr("127.0.0.1"));  // as the kernel reports it, network order
  uint32_t cip = 0;
  uint16_t cport = 0;
  ASSERT_EQ(osl_socket_get_sockname(c, &cip, &cport), 0);
  EXPECT_EQ(peer_port, cport);
  EXPECT_EQ(cip, inet_addr("127.0.0.1"));

  char msg[] = "GET / HTTP/1.1\r\n\r\n";
  EXPECT_EQ(osl_socket_send(c, msg, static_cast<int32_t>(strlen(msg))), static_cast<int32_t>(strlen(msg)));
  char buf[64];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(osl_socket_recv(s, buf, sizeof buf), static_cast<int32_t>(strlen(msg)));
  EXPECT_EQ(memcmp(buf, msg, strlen(msg)), 0);
  EXPECT_EQ(buf[strlen(msg)], 'x');  // nothing written after the received bytes

  osl_socket_destroy(c);
  memset(buf, 'y', sizeof buf);
  EXPECT_EQ(osl_socket_recv(s, buf, sizeof buf), 0);  // orderly close
  EXPECT_EQ(buf[0], 'y');
  osl_socket_destroy(s);
  osl_socket_destroy(-1);  // does nothing
}

TEST(OslSocket, PortIsNotConverted) {
  Listener l;
  const uint16_t host_order = ntohs(l.port);
  // The same number given in host order names another port (unless it is a palindrome in bytes).
  if ((host_order >> 8) == (host_order & 0xFF)) GTEST_SKIP() << "port bytes are symmetric";
  const SOCKET c = osl_socket_create(2, 1, 6);
  EXPECT_EQ(osl_socket_connect(c, inet_addr("127.0.0.1"), host_order), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  osl_socket_destroy(c);
}

// Binds a datagram socket to bind_to and sends to its port through 127.0.0.2 first, then
// through the bound address (127.0.0.1 for any): loopback delivery keeps the order, so the text
// read first tells whether the first one arrived.
std::string FirstArrival(const char *bind_to) {
  SCOPED_TRACE(bind_to);
  const SOCKET s = osl_socket_create(2, 2, 0);
  EXPECT_EQ(osl_socket_bind(s, inet_addr(bind_to), 0), 0);
  uint32_t ip = 1;
  uint16_t port = 0;
  EXPECT_EQ(osl_socket_get_sockname(s, &ip, &port), 0);
  EXPECT_EQ(ip, inet_addr(bind_to));
  EXPECT_NE(port, 0);

  const SOCKET tx = osl_socket_create(2, 2, 0);
  EXPECT_EQ(osl_socket_sendto(tx, inet_addr("127.0.0.2"), port, "other", 5), 5);
  EXPECT_EQ(osl_socket_sendto(tx, ip != 0 ? ip : inet_addr("127.0.0.1"), port, "own", 3), 3);
  char buf[8] = {0};
  uint32_t from = 0;
  uint16_t from_port = 0;
  const int32_t n = osl_socket_recvfrom(s, &from, &from_port, buf, sizeof buf);
  uint32_t tx_ip = 0;
  uint16_t tx_port = 0;
  osl_socket_get_sockname(tx, &tx_ip, &tx_port);
  EXPECT_EQ(from_port, tx_port);
  EXPECT_EQ(ntohl(from) >> 24, 127u);
  osl_socket_destroy(tx);
  osl_socket_destroy(s);
  return std::string(buf, n > 0 ? n : 0);
}

TEST(OslSocket, BindTakesExactlyTheAddressGiven) {
  // The loopback stays private, never widened to every interface; 0 is every local address.
  EXPECT_EQ(FirstArrival("127.0.0.1"), "own");
  EXPECT_EQ(FirstArrival("127.0.0.3"), "own");
  EXPECT_EQ(FirstArrival("0.0.0.0"), "other");
}

TEST(OslSocket, FailuresStoreAsDocumented) {
  // A failed accept leaves the caller's variables untouched.
  const SOCKET l = osl_socket_create(2, 1, 6);
  int fl = fcntl(l, F_GETFL);
  fcntl(l, F_SETFL, fl | O_NONBLOCK);
  osl_socket_bind(l, inet_addr("127.0.0.5"), 0);
  osl_socket_listen(l, 1);
  uint32_t ip = 0xDEADBEEF;
  uint16_t port = 0xBEEF;
  EXPECT_LT(osl_socket_accept(l, &ip, &port), 0);
  EXPECT_EQ(osl_socket_get_state(), 0);  // EAGAIN
  EXPECT_EQ(ip, 0xDEADBEEFu);
  EXPECT_EQ(port, 0xBEEF);
  EXPECT_LT(osl_socket_accept(l, nullptr, nullptr), 0);
  osl_socket_destroy(l);

  // A failed recvfrom reports 0:0 through non-null pointers.
  const SOCKET u = osl_socket_create(2, 2, 0);
  fl = fcntl(u, F_GETFL);
  fcntl(u, F_SETFL, fl | O_NONBLOCK);
  char buf[4];
  EXPECT_EQ(osl_socket_recvfrom(u, &ip, &port, buf, sizeof buf), -1);
  EXPECT_EQ(ip, 0u);
  EXPECT_EQ(port, 0);
  osl_socket_destroy(u);

  EXPECT_EQ(osl_socket_create(12345, 1, 0), -1);
}

// A negative size must not become a length of gigabytes: a receive would run past the buffer and
// a send would hand the memory behind it to the peer.
TEST(OslSocket, NegativeSizeMovesNothing) {
  Listener l;
  const SOCKET c = osl_socket_create(2, 1, 6);
  ASSERT_EQ(osl_socket_connect(c, inet_addr("127.0.0.1"), l.port), 0);
  const SOCKET s = osl_socket_accept(l.skt, nullptr, nullptr);
  ASSERT_GE(s, 0);
  const SOCKET u = osl_socket_create(2, 2, 0);
  ASSERT_EQ(osl_socket_bind(u, inet_addr("127.0.0.9"), 0), 0);
  uint32_t uip = 0;
  uint16_t uport = 0;
  ASSERT_EQ(osl_socket_get_sockname(u, &uip, &uport), 0);
  const SOCKET tx = osl_socket_create(2, 2, 0);

  char payload[100];
  memset(payload, 'P', sizeof payload);
  ASSERT_EQ(osl_socket_send(c, payload, sizeof payload), 100);
  ASSERT_EQ(osl_socket_sendto(tx, uip, uport, payload, sizeof payload), 100);

  struct {
    char buf[8];
    char guard[120];
  } mem;
  uint32_t ip = 1;
  uint16_t port = 1;
  struct Row {
    const char *what;
    std::function<int32_t()> call;
  } rows[] = {
      {"recv", [&] { return osl_socket_recv(s, mem.buf, -1); }},
      {"recvfrom", [&] { return osl_socket_recvfrom(u, &ip, &port, mem.buf, INT32_MIN); }},
      {"send", [&] { return osl_socket_send(c, mem.buf, -1); }},
      {"sendto", [&] { return osl_socket_sendto(tx, uip, uport, mem.buf, -8); }},
  };
  for (const Row &r : rows) {
    memset(&mem, 'g', sizeof mem);
    errno = 0;
    EXPECT_EQ(r.call(), -1) << r.what;
    EXPECT_EQ(errno, EINVAL) << r.what;
    EXPECT_EQ(mem.guard[0], 'g') << r.what << " wrote past the buffer";
  }
  EXPECT_EQ(ip, 0u);  // reported as for any failed recvfrom
  EXPECT_EQ(port, 0);

  // What was pending is still there, whole, and nothing more arrived.
  char in[256];
  EXPECT_EQ(recv(s, in, sizeof in, MSG_DONTWAIT), 100);
  EXPECT_EQ(recv(s, in, sizeof in, MSG_DONTWAIT), -1);
  EXPECT_EQ(recv(u, in, sizeof in, MSG_DONTWAIT), 100);
  EXPECT_EQ(recv(u, in, sizeof in, MSG_DONTWAIT), -1);
  for (SOCKET k : {c, s, u, tx}) osl_socket_destroy(k);
}

TEST(OslSocket, ErrorClassification) {
  struct Row {
    int err, want;
  } rows[] = {{EAGAIN, 0}, {EWOULDBLOCK, 0}, {EINPROGRESS, 0}, {ECONNREFUSED, -1}, {0, -1},
              {EINTR, -1}, {ETIMEDOUT, -1}};
  for (const auto &r : rows) {
    errno = r.err;
    EXPECT_EQ(osl_socket_get_state(), r.want) << "errno " << r.err;
  }
}

TEST(OslSocket, ConnectStatePoll) {
  // Established connection: 0.
  Listener l;
  SOCKET c = osl_socket_create(2, 1, 6);
  uint32_t nb = 1;
  ASSERT_EQ(osl_socket_ioctl(c, FIONBIO, &nb), 0);
  const int32_t r = osl_socket_connect(c, inet_addr("127.0.0.1"), l.port);
  if (r != 0) {
    EXPECT_EQ(osl_socket_get_state(), 0);  // in progress
  }
  int32_t state = 1;
  for (int i = 0; i < 1000 && state == 1; ++i) {
    state = osl_socket_get_connect_state(c);
    if (state == 1) usleep(1000);
  }
  EXPECT_EQ(state, 0);
  // With no descriptor free the state is still read, rather than 1 for ever.
  struct rlimit old, none;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  none = {static_cast<rlim_t>(dup(c)), old.rlim_max};  // the lowest free descriptor
  close(static_cast<int>(none.rlim_cur));
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  EXPECT_EQ(osl_socket_get_connect_state(c), 0);
  setrlimit(RLIMIT_NOFILE, &old);
  osl_socket_destroy(c);
  EXPECT_EQ(osl_socket_get_connect_state(c), -1);  // no socket there any more

  // Refused connection: -1, and get_state classifies the refusal as a real failure.
  const uint16_t closed = free_port();
  c = osl_socket_create(2, 1, 6);
  ASSERT_EQ(osl_socket_ioctl(c, FIONBIO, &nb), 0);
  if (osl_socket_connect(c, inet_addr("127.0.0.1"), closed) != 0) {
    if (errno == ECONNREFUSED) {
      EXPECT_EQ(osl_socket_get_state(), -1);
    }
  }
  state = 1;
  for (int i = 0; i < 1000 && state == 1; ++i) {
    state = osl_socket_get_connect_state(c);
    if (state == 1) usleep(1000);
  }
  EXPECT_EQ(state, -1);
  osl_socket_destroy(c);

  // A listening socket with no pending connection reports nothing at all: 1 at once.
  const SOCKET lis = osl_socket_create(2, 1, 6);
  osl_socket_bind(lis, inet_addr("127.0.0.7"), 0);
  osl_socket_listen(lis, 1);
  EXPECT_EQ(osl_socket_get_connect_state(lis), 1);
  osl_socket_destroy(lis);
}

TEST(OslSocket, OptionsPassThrough) {
  const SOCKET s = osl_socket_create(2, 1, 6);
  const int32_t on = 1;
  ASSERT_EQ(osl_socket_set_opt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on), 4), 0);
  int32_t val = 0;
  int32_t len = 4;
  ASSERT_EQ(osl_socket_get_opt(s, SOL_SOCKET, SO_REUSEADDR, &val, &len), 0);
  EXPECT_NE(val, 0);
  EXPECT_EQ(len, 4);
  EXPECT_EQ(osl_socket_set_opt(s, SOL_SOCKET, 99999, reinterpret_cast<const char *>(&on), 4), -1);
  osl_socket_destroy(s);

  // A null length goes to the kernel as it is: the call fails and a pending error stays pending
  // for the caller who asks properly. (A datagram to a closed loopback port leaves one.)
  const SOCKET u = osl_socket_create(2, 2, 0);
  ASSERT_EQ(osl_socket_connect(u, inet_addr("127.0.0.1"), free_port()), 0);
  char byte = 'x';
  ASSERT_EQ(osl_socket_send(u, &byte, 1), 1);
  struct pollfd p = {u, 0, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  ASSERT_NE(p.revents & POLLERR, 0);
  val = 0;
  errno = 0;
  EXPECT_EQ(osl_socket_get_opt(u, SOL_SOCKET, SO_ERROR, &val, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
  len = 4;
  EXPECT_EQ(osl_socket_get_opt(u, SOL_SOCKET, SO_ERROR, &val, &len), 0);
  EXPECT_EQ(val, ECONNREFUSED) << "the pending error was consumed";
  osl_socket_destroy(u);
}

}  // namespace
