// The logging module: one process-wide target (console, rotating file or UDP), the global and
// per-module thresholds, and the hex dump. All state is in unlocked statics; one thread at a
// time logs and changes settings. Nothing here allocates: texts are built on the stack, or written
// from the caller's own memory when they need no building.
#include "osl_log.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "osl.h"
#include "osl_clock.h"
#include "osl_file.h"
#include "osl_socket.h"
#include "osl_string.h"
#include "osl_url.h"
#include "osl_sys.h"

namespace {

constexpr int32_t kMsgBufSize = 8196;         // stack buffer of every logging call
constexpr int32_t kMsgRoom = kMsgBufSize - 1; // room handed to formatting
constexpr int32_t kUrlSize = 1024;            // m_url, terminator included
constexpr int32_t kWorkSize = 128;            // host and port texts of a udp:// target
constexpr uint16_t kDefaultUdpPort = 8000;
constexpr mode_t kLogFileMode = 0664;         // a new log file, before the umask
// The log's own descriptors are not handed to the commands the process starts.
constexpr int kLogFileFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
constexpr int32_t kUdpFamily = AF_INET;
constexpr int32_t kUdpType = SOCK_DGRAM | SOCK_CLOEXEC;

constexpr char_t kConsoleScheme[] = "console://";
constexpr char_t kFileScheme[] = "file://";
constexpr char_t kUdpScheme[] = "udp://";
constexpr int32_t kConsoleSchemeLen = 10;
constexpr int32_t kFileSchemeLen = 7;
constexpr int32_t kUdpSchemeLen = 6;

// What the URL asked for, decided once when it is set.
enum class Kind { kDiscard, kConsole, kFile, kUdp };

// Constant-initialised: the load-time state is in place before any constructor runs.
int32_t m_level = OSL_LOG_WARN;
uint32_t m_maxsize = 0x40000000u;  // 1 GiB
uint32_t m_max_daynum = 7;
char_t m_url[kUrlSize];  // the last byte is never written
Kind m_kind = Kind::kDiscard;
const char_t *m_path = nullptr;  // a file target's path, inside m_url
SOCKET m_socket = OSL_INVALID_SOCKET;
uint32_t m_ip = 0;    // network byte order
uint16_t m_port = 0;  // network byte order
int m_fd = -1;        // a file target's descriptor
// The file target is written where it is and never moved: it was no regular file at its path
// (a symbolic link, a pipe, a device). Rotation then only restarts the count.
bool m_in_place = false;
// The file target may raise SIGPIPE (a pipe whose reader left): its writes are guarded.
bool m_may_pipe = false;
// Bytes written to file targets since init or the last rotation; 64-bit so that a maximum
// near 4 GiB is still reached rather than wrapped past.
uint64_t m_filesize = 0;
log_mod_t m_mgr;

bool has_scheme(const char_t *url, const char_t *scheme, int32_t len) {
  return osl_strncmp_nocase(url, scheme, len) == 0;
}

// First octet 224..239; ip is in network byte order, so its first byte in memory.
bool is_multicast(uint32_t ip) {
  const uchar_t first = reinterpret_cast<const uchar_t *>(&ip)[0];
  return first >= 224 && first <= 239;
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
  m_in_place = false;
  m_may_pipe = false;
}

// Moves path to path.bak (rename replaces an older backup file) and opens path for appending,
// which then starts empty. A log that cannot be moved aside (read-only directory, a directory
// named path.bak, ...) is never emptied: texts go on being added to it. Nothing is deleted
// first. The backup name is never cut, so no other file can be replaced in its place: the
// buffer holds ".bak" after the longest path m_url can carry, and the length test only guards
// that. An empty path opens nothing. Append mode puts each text at the current end, so a log
// truncated from outside (logrotate's copytruncate) goes on at offset 0 without a hole.
// A path that is there but is not a regular file (a symbolic link, /dev/null, a serial console,
// a pipe, a directory) is never moved, here or at rotation: renaming a link would move the link
// itself (as root, /dev/stdout). It is opened where it is, through a link, without waiting for a
// pipe's reader (a pipe nobody reads discards the texts), and then written as any file is.
// Only regular files and character devices (terminals, /dev/null) are known never to raise
// SIGPIPE; writes to anything else are guarded.
int restart_file(const char_t *path) {
  m_in_place = false;
  m_may_pipe = false;
  if (path == nullptr || path[0] == '\0') return -1;
  struct stat st;
  int fd;
  if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    m_in_place = true;
    fd = open(path, kLogFileFlags | O_NONBLOCK, kLogFileMode);
    if (fd >= 0) (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  } else {
    char_t bak[kUrlSize + 8];
    static_assert(sizeof bak >= kUrlSize - 1 - kFileSchemeLen + 4 + 1, "backup name never cut");
    const int32_t n = osl_str_snprintf(bak, static_cast<int32_t>(sizeof bak), "%s.bak", path);
    if (n == osl_strlen(path) + 4) osl_file_rename(path, bak);  // fails when there is no log yet
    fd = open(path, kLogFileFlags, kLogFileMode);
  }
  if (fd >= 0) {
    m_may_pipe = fstat(fd, &st) != 0 || (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode));
  }
  return fd;
}

