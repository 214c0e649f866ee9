/* Taking a URL apart: where host, port, path and query lie, and the query's parameters read
 * as text and as numbers, decoded where they were percent-encoded.
 *
 *   cc -std=c99 url_params.c $(pkg-config --cflags --libs --static wanradio-osl) -o url_params
 *   ./url_params 'http://user@radio.local:8668/zov/cdma?enable=1&name=cell%2042&retries=3'
 *
 * Exits 0, or 1 when the URL has no host. */
#include <osl/osl_url.h>

#include <stdio.h>

static void part(const char *what, const char *url, int32_t pos, int32_t len) {
  if (len > 0) printf("%-9s %.*s\n", what, (int)len, url + pos);
}

int main(int argc, char **argv) {
  const char_t *url =
      argc > 1 ? argv[1] : "http://radio.local:8668/zov/cdma?enable=1&name=cell%2042";
  char_t raw[128], decoded[128];
  SUrlInfo info;

  if (osl_url_parse(url, &info) != 0 || info.hostname_len == 0) {
    fprintf(stderr, "url_params: no host in %s\n", url);
    return 1;
  }
  part("user", url, info.username_pos, info.username_len);
  part("host", url, info.hostname_pos, info.hostname_len);
  part("port", url, info.hostport_pos, info.hostport_len);
  part("path", url, info.path_pos, info.path_len);
  part("query", url, info.param_pos, info.param_len);

  /* Numbers: -1 when a parameter is absent. */
  printf("enable    %d\n", osl_url_get_param_int(url, "enable"));
  printf("retries   %d\n", osl_url_get_param_int(url, "retries"));
  /* Text comes back as written; decode it yourself. */
  if (osl_url_get_param(url, "name", raw, (int32_t)sizeof raw) != NULL) {
    osl_url_decode(raw, (int32_t)sizeof raw, decoded, (int32_t)sizeof decoded);
    printf("name      %s (as written: %s)\n", decoded, raw);
  }
  return 0;
}
