// A private resolver for name-resolution tests: a child enters private mount and network
// namespaces, binds its own resolv.conf, hosts and nsswitch.conf over /etc, runs a stub DNS
// server on 127.0.0.1:53 of its own loopback, and puts a fake nslookup first on PATH, so no
// lookup ever reaches the machine's resolver.
#ifndef OSL_TEST_PRIVATE_RESOLVER_H
#define OSL_TEST_PRIVATE_RESOLVER_H

#include <arpa/inet.h>
#include <ctype.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "child_run.h"
#include "test_util.h"

namespace osltest {

inline bool WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  return chmod(path.c_str(), mode) == 0;
}

inline std::string ReadFile(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

// ---------------------------------------------------------------- the private resolver

struct DnsRecord {
  const char* name;
  const char* a;     // IPv4 answer, or null
  const char* aaaa;  // IPv6 answer, or null
};

const DnsRecord kZone[] = {
    {"v4.test", "10.1.2.4", nullptr},
    {"v6only.test", nullptr, "fd00::7"},
    {"slowfb.test", nullptr, nullptr},  // exists, but has no address
    {"logsink.test", "127.0.0.1", nullptr},  // a log receiver on the private loopback
    {"many.test", nullptr, nullptr},  // 84 A records, 10.2.0.1 to 10.2.0.84 (see ServeDns)
};

// Answers A and AAAA questions from kZone; NXDOMAIN for names it does not know.
[[noreturn]] inline void ServeDns(int fd) {
  unsigned char q[512];
  for (;;) {
    struct sockaddr_in from;
    socklen_t fl = sizeof from;
    ssize_t n = recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n < 12) continue;
    size_t pos = 12;
    std::string name;
    while (pos < static_cast<size_t>(n) && q[pos] != 0 && (q[pos] & 0xC0) == 0) {
      size_t len = q[pos];
      if (pos + 1 + len > static_cast<size_t>(n)) break;
      if (!name.empty()) name += '.';
      for (size_t i = 0; i < len; ++i) name += static_cast<char>(tolower(q[pos + 1 + i]));
      pos += len + 1;
    }
    if (pos + 5 > static_cast<size_t>(n) || q[pos] != 0) continue;
    pos += 1;
    int qtype = q[pos] << 8 | q[pos + 1];
    pos += 4;

    unsigned char r[2048];
    memcpy(r, q, pos);
    r[2] = 0x81;  // answer, recursion desired
    r[3] = 0x80;  // recursion available, no error
    r[4] = 0, r[5] = 1;
    memset(r + 6, 0, 6);
    size_t end = pos;
    const DnsRecord* rec = nullptr;
    for (const DnsRecord& d : kZone) {
      if (name == d.name) rec = &d;
    }
    if (rec == nullptr) {
      r[3] |= 3;  // NXDOMAIN
    } else {
      unsigned char data[16];
      int len = 0;
      if (qtype == 1 && rec->a != nullptr && inet_pton(AF_INET, rec->a, data) == 1) len = 4;
      if (qtype == 28 && rec->aaaa != nullptr && inet_pton(AF_INET6, rec->aaaa, data) == 1)
        len = 16;
      if (len > 0) {
        const unsigned char rr[] = {0xC0, 0x0C, 0, static_cast<unsigned char>(qtype), 0, 1,
                                    0,    0,    0, 60,  0, static_cast<unsigned char>(len)};
        memcpy(r + end, rr, sizeof rr);
        memcpy(r + end + sizeof rr, data, static_cast<size_t>(len));
        end += sizeof rr + static_cast<size_t>(len);
        r[7] = 1;
      }
      for (int i = 1; name == "many.test" && qtype == 1 && i <= 84; ++i, end += 16) {
        const unsigned char rr[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 2, 0,
                                    static_cast<unsigned char>(i)};
        memcpy(r + end, rr, sizeof rr);
        r[7] = static_cast<unsigned char>(i);
      }
    }
    sendto(fd, r, end, 0, reinterpret_cast<sockaddr*>(&from), fl);
  }
}

// Shell text that records its own and a child's pid in pidfile, then waits for the child, which
// sleeps for ten minutes: a command that never ends by itself.
inline std::string HangWithChild(const std::string& pidfile) {
  return "sleep 600 & echo $$ $! > '" + pidfile + "'; wait";
}

// How many of the pids listed in pidfile still run (zombies do not count), after giving
// killed ones up to two seconds to go; -1 when the file holds none.
inline int StillRunning(const std::string& pidfile) {
  std::vector<long> pids;
  FILE* f = fopen(pidfile.c_str(), "r");
  for (long pid; f != nullptr && fscanf(f, "%ld", &pid) == 1;) pids.push_back(pid);
  if (f != nullptr) fclose(f);
  if (pids.empty()) return -1;
  int running = 0;
  for (int tries = 0; tries < 20; ++tries, usleep(100000)) {
    running = 0;
    for (long pid : pids) {
      std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
      size_t close = stat.rfind(')');
      if (close != std::string::npos && stat.compare(close, 4, ") Z ") != 0) ++running;
    }
    if (running == 0) break;
  }
  return running;
}

