// Reading nslookup's printed answer: text in, an address out, nothing else touched.
#include "osl_nslookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>

#include "osl_string.h"
#include "osl_sys.h"

namespace {

constexpr int32_t kAddrTextSize = 128;  // address text; value length 127

// Whether word (len bytes) names host (hlen bytes): the same name, or with a domain after it
// when domain_ok. Case is ignored, and so is a final '.' of either.
bool names_host(const char *word, size_t len, const char *host, size_t hlen, bool domain_ok) {
  if (len > 0 && word[len - 1] == '.') --len;
  if (hlen > 0 && host[hlen - 1] == '.') --hlen;
  if (hlen == 0 || len < hlen || !osl_sys::equal_nocase(word, host, hlen)) return false;
  return len == hlen || (domain_ok && word[hlen] == '.');
}

// The first blank-delimited word at or after p on its line; its length goes to *len.
const char *word_at(const char *p, size_t *len) {
  p += strspn(p, " \t");
  *len = strcspn(p, " \t\r\n");
  return p;
}

// Where the answer for hostname begins in the output's first len bytes: the line after its
// "Name:" line. That name is the queried one, the queried one with a search domain, or the
// canonical name of which an alias line ("mail.lan  canonical name = mx.lan.") says the queried
// one is an alias. The server lines before the answer may mention the name too and are not
// anchors. Null when there is no such line.
const char *answer_for(const char *out, size_t len, const char *hostname) {
  const size_t hlen = strlen(hostname);
  const char *alias = nullptr;  // the latest canonical name in the queried name's chain
  size_t alias_len = 0;
  const char *end = out + len;
  for (const char *line = out; line < end;) {
    const size_t left = static_cast<size_t>(end - line);
    const char *eol = static_cast<const char *>(memchr(line, '\n', left));
    const char *next = eol != nullptr ? eol + 1 : end;
    size_t wlen = 0;
    if (osl_strncmp_nocase(line, "Name:", 5) == 0) {
      const char *name = word_at(line + 5, &wlen);
      if (names_host(name, wlen, hostname, hlen, true) ||
          (alias != nullptr && names_host(name, wlen, alias, alias_len, false))) {
        return next;
      }
    } else {
      const char *owner = word_at(line, &wlen);
      const char *mark = strstr(owner + wlen, "canonical name =");
      if (mark != nullptr && mark < next &&
          (names_host(owner, wlen, hostname, hlen, true) ||
           (alias != nullptr && names_host(owner, wlen, alias, alias_len, false)))) {
        alias = word_at(mark + strlen("canonical name ="), &alias_len);
      }
    }
    line = next;
  }
  return nullptr;
}

// Where the answer that begins at answer ends, at or before end: at the next "Name:" line, which
// begins another name's answer, or the next failure line ("** server can't find ..."), which
// ends this one.
const char *answer_end(const char *answer, const char *end) {
  for (const char *line = answer; line < end;) {
    const size_t left = static_cast<size_t>(end - line);
    if ((left >= 5 && osl_sys::equal_nocase(line, "Name:", 5)) ||
        (left >= 2 && line[0] == '*' && line[1] == '*')) {
      return line;
    }
    const char *eol = static_cast<const char *>(memchr(line, '\n', left));
    line = eol != nullptr ? eol + 1 : end;
  }
  return end;
}

}  // namespace

namespace osl_nslookup {

bool is_plain_hostname(const char *name) {
  if (name[0] == '\0' || name[0] == '-') return false;
  for (const char *p = name; *p != '\0'; ++p) {
    char c = *p;
    bool ok = osl_sys::is_alnum(c) || c == '-' || c == '.' || c == '_';
    if (!ok) return false;
  }
  return true;
}

uint32_t address_of(const char *out, bool cut, const char *hostname) {
  size_t len = strlen(out);
  if (cut) {
    const char *last = strrchr(out, '\n');
    len = last != nullptr ? static_cast<size_t>(last + 1 - out) : 0;
  }
  const char *answer = answer_for(out, len, hostname);
  if (answer == nullptr) return 0;
  // Only lines of the answer count, and each of those ends within it.
  const char *stop = answer_end(answer, out + len);
  char revalu[kAddrTextSize];
  osl_str_getval(answer, static_cast<int32_t>(stop - answer), "Address", revalu,
                 kAddrTextSize - 1);
  if (revalu[0] == '\0') return 0;

  // "Address 1: 10.0.0.5 box" (busybox) carries words after the address: take the first word.
  size_t end = strcspn(revalu, " \t\r\n");
  revalu[end] = '\0';
  struct in_addr addr;
  if (inet_pton(AF_INET, revalu, &addr) != 1) return 0;
  return addr.s_addr;
}

}  // namespace osl_nslookup
