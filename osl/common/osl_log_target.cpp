// The log's table of targets: the first one that osl_log_set_target chooses and up to kExtraMax
// further ones, each with its own threshold; setting, adding, removing and reopening them, and
// handing each finished text to those that take it. Files and sockets are opened and written in
// osl_log_file.cpp and osl_log_udp.cpp. State is in unlocked statics, as in the rest of the log
// module: one thread at a time logs and changes settings.
#include "osl_log_target.h"

#include <stdio.h>
#include <string.h>

#include "osl_log.h"
#include "osl_sys.h"

namespace osl_log_target {

namespace {

char_t m_first_url[kUrlSize];             // the last byte is never written
char_t m_extra_url[kExtraMax][kUrlSize];
char_t m_rest[1 + kExtraMax][kTextMax];

}  // namespace

// Constant-initialised: the load-time state is in place before any constructor runs.
Target m_first = {Kind::kDiscard, true, OSL_LOG_ALL, nullptr, -1, -1, 0, 0,
                  false, false, false, false, false, false, false, 0, 0, 0, 0, 0,
                  m_first_url, m_rest[0]};
bool m_direct = false;
uint32_t m_maxsize = 0x40000000u;  // 1 GiB
uint32_t m_backups = 1;

namespace {

Target m_extra[kExtraMax];
uint32_t m_max_daynum = 7;

constexpr char_t kConsoleScheme[] = "console://";
constexpr char_t kFileScheme[] = "file://";
constexpr char_t kUdpScheme[] = "udp://";

bool has_scheme(const char_t *url, const char_t *scheme) {
  const size_t n = strlen(scheme);
  return strnlen(url, n) == n && osl_sys::equal_nocase(url, scheme, n);
}

void close_target(Target &t) {
  close_udp(t);
  close_file(t);
}

void update_direct() {
  bool extras = false;
  for (const Target &t : m_extra) extras = extras || t.used;
  m_direct = m_first.kind == Kind::kFile && !extras;
}

// Opens the target t.url names, judged on the caller's whole text; as osl_log_set_target.
int32_t open_target(Target &t, const char_t *whole, bool *discard) {
  *discard = false;
  t.path = nullptr;
  t.stalled = false;
  t.rest_len = 0;
  if (has_scheme(t.url, kConsoleScheme)) {
    t.kind = Kind::kConsole;
    return 0;
  }
  if (has_scheme(t.url, kFileScheme)) {
    t.kind = Kind::kFile;
    t.path = t.url + strlen(kFileScheme);
    open_file_target(t);
    return 0;
  }
  if (has_scheme(t.url, kUdpScheme)) {
    t.kind = Kind::kUdp;
    return open_udp(t, whole, discard);
  }
  t.kind = Kind::kDiscard;
  *discard = true;
  return 0;
}

void deliver_to(Target &t, char_t *buf, int32_t size, size_t len) {
  switch (t.kind) {
    case Kind::kFile:
      write_file(t, buf, len);
      break;
    case Kind::kUdp:
      send_udp(t, buf, size);
      break;
    case Kind::kConsole:
      printf("%s", buf);
      break;
    case Kind::kDiscard:
      break;
  }
}

}  // namespace

void reset(void) {
  close_target(m_first);  // no descriptor is left behind by a second init
  for (Target &t : m_extra) {
    close_target(t);
    t.used = false;
  }
  osl_sys::copy_bounded(m_first.url, kUrlSize, kConsoleScheme);
  m_first.kind = Kind::kConsole;
  m_first.path = nullptr;
  m_first.filesize = 0;
  update_direct();
}

bool open_elsewhere(const Target &t, dev_t dev, ino_t ino) {
  auto holds = [&](const Target &o) {
    return &o != &t && o.kind == Kind::kFile && o.fd >= 0 && o.dev == dev && o.ino == ino;
  };
  if (holds(m_first)) return true;
  for (const Target &o : m_extra) {
    if (o.used && holds(o)) return true;
  }
  return false;
}

int32_t extra_floor(void) {
  int32_t floor = INT32_MAX;
  for (const Target &t : m_extra) {
    if (t.used && t.level < floor) floor = t.level;
  }
  return floor;
}

void deliver(char_t *buf, int32_t size, size_t len, int32_t severity, bool first) {
  if (first) deliver_to(m_first, buf, size, len);
  for (Target &t : m_extra) {
    if (t.used && t.level <= severity) deliver_to(t, buf, size, len);
  }
}

}  // namespace osl_log_target

using osl_log_target::close_target;
using osl_log_target::Kind;
using osl_log_target::kExtraMax;
using osl_log_target::kUrlSize;
using osl_log_target::m_extra;
using osl_log_target::m_first;
using osl_log_target::Target;

extern "C" {

void osl_log_exit(void) {
  close_target(m_first);
  for (Target &t : m_extra) close_target(t);
}

int32_t osl_log_set_target(const char_t *url) {
  close_target(m_first);
  if (url == nullptr) return -1;
  osl_sys::copy_bounded(m_first.url, kUrlSize, url);
  osl_clock::start_ms();  // starts the millisecond clock's count if nothing has read it yet
  bool discard = false;
  // The byte count is not reset: it carries over from an earlier file target.
  const int32_t r = osl_log_target::open_target(m_first, url, &discard);
  osl_log_target::update_direct();
  return r;
}

void osl_log_get_target(char_t *buf, int32_t size) {
  if (buf == nullptr || size <= 0) return;
  osl_sys::copy_bounded(buf, static_cast<size_t>(size), m_first.url);
}

int32_t osl_log_add_target(const char_t *url, int32_t level) {
  if (url == nullptr || strnlen(url, kUrlSize) >= static_cast<size_t>(kUrlSize)) return -1;
  for (int32_t i = 0; i < kExtraMax; ++i) {
    Target &t = m_extra[i];
    if (t.used) continue;
    t = Target{};
    t.fd = -1;
    t.sock = -1;
    t.url = osl_log_target::m_extra_url[i];
    t.rest = osl_log_target::m_rest[1 + i];
    osl_sys::copy_bounded(t.url, kUrlSize, url);
    bool discard = false;
    if (osl_log_target::open_target(t, url, &discard) != 0 || discard) {
      close_target(t);
      return -1;
    }
    t.level = level;
    t.used = true;
    osl_clock::start_ms();
    osl_log_target::update_direct();
    osl_log_target::refresh_floor();
    return i + 1;
  }
  return -1;
}

int32_t osl_log_remove_target(int32_t id) {
  if (id < 1 || id > kExtraMax || !m_extra[id - 1].used) return -1;
  close_target(m_extra[id - 1]);
  m_extra[id - 1].used = false;
  osl_log_target::update_direct();
  osl_log_target::refresh_floor();
  return 0;
}

int32_t osl_log_reopen(void) {
  int32_t r = 0;
  if (m_first.kind == Kind::kFile && osl_log_target::reopen_file(m_first) != 0) r = -1;
  for (Target &t : m_extra) {
    if (t.used && t.kind == Kind::kFile && osl_log_target::reopen_file(t) != 0) r = -1;
  }
  return r;
}

void osl_log_set_max_logsize(uint32_t maxsize) {
  osl_log_target::m_maxsize = maxsize;
}

void osl_log_set_max_lognum(uint32_t daynum) {
  osl_log_target::m_max_daynum = daynum;
}

void osl_log_set_backups(uint32_t count) {
  osl_log_target::m_backups = count < 1                               ? 1
                              : count > osl_log_target::kBackupsMax ? osl_log_target::kBackupsMax
                                                                      : count;
}

}  // extern "C"