// Seconds on the monotonic clock.
inline double MonoSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// nslookup stand-in: logs its arguments, prints canned answers (busybox and BIND forms), takes
// 0.3 s for slowfb.test so that overlapping runs would show in the log, and never ends for
// hang.test.
inline std::string FakeNslookup(const std::string& dir) {
  return "#!/bin/sh\n"
         "log='" + dir + "/nslookup.log'\n"
         "case \"$1\" in\n"
         "fallback.test) printf 'Server:\\t\\t127.0.0.1\\nAddress:\\t127.0.0.1\\n\\n"
         "Name:\\tfallback.test\\nAddress: 10.0.0.5\\n' ;;\n"
         "busybox.test) printf 'Server:    127.0.0.1\\nAddress 1: 127.0.0.1 localhost\\n\\n"
         "Name:      busybox.test\\nAddress 1: 10.0.0.6 busybox.test\\n' ;;\n"
         "v6only.test) printf 'Name:\\tv6only.test\\nAddress: 10.0.0.7\\n' ;;\n"
         "absent.test) printf 'Server:\\t\\t127.0.0.1\\nAddress:\\t127.0.0.1\\n\\n"
         "** server can not find it: NXDOMAIN\\n' ;;\n"
         "bogus.test) printf 'Name:\\tbogus.test\\nAddress: fd00::7\\n' ;;\n"
         "loose.test) printf 'Name:\\tloose.test\\nAddress: 10.5\\n' ;;\n"
         "slowfb.test) echo \"start $1\" >> \"$log\"; sleep 0.3;"
         " printf 'Name:\\tslowfb.test\\nAddress: 10.0.0.8\\n' ;;\n"
         // The server's own name holds the queried one; the answer adds a search domain.
         "office) printf 'Server:    gw.office.lan\\nAddress 1: 192.168.1.1 gw.office.lan\\n\\n"
         "Name:      office.lan\\nAddress 1: 10.0.0.9 office.lan\\n' ;;\n"
         "mail) printf 'Server:\\t\\tmailgw.lan\\nAddress:\\t127.0.0.1#53\\n\\n"
         "mail.lan\\tcanonical name = mx.lan.\\nName:\\tmx.lan\\nAddress: 10.0.0.12\\n' ;;\n"
         // The answer's address straddles byte 1023 of the output.
         "cut.test) printf 'Name:\\tcut.test\\n%0989d\\nAddress: 10.0.0.123\\n' 0 ;;\n"
         "nul.test) printf 'Name:\\tnul.test\\nAddress: 10.0.0.12\\0003\\n' ;;\n"
         "hang.test) echo \"$1\" >> \"$log\"; " + HangWithChild(dir + "/hang.pids") + " ;;\n"
         "esac\n"
         "echo \"$*\" >> \"$log\"\n";
}

enum class Stub { kAnswers, kSilent };

inline bool BringUp(int sock, const char* ifname) {
  struct ifreq req;
  memset(&req, 0, sizeof req);
  strncpy(req.ifr_name, ifname, IFNAMSIZ - 1);
  if (ioctl(sock, SIOCGIFFLAGS, &req) != 0) return false;
  req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
  return ioctl(sock, SIOCSIFFLAGS, &req) == 0;
}

// In the child: private /etc resolver files naming 127.0.0.1, a private loopback, a stub DNS
// server and the fake nslookup first on PATH; the working directory becomes dir. Returns 0, or
// kChildSkip where the namespaces cannot be made.
inline int EnterPrivateResolver(const std::string& dir, Stub stub, pid_t* server) {
  if (EnterNamespaces(CLONE_NEWNS | CLONE_NEWNET) != 0) return kChildSkip;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kChildSkip;
  // A silent server with a long resolver time-out: only an outside limit ends such a lookup.
  const std::string resolv = stub == Stub::kAnswers
                                 ? "nameserver 127.0.0.1\noptions timeout:1 attempts:2\n"
                                 : "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n";
  struct {
    const char* target;
    std::string text;
    bool required;
  } files[] = {
      {"/etc/resolv.conf", resolv, true},
      {"/etc/hosts", "127.0.0.1 localhost\n", true},
      {"/etc/nsswitch.conf", "hosts: files dns\n", false},
  };
  int i = 0;
  for (const auto& f : files) {
    std::string src = dir + "/etc" + std::to_string(i++);
    if (!WriteFile(src, f.text)) return 2;
    struct stat st;
    if (stat(f.target, &st) != 0 && !f.required) continue;
    if (mount(src.c_str(), f.target, nullptr, MS_BIND, nullptr) != 0) return kChildSkip;
  }
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0 || !BringUp(sock, "lo")) return kChildSkip;
  close(sock);

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(53);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return kChildSkip;
  fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    // Dies with the test's child, even one that crashed before StopServer: an orphaned server
    // would hold the test's output open and outlive the run.
    const pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(0);
    if (stub == Stub::kAnswers) ServeDns(fd);
    for (;;) pause();  // never answers
  }
  close(fd);
  *server = pid;

  std::string bin = dir + "/bin";
  mkdir(bin.c_str(), 0755);
  if (!WriteFile(bin + "/nslookup", FakeNslookup(dir), 0755)) return 2;
  const char* path = getenv("PATH");
  setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
  return chdir(dir.c_str()) == 0 ? 0 : 2;
}

inline void StopServer(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Runs body in a child behind the private resolver; kChildSkip when that cannot be made.
inline ChildResult RunWithResolver(const osltest::TempDir& dir, Stub stub,
                            const std::function<int()>& body, int limit_s = 60) {
  return RunInChild(
      [&] {
        pid_t server = -1;
        int rc = EnterPrivateResolver(dir.path(), stub, &server);
        if (rc != 0) return rc;
        int result = body();
        fflush(stdout);
        StopServer(server);
        return result;
      },
      limit_s);
}

#define SKIP_IF_NO_NAMESPACE(r)                                                       \
  if ((r).code == osltest::kChildSkip)                                                \
  GTEST_SKIP() << "cannot make private mount and network namespaces (needs root or " \
                  "user namespaces); lookups are not run against the machine's resolver"

}  // namespace osltest

#endif
