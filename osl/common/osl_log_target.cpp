// Delivery to the log's target: opening, rotating and the guarded write of a file target, the
// UDP and multicast socket with its take-nothing filter, and the console. State is in unlocked
// statics, as in the rest of the log module: one thread at a time logs and changes settings.
#include "osl_log_target.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "osl.h"
#include "osl_clock.h"
#include "osl_file.h"
#include "osl_log.h"
#include "osl_socket.h"
#include "osl_string.h"
#include "osl_sys.h"
#include "osl_url.h"

namespace osl_log_target {

Kind m_kind = Kind::kDiscard;

}  // namespace osl_log_target

namespace {

using osl_log_target::Kind;
using osl_log_target::m_kind;

constexpr int32_t kUrlSize = 1024;            // m_url, terminator included
constexpr int32_t kWorkSize = 128;            // host and port texts of a udp:// target
constexpr uint16_t kDefaultUdpPort = 8000;
constexpr mode_t kLogFileMode = 0664;         // a new log file, before the umask
// The log's own descriptors are not handed to the commands the process starts.
constexpr int kLogFileFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
constexpr int32_t kUdpFamily = AF_INET;
constexpr int32_t kUdpType = SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK;
constexpr int32_t kWaitMs = 100;  // the longest a logging call waits for a target to take a text

constexpr char_t kConsoleScheme[] = "console://";
constexpr char_t kFileScheme[] = "file://";
constexpr char_t kUdpScheme[] = "udp://";
constexpr int32_t kConsoleSchemeLen = 10;
constexpr int32_t kFileSchemeLen = 7;
constexpr int32_t kUdpSchemeLen = 6;

// Constant-initialised: the load-time state is in place before any constructor runs.
uint32_t m_maxsize = 0x40000000u;  // 1 GiB
uint32_t m_max_daynum = 7;
char_t m_url[kUrlSize];  // the last byte is never written
const char_t *m_path = nullptr;  // a file target's path, inside m_url
SOCKET m_socket = OSL_INVALID_SOCKET;
uint32_t m_ip = 0;    // network byte order
uint16_t m_port = 0;  // network byte order
int m_fd = -1;        // a file target's descriptor
// The file target is written where it is and never moved: it was no regular file at its path
// (a symbolic link, a pipe, a device). Rotation then only restarts the count, and writes wait
// for it at most kWaitMs.
bool m_in_place = false;
// The file target may raise SIGPIPE (a pipe whose reader left): its writes are guarded.
bool m_may_pipe = false;
// The file target is a terminal: its writes are made with SIGTTOU blocked.
bool m_tty = false;
// The file target is a FIFO: when its reader leaves, the descriptor is closed and the path
// opened again.
bool m_fifo = false;
// The file target is a FIFO that has no reader: its path is opened again at each text.
bool m_reopen = false;
// Bytes written to file targets since init or the last rotation; 64-bit so that a maximum
// near 4 GiB is still reached rather than wrapped past.
uint64_t m_filesize = 0;

bool has_scheme(const char_t *url, const char_t *scheme, int32_t len) {
  return osl_strncmp_nocase(url, scheme, len) == 0;
}

// First octet 224..239; ip is in network byte order, so its first byte in memory.
bool is_multicast(uint32_t ip) {
  const uchar_t first = reinterpret_cast<const uchar_t *>(&ip)[0];
  return first >= 224 && first <= 239;
}

void forget_kind() {
  m_in_place = false;
  m_may_pipe = false;
  m_tty = false;
  m_fifo = false;
  m_reopen = false;
}

void close_target() {
  if (m_socket != OSL_INVALID_SOCKET) {
    if (is_multicast(m_ip)) osl_socket_drop(m_socket, m_ip);
    osl_socket_destroy(m_socket);
    m_socket = OSL_INVALID_SOCKET;
  }
  if (m_fd >= 0) {
    close(m_fd);
    m_fd = -1;
  }
  forget_kind();
}

// Opens path for appending without waiting (a missing file is made only when create), and
// judges what was opened: a path that is a link, or a descriptor that is no regular file, is
// written in place and stays non-blocking; anything but a regular file or a character device
// (never raising SIGPIPE) is guarded. A FIFO without a reader is tried again at later texts
// until an open succeeds, whatever a later attempt fails with.
int open_target(const char_t *path, bool create) {
  struct stat st;
  const bool named_other = lstat(path, &st) == 0 && !S_ISREG(st.st_mode);
  const int fd = open(path, (create ? kLogFileFlags : kLogFileFlags & ~O_CREAT) | O_NONBLOCK,
                      kLogFileMode);
  if (fd < 0) {
    m_reopen = m_reopen || errno == ENXIO;
    return -1;
  }
  const bool known = fstat(fd, &st) == 0;
  const bool regular = known && S_ISREG(st.st_mode);
  m_reopen = false;
  m_in_place = named_other || !regular;
  m_may_pipe = !known || (!regular && !S_ISCHR(st.st_mode));
  m_fifo = known && S_ISFIFO(st.st_mode);
  m_tty = known && S_ISCHR(st.st_mode) && isatty(fd) == 1;
  if (regular) (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// Moves path to path.bak (rename replaces an older backup file) and opens path for appending,
// which then starts empty. A log that cannot be moved aside (read-only directory, a directory
// named path.bak, ...) is never emptied: texts go on being added to it; nor is one whose new
// file cannot be made (no inode or room left): it is moved back, unless something took its
// place, and appended to. Nothing is deleted first. The backup name is never cut, so no other
// file can be replaced in its place: the buffer holds ".bak" after the longest path m_url can
// carry, and the length test only guards that. An empty path opens nothing. Append mode puts
// each text at the current end, so a log truncated from outside (logrotate's copytruncate)
// goes on at offset 0 without a hole.
// A path that is there but is not a regular file (a symbolic link, /dev/null, a serial console,
// a pipe, a directory) is never moved, here or at rotation: renaming a link would move the link
// itself (as root, /dev/stdout).
int restart_file(const char_t *path) {
  forget_kind();
  if (path == nullptr || path[0] == '\0') return -1;
  struct stat st;
  char_t bak[kUrlSize + 8];
  bool moved = false;
  if (lstat(path, &st) != 0 || S_ISREG(st.st_mode)) {
    static_assert(sizeof bak >= kUrlSize - 1 - kFileSchemeLen + 4 + 1, "backup name never cut");
    const int32_t n = osl_str_snprintf(bak, static_cast<int32_t>(sizeof bak), "%s.bak", path);
    // fails when there is no log yet
    moved = n == osl_strlen(path) + 4 && osl_file_rename(path, bak) == 0;
  }
  const int fd = open_target(path, true);
  if (fd >= 0 || !moved || renameat2(AT_FDCWD, bak, AT_FDCWD, path, RENAME_NOREPLACE) != 0) {
    return fd;
  }
  return open_target(path, false);
}

// Copies len bytes at url + pos into tmp (kWorkSize bytes) and terminates; false when they
// would not fit with the terminator.
bool copy_part(char_t *tmp, const char_t *url, int32_t pos, int32_t len) {
  if (len >= kWorkSize) return false;
  memset(tmp, 0, kWorkSize);
  osl_strncpy(tmp, url + pos, len);
  return true;
}

// The port the len bytes of a udp:// target's port text name, in network byte order: decimal
// digits only (leading zeros allowed) worth 1..65535; 0 for anything else, no usable port.
uint16_t port_of(const char_t *text, int32_t len) {
  uint64_t v = 0;
  if (!osl_sys::parse_digits(text, static_cast<size_t>(len), 10, 0xFFFFu, &v)) return 0;
  return htons(static_cast<uint16_t>(v));
}

// The log's sockets only send. A filter that takes no datagram keeps their receive queues empty:
// texts looped back to a group, or anything sent to their port, are dropped on arrival.
void refuse_datagrams(SOCKET skt) {
  struct sock_filter none[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
  struct sock_fprog prog = {1, none};
  osl_socket_set_opt(skt, SOL_SOCKET, SO_ATTACH_FILTER, reinterpret_cast<const char *>(&prog),
                     static_cast<int32_t>(sizeof prog));
}

// The udp:// branch of osl_log_set_target for url, the stored copy of whole (the caller's URL,
// which may be longer): resolves the host, opens the socket.
int32_t set_udp_target(char_t *url, const char_t *whole) {
  char_t tmp[kWorkSize];
  SUrlInfo info;
  if (osl_url_parse(url, &info) != 0) return -1;

  if (info.hostport_len > 0) {
    m_port = port_of(url + info.hostport_pos, info.hostport_len);
    if (m_port == 0) return -1;
  } else {
    m_port = htons(kDefaultUdpPort);
  }
  if (info.hostname_len <= 0) return 0;  // no host: no socket, texts are discarded
  if (strpbrk(whole + kUdpSchemeLen, "/?#@") != nullptr) return -1;  // nothing after the port
  if (!copy_part(tmp, url, info.hostname_pos, info.hostname_len)) return -1;

  if (strspn(tmp, "0123456789.") == strlen(tmp)) {
    // inet_aton rather than inet_addr: an invalid dotted text must not become the broadcast
    // address 255.255.255.255.
    struct in_addr addr;
    if (inet_aton(tmp, &addr) == 0) return -1;
    m_ip = addr.s_addr;
  } else {
    const struct hostent *host = gethostbyname(tmp);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list == nullptr ||
        host->h_addr_list[0] == nullptr || host->h_length < static_cast<int>(sizeof m_ip)) {
      return -1;
    }
    memcpy(&m_ip, host->h_addr_list[0], sizeof m_ip);
  }

  m_socket = osl_socket_create(kUdpFamily, kUdpType, 0);
  if (m_socket < 0) {
    m_socket = OSL_INVALID_SOCKET;
    return -1;
  }
  refuse_datagrams(m_socket);
  const int one = 1;  // a broadcast address is a destination like any other
  osl_socket_set_opt(m_socket, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&one),
                     static_cast<int32_t>(sizeof one));
  // A unicast sender is not bound: texts leave from an ephemeral port, so the receiver keeps
  // its port even on this machine, and a remote destination is no local address to bind.
  if (!is_multicast(m_ip)) return 0;
  // A group member: the group's address and port, shared with a local receiver of the group.
  // Bound to the group, not to any address, so that unicast datagrams for the port still go to
  // a local collector that holds it. A failed bind keeps the socket: later texts are still sent
  // to the group.
  osl_socket_set_opt(m_socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&one),
                     static_cast<int32_t>(sizeof one));
  if (osl_socket_bind(m_socket, m_ip, m_port) < 0) return -1;
  osl_socket_join(m_socket, m_ip);
  return 0;
}

// 1 when SIGPIPE is pending for this thread itself (a signal of the process as a whole is
// not), 0 when none is pending, -1 when one is but the "SigPnd" mask of
// /proc/thread-self/status cannot tell whose (unreadable, or showing no pending SIGPIPE at all,
// as under an emulator).
__attribute__((noinline)) int thread_sigpipe() {
  sigset_t pending;
  if (sigpending(&pending) != 0 || sigismember(&pending, SIGPIPE) != 1) return 0;
  char_t status[4096];
  const int fd = open("/proc/thread-self/status", O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd < 0 ? -1 : osl_sys::read_some(fd, status, sizeof status - 1);
  if (fd >= 0) close(fd);
  status[n > 0 ? n : 0] = '\0';
  const char_t *line = strstr(status, "\nSigPnd:\t");  // then "\nShdPnd:\t", 16 digits each
  const uint64_t bit = uint64_t{1} << (SIGPIPE - 1);
  uint64_t own = 0, shared = 0;
  if (line == nullptr || osl_sys::scan_digits(line + 9, 16, 16, UINT64_MAX, &own) != 16 ||
      strncmp(line + 25, "\nShdPnd:\t", 9) != 0 ||
      osl_sys::scan_digits(line + 34, 16, 16, UINT64_MAX, &shared) != 16 ||
      ((own | shared) & bit) == 0) {
    return -1;
  }
  return (own & bit) != 0 ? 1 : 0;
}

// One write of len bytes at text to the target's descriptor. A guarded one (had not null) first
// notes in *had whether this thread has a SIGPIPE of its own pending, which an EPIPE would merge
// with the log's; when that cannot be told, nothing is written (-1, ECANCELED).
ssize_t write_step(const char_t *text, size_t len, bool *had) {
  if (had != nullptr) {
    const int own = thread_sigpipe();
    if (own < 0) {
      errno = ECANCELED;
      return -1;
    }
    *had = own == 1;
  }
  return write(m_fd, text, len);
}

// The rest of a text that a pipe or device did not take at once (done bytes went), waiting for
// room at most kWaitMs in all; what is not written by then is lost, so a text may be cut.
// 0 when all of it went, else the failure's errno (EAGAIN: the time was up); had as write_step.
__attribute__((noinline, cold)) int write_rest(const char_t *text, size_t len, size_t done,
                                               bool *had) {
  osl_sys::Deadline limit(kWaitMs);
  while (done < len) {
    struct pollfd room = {m_fd, POLLOUT, 0};
    const int32_t w = limit.wait_ms();
    if (w == 0) return EAGAIN;
    (void)poll(&room, 1, w);  // room, a signal or the time: write again
    const ssize_t n = write_step(text + done, len - done, had);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      return n == 0 ? EIO : errno;
    }
  }
  return 0;
}

// Writes a text to the non-blocking descriptor of a target that is no regular file, waiting at
// most kWaitMs for it; as write_rest.
int write_bounded(const char_t *text, size_t len, bool *had) {
  const ssize_t n = write_step(text, len, had);
  if (static_cast<size_t>(n) == len) return 0;
  if (n < 0 && errno != EAGAIN && errno != EINTR) return errno;
  return write_rest(text, len, n > 0 ? static_cast<size_t>(n) : 0, had);
}

// Writes a text to a target that can raise SIGPIPE or is a terminal, with SIGPIPE or SIGTTOU
// blocked in this thread. A terminal then never stops a background job (TOSTOP). The SIGPIPE
// a reader's leaving raised is taken back, so that no signal reaches the process and the text
// is lost quietly; one this thread had pending just before the failed write (the application's,
// also one that came while the log waited) stays, as does one of the process. A FIFO whose
// reader left is closed and its path opened again at later texts. The mask is put back as
// found; the disposition is never touched.
__attribute__((noinline)) void write_guarded(const char_t *text, size_t len) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, m_tty ? SIGTTOU : SIGPIPE);
  if (pthread_sigmask(SIG_BLOCK, &block, &old) != 0) return;
  bool had = false;
  if (write_bounded(text, len, m_tty ? nullptr : &had) == EPIPE && !m_tty) {
    const struct timespec now = {0, 0};
    while (!had && sigtimedwait(&block, nullptr, &now) < 0 && errno == EINTR) {
    }
    if (m_fifo) {
      close(m_fd);
      m_fd = -1;
      m_reopen = true;
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Starts the byte count again and moves the log aside. A log written in place keeps its
// descriptor: reopening a pipe whose reader is away would fail and lose every later text.
__attribute__((noinline, cold)) void rotate_file() {
  m_filesize = 0;
  if (m_in_place) return;
  close(m_fd);
  m_fd = restart_file(m_path);
}

}  // namespace

namespace osl_log_target {

void reset(void) {
  close_target();  // no descriptor is left behind by a second init
  memset(m_url, 0, sizeof m_url);
  osl_strncpy(m_url, kConsoleScheme, kUrlSize - 1);
  m_kind = Kind::kConsole;
  m_path = nullptr;
  m_socket = OSL_INVALID_SOCKET;
  m_ip = 0;
  m_port = 0;
  m_fd = -1;
  m_filesize = 0;
}

void write_file(const char_t *text, size_t len) {
  if (__builtin_expect(m_fd < 0, false)) {
    if (!m_reopen || (m_fd = open_target(m_path, false)) < 0) return;
  }
  if (__builtin_expect(m_may_pipe || m_tty, false)) {
    write_guarded(text, len);
  } else if (m_in_place) {
    (void)write_bounded(text, len, nullptr);
  } else {
    (void)osl_sys::write_all(m_fd, text, len);
  }
  m_filesize += len;
  osl_clock::start_ms();
  if (m_filesize >= m_maxsize) rotate_file();
}

int32_t deliver(char_t *buf, int32_t size, size_t len) {
  if (buf == nullptr || size <= 0) return -1;
  switch (m_kind) {
    case Kind::kFile:
      write_file(buf, len);
      break;
    case Kind::kUdp:
      if (m_socket != OSL_INVALID_SOCKET) osl_socket_sendto(m_socket, m_ip, m_port, buf, size);
      break;
    case Kind::kConsole:
      printf("%s", buf);
      break;
    case Kind::kDiscard:
      break;
  }
  return 0;
}

}  // namespace osl_log_target

extern "C" {

void osl_log_exit(void) {
  close_target();
}

int32_t osl_log_set_target(const char_t *url) {
  close_target();
  if (url == nullptr) return -1;
  osl_strncpy(m_url, url, kUrlSize - 1);
  osl_clock::start_ms();  // starts the millisecond clock's count if nothing has read it yet
  m_path = nullptr;

  if (has_scheme(m_url, kConsoleScheme, kConsoleSchemeLen)) {
    m_kind = Kind::kConsole;
    return 0;
  }
  if (has_scheme(m_url, kFileScheme, kFileSchemeLen)) {
    // The byte count is not reset: it carries over from an earlier file target.
    m_kind = Kind::kFile;
    m_path = m_url + kFileSchemeLen;
    m_fd = restart_file(m_path);
    return 0;
  }
  if (has_scheme(m_url, kUdpScheme, kUdpSchemeLen)) {
    m_kind = Kind::kUdp;
    return set_udp_target(m_url, url);
  }
  m_kind = Kind::kDiscard;
  return 0;
}

void osl_log_get_target(char_t *buf, int32_t size) {
  if (buf == nullptr || size <= 0) return;
  osl_strncpy(buf, m_url, size - 1);
  buf[size - 1] = '\0';
}

void osl_log_set_max_logsize(uint32_t maxsize) {
  m_maxsize = maxsize;
}

void osl_log_set_max_lognum(uint32_t daynum) {
  m_max_daynum = daynum;
}

}  // extern "C"
