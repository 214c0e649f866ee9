// Name resolution, local name, local address and MAC queries.
//
// Lookups never reach the machine's resolver: each runs in a child that enters private mount
// and network namespaces, binds its own resolv.conf, hosts and nsswitch.conf over /etc, runs a
// stub DNS server on 127.0.0.1:53 of its own loopback, and puts a fake nslookup first on PATH
// (tests/support/private_resolver.h).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/if_tun.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_run.h"
#include "osl_network.h"
#include "private_resolver.h"
#include "test_util.h"

// While set, the monotonic clock fails with EPERM, as on a 32-bit board whose filter refuses
// the 64-bit time calls.
static std::atomic<bool> m_clock_fails{false};
extern "C" int clock_gettime(clockid_t id, struct timespec* ts) noexcept {
  if (m_clock_fails && id == CLOCK_MONOTONIC) return errno = EPERM, -1;
#ifdef SYS_clock_gettime64
  return static_cast<int>(syscall(SYS_clock_gettime64, id, ts));
#else
  return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
#endif
}

namespace {

using osltest::ChildResult;
using osltest::kChildSkip;
using osltest::RunInChild;
using osltest::BringUp;
using osltest::ReadFile;
using osltest::RunWithResolver;
using osltest::Stub;
using osltest::WriteFile;

// ---------------------------------------------------------------- osl_network_dns

TEST(OslNetworkDns, ResolverFirstThenNslookupFallback) {
  osltest::TempDir dir;
  struct Case {
    const char* name;
    const char* want;   // dotted address, or "0"
    bool nslookup_run;  // whether the fallback may see the name
    bool hangs = false;  // nslookup never ends: given up after 10 s, no process left
    const char* answer = nullptr;  // what nslookup prints for this row's own name
  } cases[] = {
      {"10.1.2.3", "10.1.2.3", false},        // numeric: from the resolver, no lookup
      {"v4.test", "10.1.2.4", false},         // the stub's A record
      {"999.1.2.3", "0", false},              // digits and dots never go to nslookup
      {"fallback.test", "10.0.0.5", true},    // the Address line after the name
      {"busybox.test", "10.0.0.6", true},     // "Address 1: ip name" form
      {"v6only.test", "10.0.0.7", true},      // first answer IPv6 (AAAA only): fallback
      {"absent.test", "0", true},             // name missing from the output
      {"bogus.test", "0", true},              // not a dotted address: 0, not 255.255.255.255
      {"loose.test", "0", true},              // "10.5" is no dotted address either
      {"office", "10.0.0.9", true},           // not the server gw.office.lan's address
      {"mail", "10.0.0.12", true},            // through the alias line, not the server line
      {"cut.test", "10.0.0.123", true},       // read whole, not cut to 10.0.0.12
      {"nul.test", "0", true},                // a zero byte ends no line: not 10.0.0.12
      {"hang.test", "0", true, true},
      // The answer ends at the next "Name:" or failure line: an address after it is not its own.
      {"next.test", "0", true, false, "Name:\tnext.test\nName:\tother.lan\nAddress: 6.6.6.6\n"},
      {"fail.test", "0", true, false,
       "Name:\tfail.test\n** server can not find fail.test: NXDOMAIN\nAddress: 6.6.6.6\n"},
      {"own.test", "10.0.0.20", true, false,
       "Name:\town.test\nAddress: 10.0.0.20\nName:\tother.lan\nAddress: 6.6.6.6\n"},
      {"later.test", "10.0.0.21", true, false,
       "Name:\tother.lan\nAddress: 6.6.6.6\nName:\tlater.test\nAddress: 10.0.0.21\n"},
      {"a;touch pwned", "0", false},          // no name with shell syntax reaches a shell
      {"$(touch pwned)", "0", false},
      {"`touch pwned`", "0", false},
      {"x|touch pwned", "0", false},
      {"a b", "0", false},
      {"fallback.test\ntouch pwned", "0", false},
      {"-debug", "0", false},                 // would be an option to nslookup
      {"", "0", false},
  };
  ChildResult r = RunWithResolver(dir, Stub::kAnswers, [&] {
    std::string own = "#!/bin/sh\ncase \"$1\" in\n";  // the rows' own answers, then the stand-in
    for (const Case& c : cases) {
      if (c.answer != nullptr) own += std::string(c.name) + ") printf '" + c.answer + "' ;;\n";
    }
    own += "esac\nexec '" + dir.file("bin/nslookup") + "' \"$@\"\n";
    mkdir(dir.file("own").c_str(), 0755);
    if (!WriteFile(dir.file("own/nslookup"), own, 0755)) return 2;
    setenv("PATH", (dir.file("own") + ":" + getenv("PATH")).c_str(), 1);
    for (const Case& c : cases) {
      struct in_addr a;
      const double t0 = osltest::MonoSeconds();
      a.s_addr = osl_network_dns(c.name);
      const double s = osltest::MonoSeconds() - t0;
      printf("%s", a.s_addr == 0 ? "0" : inet_ntoa(a));
      if (c.hangs && (s < 9.5 || s > 12.0)) printf(" after %.1f s", s);
      printf("\n");
    }
    return 0;
  });
  SKIP_IF_NO_NAMESPACE(r);
  ASSERT_EQ(r.code, 0);
  std::string log = ReadFile(dir.file("nslookup.log"));
  size_t pos = 0;
  for (const Case& c : cases) {
    size_t nl = r.out.find('\n', pos);
    ASSERT_NE(nl, std::string::npos) << "no result for " << c.name;
    EXPECT_EQ(r.out.substr(pos, nl - pos), c.want) << "name '" << c.name << "'";
    pos = nl + 1;
    if (c.nslookup_run) {
      EXPECT_NE(log.find(std::string(c.name) + "\n"), std::string::npos) << c.name;
    } else if (c.name[0] != '\0') {
      EXPECT_EQ(log.find(c.name), std::string::npos) << c.name << " reached nslookup";
    }
  }
  EXPECT_EQ(osltest::StillRunning(dir.file("hang.pids")), 0);
  EXPECT_EQ(log.find("touch"), std::string::npos);
  struct stat st;
  EXPECT_NE(stat(dir.file("pwned").c_str(), &st), 0) << "a host name was run as a command";
}

TEST(OslNetworkDns, ModuleMutexSerialisesLookups) {
  osltest::TempDir dir;
  ChildResult r = RunWithResolver(dir, Stub::kAnswers, [&] {
    if (osl_network_init() != 0) return 3;
    if (osl_network_init() != 0) return 4;  // a second call keeps the mutex
    uint32_t got[3] = {0, 0, 0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) threads.emplace_back([&got, i] { got[i] = osl_network_dns("slowfb.test"); });
    for (std::thread& t : threads) t.join();
    osl_network_exit();
    osl_network_exit();  // nothing left to destroy
    for (uint32_t ip : got) {
      if (ip != inet_addr("10.0.0.8")) return 5;
    }
    return osl_network_dns("fallback.test") == inet_addr("10.0.0.5") ? 0 : 6;  // works after exit
  });
  SKIP_IF_NO_NAMESPACE(r);
  EXPECT_EQ(r.code, 0);
  // Each run logs "start" on entry and its argument on leaving; serialised runs alternate.
  std::string log = ReadFile(dir.file("nslookup.log"));
  const std::string one = "start slowfb.test\nslowfb.test\n";
  EXPECT_EQ(log, one + one + one + "fallback.test\n");
}

// ---------------------------------------------------------------- osl_network_gethostbyname

volatile sig_atomic_t m_app_alarms = 0;
void OnAppAlarm(int) { m_app_alarms = m_app_alarms + 1; }

TEST(OslNetworkGethostbyname, AnswersAndFailures) {
  osltest::TempDir dir;
  ChildResult r = RunWithResolver(dir, Stub::kAnswers, [&] {
    // The application's own SIGALRM action and alarm are left alone.
    struct sigaction mine = {};
    mine.sa_handler = OnAppAlarm;
    sigaction(SIGALRM, &mine, nullptr);
    alarm(100);
    if (osl_network_gethostbyname("v4.test", 0) != inet_addr("10.1.2.4")) return 3;
    if (osl_network_gethostbyname("v4.test", 5) != inet_addr("10.1.2.4")) return 4;
    if (osl_network_gethostbyname("missing.test", 5) != 0) return 6;
    // A host entry too long for a small scratch buffer (84 addresses), with and without a limit.
    if (osl_network_gethostbyname("many.test", 0) != inet_addr("10.2.0.1")) return 9;
    if (osl_network_gethostbyname("many.test", 5) != inet_addr("10.2.0.1")) return 10;
    // While the monotonic clock cannot be read the answer still comes as soon as it is there.
    m_clock_fails = true;
    const time_t t0 = time(nullptr);
    const bool blind = osl_network_gethostbyname("v4.test", 5) == inet_addr("10.1.2.4");
    m_clock_fails = false;
    if (!blind || time(nullptr) - t0 > 2) return 11;
    if (alarm(0) < 90) return 5;
    // A SIGALRM after the lookup reaches the application and resumes no finished frame.
    raise(SIGALRM);
    fflush(stdout);
    return m_app_alarms == 1 ? 0 : 8;
  });
  SKIP_IF_NO_NAMESPACE(r);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "gethostname failed!\n");
}

