// The UDP log target. Unicast runs on loopback with receiving sockets of the test's own;
// multicast and fixed ports run only inside a private network namespace that holds nothing
// but the loopback interface, so no datagram or membership report can leave the machine.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "osl_log.h"
#include "osl_socket.h"
#include "private_resolver.h"
#include "test_util.h"

namespace {

using osltest::open_fds;

void set_timeout(int fd, int seconds) {
  struct timeval tv = {seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A datagram socket bound to 127.0.0.1 on a port the kernel picks; port in host order.
int bound_receiver(uint16_t *port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  set_timeout(fd, 5);
  return fd;
}

// Binds a fresh socket to any address and port; 0 or the errno of the failure.
int try_bind_any(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  const int r = bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : errno;
  close(fd);
  return r;
}

std::string recv_datagram(int fd) {
  char buf[9000];
  const ssize_t n = recv(fd, buf, sizeof buf, 0);
  return n < 0 ? std::string("<nothing>") : std::string(buf, static_cast<size_t>(n));
}

std::string z(const std::string &s) { return s + std::string(1, '\0'); }

// Binds a datagram socket to ip (127.0.0.1 by default):port (host order); -1 on failure.
int receiver_on(uint16_t port, uint32_t ip = htonl(INADDR_LOOPBACK)) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = ip;
  sa.sin_port = htons(port);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  set_timeout(fd, 5);
  return fd;
}

// The socket descriptors of this process other than except, each with its close-on-exec flag.
std::string sockets_and_cloexec(int except) {
  std::string out;
  for (int fd = 0; fd < 1024; ++fd) {
    char link[64], target[128];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (fd == except || n < 7 || strncmp(target, "socket:", 7) != 0) continue;
    out += (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0 ? "cloexec " : "inherited ";
  }
  return out;
}

class LogUdp : public ::testing::Test {
 protected:
  void SetUp() override { osl_log_init(OSL_LOG_ALL); }
  void TearDown() override { osl_log_init(OSL_LOG_WARN); }
};

TEST_F(LogUdp, ReceiverStartedFirstGetsEveryText) {
  uint16_t port = 0;
  const int rx = bound_receiver(&port);
  ASSERT_GE(rx, 0);
  const int before = open_fds();
  const std::string url = "UDP://127.0.0.1:" + std::to_string(port);
  // The sender takes no port of its own choosing: nothing collides with the receiver's.
  EXPECT_EQ(osl_log_set_target(url.c_str()), 0);
  EXPECT_EQ(open_fds(), before + 1);
  EXPECT_EQ(sockets_and_cloexec(rx), "cloexec ");  // not inherited by started commands

  EXPECT_EQ(osl_log_info("0123456789"), 11);
  EXPECT_EQ(recv_datagram(rx), z("0123456789"));  // the terminating zero travels too

  // A conversion that fails part-way sends an empty text, never the rest of the buffer.
  EXPECT_EQ(osl_log_error("user %ls\n", L"J\u00f6rg"), 1);
  EXPECT_EQ(recv_datagram(rx), z(""));

  osl_log_mod_set_level(4, 0);
  EXPECT_EQ(osl_log_mod_debug(4, "m%d\n", 1), 12);
  EXPECT_EQ(recv_datagram(rx), z("[D][04] m1\n"));

  osl_log_mod_config();  // one datagram per row
  const std::string stars(76, '*');
  const std::string rows[] = {
      stars + "\n",
      "*   log level [N][08] [E][04] [W][03] [I][02] [D][01] [A][00] \n",
      "*   log mod[00] level[00]-> GLOBLE MOD\n",
      "*   log mod[04] level[00]-> \n",
      stars + "\n",
      "#LOG SET -00:00",
      "-04:00",
      "\n"};
  for (const std::string &row : rows) EXPECT_EQ(recv_datagram(rx), z(row));

  // A further udp target beside the first: each takes the severities its threshold passes, from
  // a socket of its own; removing it closes that socket.
  uint16_t port2 = 0;
  const int rx2 = bound_receiver(&port2);
  ASSERT_GE(rx2, 0);
  osl_log_set_level(OSL_LOG_ERROR);
  const std::string url2 = "udp://127.0.0.1:" + std::to_string(port2);
  EXPECT_EQ(osl_log_add_target(url2.c_str(), OSL_LOG_INFO), 1);
  EXPECT_EQ(osl_log_info("i"), 2);
  EXPECT_EQ(osl_log_error("e"), 2);
  for (const char *want : {"i", "e"}) EXPECT_EQ(recv_datagram(rx2), z(want));
  EXPECT_EQ(recv_datagram(rx), z("e"));  // the first target took only the error
  EXPECT_EQ(osl_log_remove_target(1), 0);
  close(rx2);

  EXPECT_EQ(osl_log_set_target("none"), 0);
  EXPECT_EQ(open_fds(), before);
  close(rx);
}

TEST_F(LogUdp, UnicastTargetLeavesTheReceiversPortFree) {
  uint16_t port = 0;
  const int probe = bound_receiver(&port);
  ASSERT_GE(probe, 0);
  close(probe);  // the port is free again
  const std::string url = "udp://127.0.0.1:" + std::to_string(port);
  ASSERT_EQ(osl_log_set_target(url.c_str()), 0);
  EXPECT_EQ(try_bind_any(port), 0);
  const int rx = receiver_on(port);  // the receiver starts after the logger
  ASSERT_GE(rx, 0);
  osl_log_warn("late");
  EXPECT_EQ(recv_datagram(rx), z("late"));
  close(rx);
  osl_log_exit();
  EXPECT_EQ(try_bind_any(port), 0);
  char back[64];
  osl_log_get_target(back, sizeof back);
  EXPECT_EQ(std::string(back), url);  // exit keeps the URL
}

TEST_F(LogUdp, TargetsWithoutASocket) {
  const std::string zeros128 = "127.0.0." + std::string(119, '0') + "1";  // 128 characters
  ASSERT_EQ(zeros128.size(), 128u);
  const struct {
    std::string url;
    int32_t ret;
  } cases[] = {
      {"udp://", 0},                           // no host: texts are discarded
      {"udp://:9080", 0},
      {"udp://user@127.0.0.1:9000", -1},       // no user information
      {"udp:///var/x", 0},                     // no authority at all
      {"udp://999.1.1.1:5000", -1},            // not a dotted address, never the broadcast
      {"udp://1.2.3.4.5:5000", -1},
      {"udp://" + zeros128 + ":5000", -1},     // host text longer than the work buffer
      {"udp://127.0.0.1:" + std::string(128, '1'), -1},  // port text likewise
      {"udp://127.0.0.1:0", -1},               // usable ports: decimal 1..65535, nothing more
      {"udp://127.0.0.1:-1", -1},
      {"udp://127.0.0.1:8000x", -1},
      {"udp://127.0.0.1:9000/", -1},           // nothing after the port, not even a "/"
      {"udp://:9080/x", -1},                   // nor without a host
      {"udp://:#", -1},
      {"udp://127.0.0.1:" + std::string(1003, '0') + "9000/x", -1},  // nor past 1023 stored
  };
  const int before = open_fds();
  for (const auto &c : cases) {
    EXPECT_EQ(osl_log_set_target(c.url.c_str()), c.ret) << c.url;
    EXPECT_EQ(open_fds(), before) << c.url;
    EXPECT_EQ(osl_log_error("x\n"), 3);  // discarded, nothing printed or sent
  }
}

TEST_F(LogUdp, HostAndPortTextsOf127CharactersAreAccepted) {
  uint16_t port = 0;
  const int rx = bound_receiver(&port);
  ASSERT_GE(rx, 0);
  // Leading zeros: the octal last part "0...01" is 1, so the host is 127.0.0.1.
  const std::string host = "127.0.0." + std::string(118, '0') + "1";
  const std::string port_text = std::string(127 - std::to_string(port).size(), '0') +
                                std::to_string(port);
  ASSERT_EQ(host.size(), 127u);
  ASSERT_EQ(port_text.size(), 127u);
  EXPECT_EQ(osl_log_set_target(("udp://" + host + ":" + port_text).c_str()), 0);
  osl_log_warn("edge");
  EXPECT_EQ(recv_datagram(rx), z("edge"));

  // A port whose last digits lie past the 1023 stored characters: the whole URL's port is used,
  // never the stored one's ("udp://127.0.0.1:00...01" for port 1xxxx).
  const std::string cut_port = std::string(1023 - 16 - 1, '0') + std::to_string(port);
  EXPECT_EQ(osl_log_set_target(("udp://127.0.0.1:" + cut_port).c_str()), 0);
  osl_log_warn("whole");
  EXPECT_EQ(recv_datagram(rx), z("whole"));
  close(rx);
}

// A host name, looked up through a resolver the test controls: the stub's zone names
// logsink.test 127.0.0.1 on the child's private loopback; absent.test is unknown.
TEST(LogUdpResolver, HostNameTargets) {
  osltest::TempDir dir;
  const osltest::ChildResult r = osltest::RunWithResolver(dir, osltest::Stub::kAnswers, [] {
    printf("+");  // proves the child got past fork()
    fflush(stdout);
    uint16_t port = 0;
    const int rx = bound_receiver(&port);
    if (rx < 0) return 10;
    osl_log_init(OSL_LOG_ALL);
    const int before = open_fds();
    if (osl_log_set_target(("udp://LogSink.test:" + std::to_string(port)).c_str()) != 0) return 11;
    if (osl_log_info("named") != 6 || recv_datagram(rx) != z("named")) return 12;
    if (osl_log_set_target("udp://absent.test:5000") != -1) return 13;  // no socket is made
    if (open_fds() != before) return 14;
    osl_log_init(OSL_LOG_WARN);
    close(rx);
    return 0;
  });
  SKIP_IF_NO_NAMESPACE(r);
  if (r.out.empty() && r.code > 128) {
    GTEST_SKIP() << "the child died inside fork() with signal " << r.code - 128
                 << " (as under user-mode emulation); host names not tested";
  }
  EXPECT_EQ(r.code, 0) << r.out;
}

// ---------------------------------------------------------------- private network namespace

// Brings lo up and routes 224.0.0.0/4 over it; false when the namespace cannot be set up.
bool setup_loopback_namespace() {
  if (osltest::EnterNamespaces(CLONE_NEWNET) != 0) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  struct ifreq ifr = {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  struct rtentry rt = {};
  auto *dst = reinterpret_cast<sockaddr_in *>(&rt.rt_dst);
  auto *mask = reinterpret_cast<sockaddr_in *>(&rt.rt_genmask);
  dst->sin_family = AF_INET;
  dst->sin_addr.s_addr = inet_addr("224.0.0.0");
  mask->sin_family = AF_INET;
  mask->sin_addr.s_addr = inet_addr("240.0.0.0");
  rt.rt_flags = RTF_UP;
  char dev[] = "lo";
  rt.rt_dev = dev;
  ok = ok && ioctl(fd, SIOCADDRT, &rt) == 0;
  close(fd);
  return ok;
}

bool group_joined(uint32_t group) {
  char hex[16];
  snprintf(hex, sizeof hex, "%08X", group);  // the kernel prints the network-order value
  FILE *f = fopen("/proc/net/igmp", "r");
  if (f == nullptr) return false;
  char line[256];
  bool found = false;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strstr(line, hex) != nullptr) found = true;
  }
  fclose(f);
  return found;
}

// Waits on a raw UDP socket for a datagram to ip (network order) and port (host order); the
// payload, or "<nothing>" after the socket's time-out.
std::string raw_payload_to(int raw, uint32_t ip, uint16_t port) {
  unsigned char pkt[2048];
  for (;;) {
    const ssize_t n = recv(raw, pkt, sizeof pkt, 0);
    if (n < 28) return "<nothing>";
    const size_t ihl = static_cast<size_t>(pkt[0] & 0x0F) * 4;
    uint32_t daddr;
    memcpy(&daddr, pkt + 16, 4);
    const uint16_t dport = static_cast<uint16_t>(pkt[ihl + 2] << 8 | pkt[ihl + 3]);
    if (daddr == ip && dport == port) {
      return std::string(reinterpret_cast<char *>(pkt) + ihl + 8,
                         static_cast<size_t>(n) - ihl - 8);
    }
  }
}

// A datagram socket that joins group and holds its port (host order), with SO_REUSEADDR when
// share is set; -1 when any step fails.
int group_member(uint32_t group, uint16_t port, bool share) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  set_timeout(fd, 3);
  const int one = 1;
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  struct ip_mreq mreq = {};
  mreq.imr_multiaddr.s_addr = group;
  if ((share && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) ||
      bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

#define NS_CHECK(cond)                                              \
  do {                                                              \
    if (!(cond)) {                                                  \
      dprintf(report, "line %d: %s\n", __LINE__, #cond);            \
      _exit(1);                                                     \
    }                                                               \
  } while (0)

// Runs in the child, inside the namespace; exits 0 when every check held.
void namespace_checks(int report) {
  const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
  NS_CHECK(raw >= 0);
  set_timeout(raw, 3);
  const uint32_t group = inet_addr("239.1.2.3");
  const uint32_t loopback = inet_addr("127.0.0.1");

  osl_log_init(OSL_LOG_ALL);
  NS_CHECK(osl_log_set_target("udp://239.1.2.3:5000") == 0);
  NS_CHECK(group_joined(group));
  NS_CHECK(try_bind_any(5000) == EADDRINUSE);  // the group's port is held
  NS_CHECK(osl_log_info("0123456789") == 11);
  NS_CHECK(raw_payload_to(raw, group, 5000) == z("0123456789"));
  NS_CHECK(osl_log_set_target("console://") == 0);  // leaves the group and closes
  NS_CHECK(!group_joined(group));
  NS_CHECK(try_bind_any(5000) == 0);

  // A local receiver of the group that shares its port: both bind, the receiver gets texts.
  const int sharer = group_member(group, 5002, true);
  NS_CHECK(sharer >= 0);
  NS_CHECK(osl_log_set_target("udp://239.1.2.3:5002") == 0);
  osl_log_info("shared");
  NS_CHECK(recv_datagram(sharer) == z("shared"));
  // It still gets its own unicast datagrams, and the log's socket, bound to the group, holds
  // none of the texts looped back to it.
  NS_CHECK(osl_socket_sendto(sharer, loopback, htons(5002), "uni", 3) == 3);
  NS_CHECK(recv_datagram(sharer) == "uni");
  int queued = -1;
  for (int fd = 3; fd < 1024; ++fd) {
    struct sockaddr_in sa = {};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    if (sa.sin_addr.s_addr == group) ioctl(fd, FIONREAD, &queued);
  }
  NS_CHECK(queued == 0);
  close(sharer);

  // A destination on another machine is no local address to bind: the socket exists, so 0.
  NS_CHECK(osl_log_set_target("udp://192.0.2.1:5000") == 0);

  // A multicast target whose port is taken: the call fails, texts still go to the group
  // (received here by the socket holding the port, a member of the group itself).
  const int holder = group_member(group, 5001, false);
  NS_CHECK(holder >= 0);
  NS_CHECK(osl_log_set_target("udp://239.1.2.3:5001") == -1);
  osl_log_info("held");
  NS_CHECK(recv_datagram(holder) == z("held"));
  close(holder);

  // No port: 8000. A port beyond 16 bits is no port (no socket), never its low 16 bits (4464).
  NS_CHECK(osl_log_set_target("udp://127.0.0.1") == 0);
  osl_log_info("default");
  NS_CHECK(raw_payload_to(raw, loopback, 8000) == z("default"));
  NS_CHECK(osl_log_set_target("udp://127.0.0.1:70000") == -1);

  // A neighbour that never answers ARP holds no caller up (the alarm would end the child), and a
  // receiver on the subnet's broadcast address gets the texts sent there. The neighbour sits
  // behind v9a (10.9.0.1/24) of a veth pair whose other end stays down, so nothing ever answers;
  // no /dev/net/tun is needed.
  NS_CHECK(system("ip link add v9a type veth peer name v9b && "
                  "ip addr add 10.9.0.1/24 dev v9a && ip link set v9a up") == 0);
  NS_CHECK(osl_log_set_target("udp://10.9.0.2:9300") == 0);
  alarm(2);
  for (int i = 0; i < 3000; ++i) osl_log_info("%080d", i);
  alarm(0);
  const int all = receiver_on(9300, inet_addr("10.9.0.255"));
  NS_CHECK(all >= 0 && osl_log_set_target("udp://10.9.0.255:9300") == 0);
  osl_log_info("to all");
  NS_CHECK(recv_datagram(all) == z("to all"));
  osl_log_exit();
  close(raw);
  _exit(0);
}

TEST(LogUdpNamespace, MulticastAndFixedPortsInAPrivateNetwork) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    if (write(fds[1], "+", 1) != 1) _exit(2);  // proves the child got past fork()
    if (!setup_loopback_namespace()) _exit(77);
    namespace_checks(fds[1]);
  }
  close(fds[1]);
  std::string report;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) report.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  if (report.empty() && WIFSIGNALED(status)) {
    GTEST_SKIP() << "the child died inside fork() with signal " << WTERMSIG(status)
                 << " before running any code of its own (as under user-mode emulation); "
                    "multicast not tested";
  }
  ASSERT_TRUE(WIFEXITED(status)) << report;
  if (WEXITSTATUS(status) == 77) {
    GTEST_SKIP() << "no private network namespace with a multicast route on lo could be made "
                    "(needs CAP_SYS_ADMIN and CAP_NET_ADMIN); multicast not tested";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0) << report.substr(1);
}

}  // namespace
