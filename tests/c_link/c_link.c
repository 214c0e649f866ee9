/* Built as C99 and linked by the C driver alone, with the archive and with the runtime: proves
 * the public headers are C and that the layer needs no C++ runtime library. Like many programs,
 * it has an htoi of its own, which the layer's decoders must not call. */
#include "osl_types.h"
#include "osl_string.h"
#include "osl_url.h"
#include "osl.h"
#include "osl_socket.h"
#include "osl_mutex.h"
#include "osl_file.h"
#include "osl_network.h"
#include "osl_mem.h"
#include "osl_log.h"
#include "osl_version.h"

#include <string.h>

/* The classic exercise: a whole string of hexadecimal digits ("41bc" is 0x41bc). */
int32_t htoi(const char_t *s) {
  int32_t v = 0;
  for (; *s != '\0' && strchr("0123456789abcdefABCDEF", *s) != NULL; ++s)
    v = v * 16 + (*s <= '9' ? *s - '0' : (*s | 0x20) - 'a' + 10);
  return v;
}

int main(void) {
  /* the headers and the library name one version */
  if (strcmp(osl_version(), OSL_VERSION_STRING) != 0 || OSL_VERSION_MAJOR < 1) return 1;
  {
    /* clocks, date text and the timed mutex */
    char_t date[32];
    void *mutex = osl_mutex_create();
    if (mutex == NULL || osl_mutex_lock(mutex, -1) != 0) return 1;
    osl_mutex_unlock(mutex);
    osl_mutex_destroy(mutex);
    (void)osl_get_ms();
    if (osl_str_utc2date(osl_get_utc(), date, (int32_t)sizeof date) != date) return 1;
  }
  {
    /* tokenising, value lookup and URL layout */
    char_t text[] = "udp://logs:514/x?level=3";
    char_t head[] = "Content-Length: 25\r\n";
    char_t name[] = "content-length", param[] = "level";
    char_t value[8];
    SUrlInfo info;
    if (osl_url_parse(text, &info) != 0 || info.hostport_len != 3) return 1;
    if (osl_url_get_param_int(text, param) != 3) return 1;
    if (osl_str_getval(head, -1, name, value, (int32_t)sizeof value) != value) return 1;
    if (osl_str_calcsize(value) != 25u) return 1;
  }
  {
    /* the tracked pool in a static buffer */
    static char_t pool_buf[512];
    void *pool = osl_mem_create(pool_buf, (int64_t)sizeof pool_buf, 8);
    void *block;
    if (pool == NULL) return 1;
    block = osl_mem_alloc(pool, 40, __FILE__, __LINE__, NULL);
    if (block == NULL || osl_mem_free(pool, block, __FILE__, __LINE__) != 56) return 1;
    osl_mem_destroy(pool);
  }
  {
    /* files: nothing opens under an empty name, and a null handle has no position */
    if (osl_file_open("", OSL_FILE_READ) != NULL || osl_file_exist("") != -1) return 1;
    if (osl_file_tell(NULL) != -1) return 1;
  }
  {
    /* logging with everything filtered out, percent-encoding and HTML escaping */
    char_t enc[16], dec[16], html[16];
    osl_log_init(OSL_LOG_NONE);
    if (osl_log_warn("%d\n", 1) != 0 || osl_log_mod_create("c", OSL_LOG_ALL) != 1) return 1;
    if (osl_url_encode("a b", 3, enc, (int32_t)sizeof enc) != 3) return 1;
    if (osl_url_decode(enc, 3, dec, (int32_t)sizeof dec) != 3 || htoi("ff") != 255) return 1;
    if (osl_url_decode("%41bc", 5, dec, (int32_t)sizeof dec) != 3 || strcmp(dec, "Abc") != 0)
      return 1;
#ifdef OSL_C_LINK_SHARED /* linked statically, url_decode brings the layer's htoi along */
    strcpy(dec, "%41bc");
    if (url_decode(dec, 5) != 3 || memcmp(dec, "Abc", 3) != 0) return 1;
#endif
    osl_str_html_escape("<", 1, html, (int32_t)sizeof html);
    if (html[0] != '&') return 1;
  }
  {
    /* a command, MAC text, and start-up without the single-instance check */
    char_t cmd[] = "printf ok", out[8], mactext[] = "00:1a:2b:3c:4d:5e";
    uchar_t mac[6];
    if (osl_excute(cmd, out, (int32_t)sizeof out - 1) != 0 || out[0] != 'o') return 1;
    if (osl_network_convert_mac(mactext, mac) != 0 || mac[5] != 0x5e) return 1;
    if (osl_init(NULL) != 0 || osl_is_exit() != 0) return 1;
    osl_exit();
  }
  return 0;
}