TEST(OslNetworkGethostbyname, TimeLimitAbandonsASilentServer) {
  osltest::TempDir dir;
  ChildResult r = RunWithResolver(dir, Stub::kSilent, [&] {
    struct timeval t0, t1;
    gettimeofday(&t0, nullptr);
    uint32_t ip = osl_network_gethostbyname("slow.test", 2);
    gettimeofday(&t1, nullptr);
    double s = static_cast<double>(t1.tv_sec - t0.tv_sec) + (t1.tv_usec - t0.tv_usec) / 1e6;
    fflush(stdout);
    if (ip != 0) return 3;
    // The resolver alone would wait 30 s; the limit ends the wait after about 2 s.
    if (s < 1.5 || s > 12.0) return 4;
    // The same from a thread of the application's own, while the main thread waits for it.
    ip = 1;
    std::thread worker([&ip] { ip = osl_network_gethostbyname("slow.test", 1); });
    worker.join();
    fflush(stdout);
#ifdef OSL_TEST_SHARED_LAYER
    // A copy of the shared layer is loaded, left by a lookup that gives up, shut down and
    // unloaded; its worker must not return into unmapped code when the resolver gives up (2 s).
    Dl_info self;
    const std::string copy = dir.file("libcopy.so"), resolv = dir.file("etc0");
    if (dladdr(reinterpret_cast<void*>(osl_network_gethostbyname), &self) == 0 ||
        !WriteFile(copy, ReadFile(self.dli_fname)) ||
        !WriteFile(resolv, "nameserver 127.0.0.1\noptions timeout:2 attempts:1\n")) return 6;
    void* lib = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto lookup = lib ? reinterpret_cast<uint32_t (*)(const char*, int32_t)>(
                            dlsym(lib, "osl_network_gethostbyname")) : nullptr;
    auto leave = lib ? reinterpret_cast<void (*)()>(dlsym(lib, "osl_exit")) : nullptr;
    if (lookup == nullptr || leave == nullptr || !freopen("/dev/null", "w", stdout)) return 7;
    if (lookup("slow.test", 1) != 0) return 8;  // its notice is not this table's
    leave();
    dlclose(lib);
    sleep(4);
#endif
    return ip == 0 ? 0 : 5;
  }, 90);
  SKIP_IF_NO_NAMESPACE(r);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "gethostbyname timeout!!!\ngethostbyname timeout!!!\n");
}

