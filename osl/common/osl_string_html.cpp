// HTML escaping of the four characters that can break markup or an attribute value. Reports
// through the debug log, so the messages appear only when the log admits debug texts.
#include "osl_log.h"
#include "osl_string.h"

namespace {

// The entity for c, or null when c is copied as it is.
const char_t *entity(char_t c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    default: return nullptr;
  }
}

// Shows at most room bytes of a caller buffer in a message: its length is not known to be
// terminated, so the text is never read beyond what the caller said it holds.
int32_t shown_len(const char_t *p, int32_t room) {
  if (p == nullptr || room <= 0) return 0;
  int32_t n = 0;
  while (n < room && p[n] != '\0') ++n;
  return n;
}

}  // namespace

extern "C" {

void osl_str_html_escape(const char_t *src, int32_t srclen, char_t *dst, int32_t dstsize) {
  if (src == nullptr || dst == nullptr || srclen <= 0 || dstsize <= 0) {
    const char_t *src_text = src != nullptr ? src : "(null)";
    const char_t *dst_text = dst != nullptr ? dst : "(null)";
    osl_log_debug("[osl_str_html_escape] param error!!! srclen=%d, src=%.*s, dstsize=%d, dst=%.*s\n",
                  srclen, src != nullptr ? shown_len(src, srclen) : 6, src_text, dstsize,
                  dst != nullptr ? shown_len(dst, dstsize) : 6, dst_text);
    return;
  }
  int32_t index = 0;
  for (int32_t i = 0; i < srclen; ++i) {
    const char_t *e = entity(src[i]);
    if (e == nullptr) {
      if (index + 1 > dstsize - 1) break;
      dst[index++] = src[i];
    } else {
      const int32_t n = osl_strlen(e);
      if (index + n > dstsize - 1) break;
      for (int32_t k = 0; k < n; ++k) dst[index++] = e[k];
    }
  }
  dst[index] = '\0';
  osl_log_debug("[COther][escape_html] index=%d, dst=%s\n", index, dst);
}

}  // extern "C"