// Copies len bytes at url + pos into tmp (kWorkSize bytes) and terminates; false when they
// would not fit with the terminator.
bool copy_part(char_t *tmp, const char_t *url, int32_t pos, int32_t len) {
  if (len >= kWorkSize) return false;
  memset(tmp, 0, kWorkSize);
  osl_strncpy(tmp, url + pos, len);
  return true;
}

// The port a udp:// target's port text names, in network byte order: decimal digits only
// (leading zeros allowed) worth 1..65535; 0 for anything else, which names no usable port.
uint16_t port_of(const char_t *text) {
  uint32_t v = 0;
  for (const char_t *p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    v = v * 10 + static_cast<uint32_t>(*p - '0');
    if (v > 0xFFFFu) return 0;
  }
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

// The udp:// branch of osl_log_set_target for url: resolves the host, opens the socket.
int32_t set_udp_target(char_t *url) {
  char_t tmp[kWorkSize];
  SUrlInfo info;
  if (osl_url_parse(url, &info) != 0) return -1;

  if (info.hostport_len > 0) {
    if (!copy_part(tmp, url, info.hostport_pos, info.hostport_len)) return -1;
    m_port = port_of(tmp);
    if (m_port == 0) return -1;
  } else {
    m_port = htons(kDefaultUdpPort);
  }
  if (info.hostname_len <= 0) return 0;  // no host: no socket, texts are discarded
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
  // A unicast sender is not bound: texts leave from an ephemeral port, so the receiver keeps
  // its port even on this machine, and a remote destination is no local address to bind.
  if (!is_multicast(m_ip)) return 0;
  // A group member: the group's address and port, shared with a local receiver of the group.
  // Bound to the group, not to any address, so that unicast datagrams for the port still go to
  // a local collector that holds it. A failed bind keeps the socket: later texts are still sent
  // to the group.
  const int reuse = 1;
  osl_socket_set_opt(m_socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&reuse),
                     static_cast<int32_t>(sizeof reuse));
  if (osl_socket_bind(m_socket, m_ip, m_port) < 0) return -1;
  osl_socket_join(m_socket, m_ip);
  return 0;
}

// The rest of a text after a write that a signal cut short (n bytes taken, or -1 with EINTR
// before any byte): a pipe or a terminal that waited for room. Anything else (a full disk, a
// pipe without a reader) ends it. Returns 0 when the text was written, else the failure's errno.
__attribute__((noinline, cold)) int finish_write(const char_t *text, size_t len, ssize_t n) {
  size_t done = 0;
  for (;;) {
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      return EIO;
    } else if (errno != EINTR) {
      return errno;
    }
    if (done >= len) return 0;
    n = write(m_fd, text + done, len - done);
  }
}