// ---------------------------------------------------------------- local name and address

TEST(OslNetworkLocalName, ClearsAndKeepsTheLastByte) {
  ChildResult r = RunInChild([] {
    if (osltest::EnterNamespaces(CLONE_NEWUTS) != 0) return kChildSkip;
    const char host[] = "osl-long-hostname";
    if (sethostname(host, strlen(host)) != 0) return kChildSkip;
    char buf[80];
    memset(buf, 'x', sizeof buf);
    if (osl_network_get_local_name(buf, 8) != -1) return 3;
    if (buf[7] != '\0' || buf[8] != 'x') return 4;  // last byte 0, nothing past size
    memset(buf, 'x', sizeof buf);
    if (osl_network_get_local_name(buf, 64) != 0) return 5;
    if (strcmp(buf, host) != 0) return 6;
    for (int i = static_cast<int>(strlen(host)); i < 64; ++i) {
      if (buf[i] != '\0') return 7;  // the whole size is cleared
    }
    if (buf[64] != 'x') return 8;
    if (osl_network_get_local_name(buf, 0) != -1) return 9;
    // A name that fits exactly, terminator included.
    for (const std::string& name : {std::string("abcde"), std::string(HOST_NAME_MAX, 'h')}) {
      if (sethostname(name.data(), name.size()) != 0) return kChildSkip;
      memset(buf, 'x', sizeof buf);
      if (osl_network_get_local_name(buf, static_cast<int32_t>(name.size() + 1)) != 0) return 10;
      if (buf != name || buf[name.size() + 1] != 'x') return 11;
    }
    return 0;
  });
  if (r.code == kChildSkip) GTEST_SKIP() << "cannot make a private UTS namespace";
  EXPECT_EQ(r.code, 0);
}

