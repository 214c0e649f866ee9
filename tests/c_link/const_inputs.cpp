// Compiled, never run: a C++17 caller passes std::string::c_str() (or a pointer to const) to
// every input that the layer only reads. The build fails when one of them loses its const.
#include <stdarg.h>

#include <string>

#include "osl.h"
#include "osl_file.h"
#include "osl_log.h"
#include "osl_mem.h"
#include "osl_network.h"
#include "osl_socket.h"
#include "osl_string.h"
#include "osl_url.h"

void osl_const_inputs(const std::string &s, void *pool, void *fp, SOCKET skt, ...) {
  const char_t *t = s.c_str();
  char_t out[64];  // outputs are written, never checked here: null where a pointer will do
  const uint32_t utc = 0;
  va_list ap;
  va_start(ap, skt);
  osl_str_vsnprintf(out, 64, t, ap);
  va_end(ap);

  osl_strncmp_nocase(t, t, 1), osl_strcmp_nocase(t, t), osl_strlen(t), osl_strncpy(out, t, 1),
      osl_strncat(out, t, 1), osl_strstr(t, t), osl_strdup(t), osl_str_snprintf(out, 64, t, 1),
      osl_str_split(nullptr, t), osl_str_split_all(out, t, nullptr, 2, nullptr),
      osl_str_calcsize(t), osl_str_getval(t, -1, t, out, 64), osl_str_isaddr(t),
      osl_str_str2int64(t), osl_str_str2uint64(t), osl_str_cmppath(t, t, -1), osl_str_isnumeric(t),
      osl_str_isfloat(t), osl_str_str2time(t, 1), osl_str_date2utc(t),
      osl_str_html_escape(t, 1, out, 64);
  osl_url_parse(t, nullptr), osl_url_get_param(t, t, out, 64), osl_url_get_param_int(t, t),
      osl_url_get_param_long(t, t), osl_url_get_param_int64(t, t), osl_url_get_param_uint64(t, t),
      osl_url_getheadval(t, -1, t, out, 64), osl_url_encode(t, 1, out, 64),
      osl_url_encode_component(t, 1, out, 64), osl_url_decode(t, 1, out, 64), htoi(t);
  osl_log_set_target(t), osl_log_debug(t, 1), osl_log_info(t, 1), osl_log_warn(t, 1),
      osl_log_error(t, 1), osl_log_mod_create(t, 0), osl_log_mod_debug(1, t, 1),
      osl_log_mod_info(1, t, 1), osl_log_mod_warn(1, t, 1), osl_log_mod_error(1, t, 1),
      osl_log_hex(t, t, 1, 8);
  osl_mem_free(pool, osl_mem_realloc(pool, osl_mem_alloc(pool, 1, t, 1, nullptr), 2, t, 1), t, 1),
      osl_mem_strdup(pool, t, t, 1), osl_localtime(&utc), osl_excute(t, out, 64), osl_init(t),
      osl_excute_timed(t, out, 64, 0, nullptr),
      osl_assert(1, t, 1);
  osl_file_rename(t, t), osl_file_copy(t, t), osl_file_mv(t, t), osl_file_delete(t),
      osl_file_exist(t), osl_file_get_info(t, nullptr), osl_file_set_modify_utc(t, 0),
      osl_file_chmod(t, OSL_FILE_READ), osl_file_open(t, OSL_FILE_READ), osl_file_write(fp, t, 1);
  osl_network_dns(t), osl_network_convert_mac(t, nullptr), osl_network_gethostbyname(t, 1);
  osl_socket_set_opt(skt, 0, 0, t, 1), osl_socket_send(skt, t, 1),
      osl_socket_sendto(skt, 0, 0, t, 1);
}
