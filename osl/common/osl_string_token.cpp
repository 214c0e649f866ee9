// Tokenising, trimming and value extraction: in-place passes over caller text that allocate
// nothing and never read past the text's terminator.
#include "osl_string.h"

#include <errno.h>
#include <string.h>

#include "osl_sys.h"

namespace {

using osl_sys::is_digit;

// Membership in a set of single bytes; the terminator is never a member (strchr would say so).
inline bool in_set(char_t c, const char_t *set) {
  return c != '\0' && set != nullptr && strchr(set, c) != nullptr;
}

inline bool is_path_sep(char_t c) { return c == '/' || c == '\\'; }

// Deletes count bytes at p, moving the rest of the text (terminator included) left.
inline void delete_bytes(char_t *p, size_t count) {
  memmove(p, p + count, strlen(p + count) + 1);
}

// Skips leading spaces and reads decimal digits, wrapping modulo 2^64.
uint64_t read_u64(const char_t *p, bool allow_minus) {
  while (*p == ' ') ++p;
  bool negative = false;
  if (allow_minus && *p == '-') {
    negative = true;
    ++p;
  }
  const uint64_t v = osl_sys::dec_wrapping(p, nullptr);
  return negative ? (~v + 1u) : v;
}

// White space as strtoll skips it in the C locale.
inline bool is_c_space(char_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The line of the value lookups that starts at or after line, within search bytes of buf and
// matching name: *line is set to its start and *end to its end (CR, LF or the terminator).
// false when no line is left. A line begins at its first byte that is not a space, ",", tab,
// CR or LF.
bool next_line(const char_t *buf, size_t search, const char_t *name, size_t namelen,
               const char_t **line, const char_t **end) {
  const char_t *p = *line;
  while (static_cast<size_t>(p - buf) < search) {
    while (in_set(*p, " ,\t\r\n")) ++p;
    // A line counts only where it begins inside the bound: the blank line that ends an HTTP
    // head must not let the body behind it supply a header.
    if (static_cast<size_t>(p - buf) >= search) break;
    const char_t *e = p;
    while (*e != '\0' && *e != '\r' && *e != '\n') ++e;
    // The comparison stops at the line's terminator, so a short last line is never overrun.
    if (osl_strncmp_nocase(p, name, static_cast<int32_t>(namelen)) == 0) {
      *line = p;
      *end = e;
      return true;
    }
    // A buflen beyond the text must not walk past its terminator.
    if (*e == '\0') break;
    p = e + 1;
  }
  return false;
}

// Copies the value after the separator at sep of the line ending at end into value (room
// valuelen): past every following space, ":", "=", ",", tab, CR and LF (which may run past the
// line end: an empty value), up to the line end less trailing spaces. Returns value.
char_t *copy_value(const char_t *sep, const char_t *end, char_t *value, int32_t valuelen) {
  const char_t *start = sep + 1;
  while (in_set(*start, " :=,\t\r\n")) ++start;
  const char_t *stop = end;
  while (stop > start && stop[-1] == ' ') --stop;
  if (value != nullptr && valuelen > 1 && stop > start) {
    size_t n = static_cast<size_t>(stop - start);
    if (n > static_cast<size_t>(valuelen - 1)) n = static_cast<size_t>(valuelen - 1);
    memcpy(value, start, n);
  }
  return value;
}

}  // namespace

extern "C" {

char_t *osl_str_split(char_t **str, const char_t *delim) {
  if (str == nullptr || *str == nullptr) return nullptr;
  char_t *token = *str;
  char_t *p = token;
  while (*p != '\0' && !in_set(*p, delim)) ++p;
  if (*p != '\0') {
    *p++ = '\0';
    while (in_set(*p, delim)) ++p;
  }
  *str = (*p == '\0') ? nullptr : p;
  return token;
}

void osl_str_split_all(char *src, const char *separator, char **dest, int32_t destsize,
                       int32_t *num) {
  int32_t used = 0;
  if (src != nullptr && *src != '\0' && separator != nullptr && *separator != '\0' &&
      dest != nullptr && destsize >= 1) {
    const size_t seplen = strlen(separator);
    char *segment = src;
    dest[used++] = segment;
    while (*segment != '\0' && used < destsize) {
      char *hit = strstr(segment, separator);
      if (hit == nullptr) break;
      // Only the first byte of the separator is cut; the rest stays behind the terminator.
      *hit = '\0';
      segment = hit + seplen;
      dest[used++] = segment;
    }
  }
  if (num != nullptr) *num = used;
}

char_t *osl_str_trim(char_t *str) {
  if (str == nullptr) return nullptr;
  size_t lead = 0;
  while (in_set(str[lead], " \t\n\r")) ++lead;
  if (lead > 0) memmove(str, str + lead, strlen(str + lead) + 1);
  const size_t len = strlen(str);
  if (len > 0) {
    // The first byte is not white space now, so the step back always stops on a kept byte.
    size_t last = len - 1;
    while (last > 0 && in_set(str[last], " \t\n\r")) --last;
    str[last + 1] = '\0';
  }
  return str;
}

char_t *osl_str_trim_path(char_t *path) {
  if (path == nullptr) return nullptr;
  size_t i = 0;
  while (path[i] != '\0') {
    char_t *p = path + i;
    if (*p == '\\') {
      // A backslash is a separator: rewrite it, then collapse it like a "/".
      *p = '/';
      if (is_path_sep(p[1])) {
        delete_bytes(p, 1);
      } else {
        ++i;
      }
    } else if (*p == '.' && is_path_sep(p[1])) {
      // "x./" loses the "x." (normally "/."); at the very start only "./" goes.
      if (i == 0) {
        delete_bytes(p, 2);
      } else {
        delete_bytes(p - 1, 2);
        --i;
      }
    } else if (*p == '.' && p[1] == '.' && is_path_sep(p[2])) {
      // "../" climbs: remove back to (and including) the second "/" before it, or to the start.
      size_t from = i;
      int32_t slashes = 0;
      while (from > 0 && slashes < 2) {
        --from;
        if (path[from] == '/') ++slashes;
      }
      delete_bytes(path + from, i + 2 - from);
      i = from;
    } else if (*p == '/' && is_path_sep(p[1])) {
      delete_bytes(p, 1);
    } else {
      ++i;
    }
  }
  return path;
}

uint32_t osl_str_calcsize(const char_t *str) {
  if (str == nullptr) return 0;
  const char_t *p = str;
  const uint32_t v = static_cast<uint32_t>(osl_sys::dec_wrapping(str, &p));
  if (*p == 'k' || *p == 'K') return v * 1024u;
  if (*p == 'm' || *p == 'M') return v * 0x100000u;
  return v;
}

char_t *osl_str_getval(const char_t *buf, int32_t buflen, const char_t *name, char_t *value,
                       int32_t valuelen) {
  if (value != nullptr && valuelen > 0) memset(value, 0, static_cast<size_t>(valuelen));
  if (buf == nullptr || name == nullptr) return nullptr;
  const size_t search = buflen < 0 ? strlen(buf) : static_cast<size_t>(buflen);
  const size_t namelen = strlen(name);
  const char_t *line = buf;
  const char_t *end = buf;
  // Prefix match: "Address" matches "Address 1: 10.0.0.1"; the separator is searched from the
  // start of the line.
  while (next_line(buf, search, name, namelen, &line, &end)) {
    const char_t *sep = line;
    while (*sep != '\0' && !in_set(*sep, ":=\t\r\n")) ++sep;
    if (sep < end && *sep != '\0') return copy_value(sep, end, value, valuelen);
    if (*end == '\0') break;
    line = end + 1;
  }
  return nullptr;
}

char_t *osl_str_getval_exact(const char_t *buf, int32_t buflen, const char_t *name,
                             char_t *value, int32_t valuelen) {
  if (value != nullptr && valuelen > 0) memset(value, 0, static_cast<size_t>(valuelen));
  if (buf == nullptr || name == nullptr || *name == '\0') return nullptr;
  const size_t search = buflen < 0 ? strlen(buf) : static_cast<size_t>(buflen);
  const size_t namelen = strlen(name);
  const char_t *line = buf;
  const char_t *end = buf;
  // The whole key: after the name only blanks, then "=", ":" or a tab ("poll" never reads the
  // line of "poll_cmd").
  while (next_line(buf, search, name, namelen, &line, &end)) {
    const char_t *sep = line + namelen;
    const char_t *tab = nullptr;
    while (*sep == ' ' || *sep == '\t') {
      if (*sep == '\t' && tab == nullptr) tab = sep;
      ++sep;
    }
    if (*sep != '=' && *sep != ':') sep = tab;
    if (sep != nullptr && sep < end) return copy_value(sep, end, value, valuelen);
    if (*end == '\0') break;
    line = end + 1;
  }
  return nullptr;
}

int32_t osl_str_isaddr(const char_t *buf) {
  if (buf == nullptr || *buf == '\0') return -1;
  for (const char_t *p = buf; *p != '\0'; ++p) {
    if (!is_digit(*p) && *p != '.') return -1;
  }
  return 0;
}

int64_t osl_str_str2int64(const char_t *str) {
  if (str == nullptr) return 0;
  return static_cast<int64_t>(read_u64(str, true));
}

uint64_t osl_str_str2uint64(const char_t *str) {
  if (str == nullptr) return 0;
  return read_u64(str, false);
}

int osl_str_to_int64(const char_t *text, int64_t *out) {
  int err = EINVAL;
  if (text != nullptr && out != nullptr) {
    while (is_c_space(*text)) ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    const char_t *end = text;
    while (is_digit(*end)) ++end;
    // The magnitude of INT64_MIN is one more than INT64_MAX.
    const uint64_t max = static_cast<uint64_t>(INT64_MAX) + (negative ? 1u : 0u);
    uint64_t v = 0;
    if (end == text || *end != '\0') {
      err = EINVAL;  // no digits, or text after them
    } else if (osl_sys::scan_digits(text, static_cast<size_t>(end - text), 10, max, &v) < 0) {
      err = ERANGE;
    } else {
      *out = negative ? static_cast<int64_t>(0u - v) : static_cast<int64_t>(v);
      return 0;
    }
  }
  errno = err;
  return -1;
}

int32_t osl_str_cmppath(const char_t *path1, const char_t *path2, int32_t len) {
  if (len < 0) return strcmp(path1, path2);
  return strncmp(path1, path2, static_cast<size_t>(len));
}

int32_t osl_str_isnumeric(const char *str) {
  if (str == nullptr || *str == '\0') return 0;
  for (const char *p = str; *p != '\0'; ++p) {
    if (!is_digit(*p)) return 0;
  }
  return 1;
}

int32_t osl_str_isfloat(const char *str) {
  if (str == nullptr || *str == '\0') return 0;
  for (const char *p = str; *p != '\0'; ++p) {
    if (!is_digit(*p) && *p != '.') return 0;
  }
  return 1;
}

}  // extern "C"
