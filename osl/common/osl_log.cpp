// The logging module's own side: the global and per-module thresholds, formatting, the module
// prefixes and the hex dump; osl_log_target.cpp hands the texts to the targets. All state is in unlocked
// statics; one thread at a time logs and changes settings. Nothing here allocates: texts are
// built on the stack, or written from the caller's own memory when they need no building.
#include "osl_log.h"

#include <stdarg.h>
#include <string.h>

#include "osl.h"
#include "osl_log_target.h"
#include "osl_string.h"
#include "osl_sys.h"

namespace {

constexpr int32_t kMsgBufSize = 8196;         // stack buffer of every logging call
constexpr int32_t kMsgRoom = kMsgBufSize - 1; // room handed to formatting

// Constant-initialised: the load-time state is in place before any constructor runs.
int32_t m_level = OSL_LOG_WARN;  // the first target's threshold
int32_t m_floor = OSL_LOG_WARN;  // the lowest threshold of all targets: below it no target takes a text
log_mod_t m_mgr;

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
__attribute__((noinline)) int32_t log_built(int32_t severity, const char_t *format, va_list ap) {
  char_t buf[kMsgBufSize];
  size_t len;
  const int32_t size = format_text(buf, kMsgRoom, format, ap, &len);
  buf[size] = '\0';
  osl_log_target::deliver(buf, size + 1, len, severity, m_level <= severity);
  return size + 1;
}

// A finished text ("%s") or a format without conversions goes to a file target from the
// caller's memory, cut where the built text would be, with the same result, while it is the only
// target; every other text and target goes through the buffer.
__attribute__((always_inline)) inline int32_t log_v(int32_t severity, const char_t *format,
                                                   va_list ap) {
  if (m_floor > severity) return 0;
  if (osl_log_target::m_direct && format != nullptr) {
    const char_t *text = nullptr;
    if (format[0] == '%' && format[1] == 's' && format[2] == '\0') {
      text = va_arg(ap, const char_t *);
      if (text == nullptr) text = "(null)";
    } else if (strchr(format, '%') == nullptr) {
      text = format;
    }
    if (text != nullptr) {
      const size_t len = strnlen(text, static_cast<size_t>(kMsgRoom - 1));
      osl_log_target::write_file(osl_log_target::m_first, text, len);
      return static_cast<int32_t>(len) + 1;
    }
  }
  return log_built(severity, format, ap);
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
  if (m_floor > severity || m_mgr.level[i] > severity) return 0;

  char_t buf[kMsgBufSize];
  const ModPrefix &pf = kModPrefix[severity];
  int32_t p;
  if ((m_mgr.flag & 1) != 0) {
    p = osl_str_snprintf(buf, kMsgRoom, pf.ms, mod, static_cast<unsigned>(osl_get_ms()));
  } else if ((m_mgr.flag & 2) != 0) {
    const char *now = osl_get_time_string();
    p = osl_str_snprintf(buf, kMsgRoom, pf.time, mod, now != nullptr ? now : "");
  } else {
    p = osl_str_snprintf(buf, kMsgRoom, pf.plain, mod);
  }
  size_t len;
  const int32_t n = format_text(buf + p, kMsgRoom - p, format, ap, &len);
  buf[p + n] = '\0';
  osl_log_target::deliver(buf, p + n + 1, static_cast<size_t>(p) + len, severity,
                          m_level <= severity);
  return p + n + 1;
}

constexpr char_t kStarRow[] =
    "****************************************************************************\n";
static_assert(sizeof kStarRow == 76 + 2, "the summary box is 76 asterisks wide");

constexpr int32_t kHexLineSize = 128;
constexpr int32_t kHexMaxTabs = 6;

}  // namespace

void osl_log_target::refresh_floor(void) {
  const int32_t extra = extra_floor();
  m_floor = extra < m_level ? extra : m_level;
}

extern "C" {

int32_t osl_log_init(int32_t level) {
  osl_log_target::reset();
  m_level = level;
  osl_log_target::refresh_floor();
  memset(&m_mgr, 0, sizeof m_mgr);
  return 0;
}

void osl_log_set_level(int32_t level) {
  m_level = level;
  osl_log_target::refresh_floor();
}

int32_t osl_log_get_level(void) {
  return m_level;
}

#define OSL_LOG_LEVELLED(fn, severity)         \
  int32_t fn(const char_t *format, ...) {      \
    if (m_floor > (severity)) return 0;        \
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
    osl_sys::copy_bounded(m_mgr.name[i], OSL_LOG_MOD_NAME_LEN, name != nullptr ? name : "");
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
  if (m_floor > OSL_LOG_DEBUG) return 0;  // every line would be filtered: read nothing
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