// A tun interface in the child's network namespace, with an address, up or down. The
// interface lives as long as the returned descriptor. Where the tun device is closed to this
// user, a bridge without ports stands in; it lives as long as the namespace.
int MakeTun(int sock, const char* name, const char* addr, bool up) {
  int fd = open("/dev/net/tun", O_RDWR);
  struct ifreq req;
  memset(&req, 0, sizeof req);
  strncpy(req.ifr_name, name, IFNAMSIZ - 1);
  if (fd >= 0) {
    req.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (ioctl(fd, TUNSETIFF, &req) != 0) return -1;
  } else if (ioctl(sock, SIOCBRADDBR, name) != 0 || (fd = dup(sock)) < 0) {
    return -1;
  }
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = inet_addr(addr);
  memcpy(&req.ifr_addr, &sin, sizeof sin);
  if (ioctl(sock, SIOCSIFADDR, &req) != 0) return -1;
  if (up && !BringUp(sock, name)) return -1;
  return fd;
}

TEST(OslNetworkLocalIp, FirstUpNonLoopbackOfEightListed) {
  struct Case {
    const char* what;
    bool lo_up;
    std::vector<bool> tuns;  // t0, t1, ...: up or down; addresses 10.20.0.1, 10.20.0.2, ...
    const char* want;
  } cases[] = {
      {"nothing with an address", false, {}, "0"},
      {"only loopback", true, {}, "0"},
      {"loopback and an up interface", true, {true}, "10.20.0.1"},
      {"a down interface is passed over", true, {false, true, true}, "10.20.0.2"},
      {"the eighth record is examined", true, {false, false, false, false, false, false, true},
       "10.20.0.7"},
      {"the ninth is not", true, {false, false, false, false, false, false, false, true}, "0"},
  };
  for (const Case& c : cases) {
    ChildResult r = RunInChild([&] {
      if (osltest::EnterNamespaces(CLONE_NEWNET) != 0) return kChildSkip;
      int sock = socket(AF_INET, SOCK_DGRAM, 0);
      if (sock < 0) return 2;
      if (c.lo_up && !BringUp(sock, "lo")) return kChildSkip;
      for (size_t i = 0; i < c.tuns.size(); ++i) {
        std::string name = "t" + std::to_string(i);
        std::string addr = "10.20.0." + std::to_string(i + 1);
        if (MakeTun(sock, name.c_str(), addr.c_str(), c.tuns[i]) < 0) return kChildSkip;
      }
      struct in_addr a;
      a.s_addr = osl_network_get_local_ip();
      printf("%s", a.s_addr == 0 ? "0" : inet_ntoa(a));
      return 0;
    });
    if (r.code == kChildSkip)
      GTEST_SKIP() << "cannot make a network namespace with tun devices, or bridges in their place";
    EXPECT_EQ(r.code, 0) << c.what;
    EXPECT_EQ(r.out, c.want) << c.what;
  }
}

// ---------------------------------------------------------------- MAC