// Writes a text to a target that can raise SIGPIPE with that signal blocked in this thread, and
// takes back the one a reader's leaving raised, so that no signal reaches the process and the
// text is lost quietly. One that was pending before (blocked by the application) is not ours
// and stays. The thread's mask is put back as found; the disposition is never touched.
__attribute__((noinline)) void write_guarded(const char_t *text, size_t len) {
  sigset_t pipe_only, old, pending;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  if (pthread_sigmask(SIG_BLOCK, &pipe_only, &old) != 0) return;
  const bool had = sigismember(&old, SIGPIPE) == 1 && sigpending(&pending) == 0 &&
                   sigismember(&pending, SIGPIPE) == 1;
  const ssize_t n = write(m_fd, text, len);
  if (static_cast<size_t>(n) != len && finish_write(text, len, n) == EPIPE && !had) {
    const struct timespec now = {0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {
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

// Appends len bytes of text to a file target, and rotates once the byte count reaches the
// maximum. One write takes the whole text; a pipe or a terminal that takes part of it (a signal
// came while it waited) gets the rest, and a write a signal stopped before any byte is made
// again. A full disk loses the text; there is nothing to report to.
void write_file(const char_t *text, size_t len) {
  if (m_fd < 0) return;
  if (__builtin_expect(m_may_pipe, false)) {
    write_guarded(text, len);
  } else {
    const ssize_t n = write(m_fd, text, len);
    if (static_cast<size_t>(n) != len) finish_write(text, len, n);
  }
  m_filesize += len;
  osl_clock::start_ms();
  if (m_filesize >= m_maxsize) rotate_file();
}

// Delivers one finished, terminated text. size counts the bytes of a datagram (the callers pass
// the length plus the terminator); a file gets the len bytes before the first zero byte, which
// the caller already knows. -1 for a null buf or size <= 0, else 0 whatever happened.
int32_t osl_log_output(char_t *buf, int32_t size, size_t len) {
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

// True when format holds only plain text, "%%" and "%s" conversions, the common shape of a log
// call, which format_text then builds without the cost of vsnprintf's general machinery.
bool is_plain_format(const char_t *format) {
  for (const char_t *f = format; *f != '\0'; ++f) {
    if (*f != '%') continue;
    ++f;
    if (*f != 's' && *f != '%') return false;
  }
  return true;
}

// Appends len bytes of text at buf + *pos, cut to room - 1 bytes in all.
void put_cut(char_t *buf, int32_t room, int32_t *pos, const char_t *text, size_t len) {
  const size_t left = static_cast<size_t>(room - 1 - *pos);
  const size_t n = len < left ? len : left;
  memcpy(buf + *pos, text, n);
  *pos += static_cast<int32_t>(n);
}

// osl_str_vsnprintf(buf, room, format, ap) with the same text and result (room >= 1); formats of
// the plain shape are copied directly. A null string argument reads "(null)", as with glibc.
// *text_len is the length up to the first zero byte: a "%c" of 0 can put one inside the text.
int32_t format_text(char_t *buf, int32_t room, const char_t *format, va_list ap,
                    size_t *text_len) {
  if (format == nullptr || !is_plain_format(format)) {
    const int32_t n = osl_str_vsnprintf(buf, room, format, ap);
    *text_len = strlen(buf);
    return n;
  }
  int32_t pos = 0;
  const char_t *lit = format;
  for (const char_t *f = format;; ++f) {
    if (*f != '%' && *f != '\0') continue;
    put_cut(buf, room, &pos, lit, static_cast<size_t>(f - lit));
    if (*f == '\0') break;
    ++f;
    if (*f == '%') {
      put_cut(buf, room, &pos, "%", 1);
    } else {
      const char_t *arg = va_arg(ap, const char_t *);
      if (arg == nullptr) arg = "(null)";
      put_cut(buf, room, &pos, arg, strlen(arg));
    }
    lit = f + 1;
  }
  buf[pos] = '\0';
  *text_len = static_cast<size_t>(pos);  // no argument or literal part holds a zero byte
  return pos;
}

// Builds the text in the stack buffer and delivers it; apart from log_v so that the texts a file
// takes straight from the caller set up no buffer.
__attribute__((noinline)) int32_t log_built(const char_t *format, va_list ap) {
  char_t buf[kMsgBufSize];
  size_t len;
  const int32_t size = format_text(buf, kMsgRoom, format, ap, &len);
  buf[size] = '\0';
  osl_log_output(buf, size + 1, len);
  return size + 1;
}

// A finished text ("%s") or a format without conversions goes to a file target from the
// caller's memory, cut where the built text would be, with the same result; every other text
// and target goes through the buffer.
int32_t log_v(int32_t severity, const char_t *format, va_list ap) {
  if (m_level > severity) return 0;
  if (m_kind == Kind::kFile && format != nullptr) {
    const char_t *text = nullptr;
    if (format[0] == '%' && format[1] == 's' && format[2] == '\0') {
      text = va_arg(ap, const char_t *);
      if (text == nullptr) text = "(null)";
    } else if (strchr(format, '%') == nullptr) {
      text = format;
    }
    if (text != nullptr) {
      const size_t len = strnlen(text, static_cast<size_t>(kMsgRoom - 1));
      write_file(text, len);
      return static_cast<int32_t>(len) + 1;
    }
  }
  return log_built(format, ap);
}

struct ModPrefix {
  const char_t *ms;    // flag bit 0
  const char_t *time;  // flag bit 1
  const char_t *plain;
};

constexpr ModPrefix kModPrefix[5] = {
    {nullptr, nullptr, nullptr},
    {"[D][%02d][%u] ", "[D][%02d][%s] ", "[D][%02d] "},
    {"[I][%02d][%u] ", "[I][%02d][%s] ", "[I][%02d] "},
    {"[W][%02d][%u] ", "[W][%02d][%s] ", "[W][%02d] "},
    {"[E][%02d][%u] ", "[E][%02d][%s] ", "[E][%02d] "},
};

int32_t log_mod_v(int32_t mod, int32_t severity, const char_t *format, va_list ap) {
  if (mod < 1 || mod > OSL_LOG_MOD_MAX) return 0;  // before mod - 1, which INT32_MIN overflows
  const int32_t i = mod - 1;
  if (m_mgr.mod[i] <= 0) return 0;
  if (m_level > severity || m_mgr.level[i] > severity) return 0;

  char_t buf[kMsgBufSize];
  const ModPrefix &pf = kModPrefix[severity];
  int32_t p;
  if ((m_mgr.flag & 1) != 0) {
    p = sprintf(buf, pf.ms, mod, static_cast<unsigned>(osl_get_ms()));
  } else if ((m_mgr.flag & 2) != 0) {
    const char *now = osl_get_time_string();
    p = sprintf(buf, pf.time, mod, now != nullptr ? now : "");
  } else {
    p = sprintf(buf, pf.plain, mod);
  }
  size_t len;
  const int32_t n = format_text(buf + p, kMsgRoom - p, format, ap, &len);
  buf[p + n] = '\0';
  osl_log_output(buf, p + n + 1, static_cast<size_t>(p) + len);
  return p + n + 1;
}

constexpr char_t kStarRow[] =
    "****************************************************************************\n";
static_assert(sizeof kStarRow == 76 + 2, "the summary box is 76 asterisks wide");

constexpr int32_t kHexLineSize = 128;
constexpr int32_t kHexMaxTabs = 6;

}  // namespace

extern "C" {

int32_t osl_log_init(int32_t level) {
  close_target();  // no descriptor is left behind by a second init
  m_level = level;
  memset(m_url, 0, sizeof m_url);
  osl_strncpy(m_url, kConsoleScheme, kUrlSize - 1);
  m_kind = Kind::kConsole;
  m_path = nullptr;
  m_socket = OSL_INVALID_SOCKET;
  m_ip = 0;
  m_port = 0;
  m_fd = -1;
  m_filesize = 0;
  memset(&m_mgr, 0, sizeof m_mgr);
  return 0;
}

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
    return set_udp_target(m_url);
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

void osl_log_set_level(int32_t level) {
  m_level = level;
}

int32_t osl_log_get_level(void) {
  return m_level;
}

#define OSL_LOG_LEVELLED(fn, severity)         \
  int32_t fn(const char_t *format, ...) {      \
    if (m_level > (severity)) return 0;        \
    va_list ap;                                \
    va_start(ap, format);                      \
    const int32_t r = log_v((severity), format, ap); \
    va_end(ap);                                \
    return r;                                  \
  }

OSL_LOG_LEVELLED(osl_log_debug, OSL_LOG_DEBUG)
OSL_LOG_LEVELLED(osl_log_info, OSL_LOG_INFO)
OSL_LOG_LEVELLED(osl_log_warn, OSL_LOG_WARN)
OSL_LOG_LEVELLED(osl_log_error, OSL_LOG_ERROR)

#define OSL_LOG_MODULE(fn, severity)                        \
  int32_t fn(int32_t mod, const char_t *format, ...) {      \
    va_list ap;                                             \
    va_start(ap, format);                                   \
    const int32_t r = log_mod_v(mod, (severity), format, ap); \
    va_end(ap);                                             \
    return r;                                               \
  }

OSL_LOG_MODULE(osl_log_mod_debug, OSL_LOG_DEBUG)
OSL_LOG_MODULE(osl_log_mod_info, OSL_LOG_INFO)
OSL_LOG_MODULE(osl_log_mod_warn, OSL_LOG_WARN)
OSL_LOG_MODULE(osl_log_mod_error, OSL_LOG_ERROR)

int32_t osl_log_mod_create(const char_t *name, int32_t level) {
  if (level < OSL_LOG_ALL || level > OSL_LOG_NONE) level = OSL_LOG_ALL;
  for (int32_t i = 0; i < OSL_LOG_MOD_MAX; ++i) {
    if (m_mgr.mod[i] != 0) continue;
    m_mgr.mod[i] = 1;
    m_mgr.level[i] = level;
    memset(m_mgr.name[i], 0, OSL_LOG_MOD_NAME_LEN);
    if (name != nullptr) strncpy(m_mgr.name[i], name, OSL_LOG_MOD_NAME_LEN - 1);
    return i + 1;
  }
  return -1;
}

void osl_log_mod_release(int32_t mod) {
  if (mod < 1 || mod > OSL_LOG_MOD_MAX) return;
  m_mgr.mod[mod - 1] = 0;
  m_mgr.level[mod - 1] = OSL_LOG_NONE;
}

void osl_log_mod_set_level(int32_t mod, int32_t level) {
  if (mod < 1 || mod > OSL_LOG_MOD_MAX) return;
  m_mgr.mod[mod - 1] = 1;
  m_mgr.level[mod - 1] = level;
}

int32_t osl_log_mod_get_level(int32_t mod) {
  if (mod < 1 || mod > OSL_LOG_MOD_MAX) return -1;
  return m_mgr.level[mod - 1];
}

void osl_log_mod_set_flag(uint32_t flag) {
  m_mgr.flag = static_cast<int32_t>(flag);
}

uint32_t osl_log_mod_get_flag(void) {
  return static_cast<uint32_t>(m_mgr.flag);
}

void osl_log_mod_config(void) {
  osl_log_error("%s", kStarRow);
  osl_log_error("*   log level [N][%02d] [E][%02d] [W][%02d] [I][%02d] [D][%02d] [A][%02d] \n",
                OSL_LOG_NONE, OSL_LOG_ERROR, OSL_LOG_WARN, OSL_LOG_INFO, OSL_LOG_DEBUG,
                OSL_LOG_ALL);
  osl_log_error("*   log mod[00] level[%02d]-> GLOBLE MOD\n", m_level);
  for (int32_t i = 0; i < OSL_LOG_MOD_MAX; ++i) {
    if (m_mgr.mod[i] == 1) {
      osl_log_error("*   log mod[%02d] level[%02d]-> %s\n", i + 1, m_mgr.level[i], m_mgr.name[i]);
    }
  }
  osl_log_error("%s", kStarRow);
  osl_log_error("#LOG SET -00:%02d", m_level);
  for (int32_t i = 0; i < OSL_LOG_MOD_MAX; ++i) {
    if (m_mgr.mod[i] == 1) osl_log_error("-%02d:%02d", i + 1, m_mgr.level[i]);
  }
  osl_log_error("\n");
}

int32_t osl_log_hex(const char_t *msg, const char_t *buf, uint32_t len, int32_t wide) {
  if (m_level > OSL_LOG_DEBUG) return 0;  // every line would be filtered: read nothing
  if (msg == nullptr || buf == nullptr || (wide != 8 && wide != 16)) return 0;
  osl_log_debug("%s--> addr=%08lx %lu bytes\n", msg,
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(buf)),
                static_cast<unsigned long>(len));

  const char_t *p = msg;
  while (*p == '\r' || *p == '\n') ++p;
  int32_t tabs = 0;
  while (p[tabs] == '\t' && tabs < kHexMaxTabs) ++tabs;

  const uchar_t *bytes = reinterpret_cast<const uchar_t *>(buf);
  const uint32_t width = static_cast<uint32_t>(wide);
  uint32_t left = len;
  int64_t total = 0;
  char_t line[kHexLineSize];
  while (left > 0) {
    const uint32_t nbytes = left < width ? left : width;
    int32_t k = 0;
    for (int32_t t = 0; t < tabs; ++t) line[k++] = '\t';
    for (int32_t s = 0; s < 4; ++s) line[k++] = ' ';
    for (uint32_t b = 0; b < nbytes; ++b) {
      line[k++] = osl_sys::kHexDigits[bytes[b] >> 4];
      line[k++] = osl_sys::kHexDigits[bytes[b] & 0x0F];
      line[k++] = ' ';
    }
    for (uint32_t g = 0; g < width - nbytes + 1; ++g) {
      line[k++] = ' ';
      line[k++] = ' ';
      line[k++] = ' ';
    }
    for (uint32_t b = 0; b < nbytes; ++b) {
      line[k++] = (bytes[b] >= 0x20 && bytes[b] <= 0x7E) ? static_cast<char_t>(bytes[b]) : '.';
    }
    line[k] = '\0';
    total += osl_log_debug("%s\n", line);
    bytes += nbytes;
    left -= nbytes;
  }
  // Only a dump of hundreds of megabytes could pass this; keep the sum representable.
  return total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
}

}  // extern "C"