TEST(OslNetworkMac, ParsesTheBoardScriptOutput) {
  osltest::TempDir dir;
  ASSERT_EQ(mkdir(dir.file("config").c_str(), 0755), 0);
  const std::string script = dir.file("config/getnetworkpara.sh");
  struct Case {
    std::string out;
    int64_t want;
    bool hangs = false;  // then never ends: given up after 10 s, no process left
  } cases[] = {
      {"00:1a:2B:3c:4D:5e\n", 0x001A2B3C4D5ELL},
      {"ff:ff:ff:ff:ff:ff\n", 0xFFFFFFFFFFFFLL},
      {"", 0},
      {"00:1a:2b", 0x001A2B000000LL},
      {"12:1g:34:56:78:9a\n", 0x120000000000LL},  // a bad group ends the parse
      {"12:3:45:67:89:ab\n", 0x120000000000LL},   // so does a one-digit group
      {"123:45:67:89:ab:cd\n", 0},
      {"a1:b2:c3:d4:e5:f6:07:08\n", 0xA1B2C3D4E5F6LL},  // text after six groups is ignored
      // Words after the address, even with a ':' of their own, leave all six groups whole.
      {"00:1a:2b:3c:4d:5e trailing\n", 0x001A2B3C4D5ELL},
      {"00:1a:2b:3c:4d:5e\teth0: up\n", 0x001A2B3C4D5ELL},
      {"00:1a:2b:3c:4d:5etail:x\n", 0x001A2B3C4D00LL},  // no white space: the group is 3 long
      // Only 31 bytes are read: the tail beyond them is never parsed or overrun.
      {"a1:b2:c3:d4:e5:f6 " + std::string(5000, 'z') + "\n", 0xA1B2C3D4E5F6LL},
      {std::string(40, ':'), 0},
      {"00:1a:2b:3c:4d:5e\n", 0, true},
  };
  osltest::CwdGuard cd(dir.path());
  ASSERT_TRUE(cd.ok());
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteFile(dir.file("out"), c.out));
    ASSERT_TRUE(WriteFile(script, "#!/bin/sh\n[ \"$1 $2\" = 'eth0 mac' ] || exit 1\ncat '" +
                                      dir.file("out") + "'\n" +
                                      (c.hangs ? osltest::HangWithChild(dir.file("pids")) : ""),
                          0755));
    const double t0 = osltest::MonoSeconds();
    EXPECT_EQ(osl_network_get_mac(), c.want) << "output '" << c.out.substr(0, 40) << "'";
    if (!c.hangs) continue;
    EXPECT_NEAR(osltest::MonoSeconds() - t0, 10.5, 1.5);
    EXPECT_EQ(osltest::StillRunning(dir.file("pids")), 0);
  }
  ASSERT_EQ(unlink(script.c_str()), 0);
  EXPECT_EQ(osl_network_get_mac(), 0) << "no script";
}

TEST(OslNetworkMac, StandInScriptPrintsTheInterfaceAddress) {
  const std::string sys = ReadFile("/sys/class/net/eth0/address");
  uchar_t want[6];
  std::string text = sys.substr(0, 17);
  if (sys.size() < 17 || osl_network_convert_mac(&text[0], want) != 0)
    GTEST_SKIP() << "this machine has no eth0 with an Ethernet address";
  osltest::TempDir dir;
  ASSERT_EQ(mkdir(dir.file("config").c_str(), 0755), 0);
  const std::string src = ReadFile(std::string(OSL_TEST_SOURCE_DIR) + "/tools/getnetworkpara.sh");
  ASSERT_FALSE(src.empty());
  ASSERT_TRUE(WriteFile(dir.file("config/getnetworkpara.sh"), src, 0755));
  osltest::CwdGuard cd(dir.path());
  ASSERT_TRUE(cd.ok());
  int64_t expect = 0;
  for (uchar_t b : want) expect = expect << 8 | b;
  EXPECT_EQ(osl_network_get_mac(), expect);
}

TEST(OslNetworkMac, ConvertsTextToSixBytes) {
  struct Case {
    const char* text;
    int32_t rc;
    const char* want;  // the eight bytes mac[0..5] and two guards, in hex
  } cases[] = {
      {"00:1A:2b:3C:4d:5E", 0, "001a2b3c4d5eeeee"},
      {"00-1a-2b-3c-4d-5e", 0, "001a2b3c4d5eeeee"},
      {"11:22", 0, "11eeeeeeee22eeee"},        // middle bytes left as they were
      {"11 22", -1, "eeeeeeeeeeeeeeee"},       // nothing stored
      {"a:b:c:d:e:f", 0, "0aabbccddeefeeee"},   // c is not cleared between groups
      {"abc:1", 0, "bceeeeeeeec1eeee"},        // older digits shift out; c is not cleared
      {"aa:bb:cc:dd:ee:ff:11", 0, "aabbccddeeffeeee"},  // 17 characters at most
      {"::::::::", 0, "000000000000eeee"},   // six stores at most
      {"zz", -1, "eeeeeeeeeeeeeeee"},
      {"12:x", -1, "12eeeeeeeeeeeeee"},
  };
  for (const Case& c : cases) {
    uchar_t mac[8];
    memset(mac, 0xEE, sizeof mac);
    std::string text = c.text;
    EXPECT_EQ(osl_network_convert_mac(&text[0], mac), c.rc) << c.text;
    char hex[17];
    for (int i = 0; i < 8; ++i) snprintf(hex + 2 * i, 3, "%02x", mac[i]);
    EXPECT_EQ(std::string(hex), c.want) << c.text;
  }
  uchar_t mac[6];
  EXPECT_EQ(osl_network_convert_mac(nullptr, mac), -1);
}

}  // namespace
