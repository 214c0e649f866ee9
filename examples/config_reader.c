/* Reading a daemon's "key = value" configuration: each key by its whole name, numbers checked.
 *
 *   cc -std=c99 config_reader.c $(pkg-config --cflags --libs --static wanradio-osl) -o config_reader
 *   printf 'poll_cmd = /bin/true\npoll = 30\n' > radio.conf && ./config_reader radio.conf
 *
 * Exits 0, 1 when the file cannot be read, 2 when "poll" is missing or not a number. */
#include <osl/osl_string.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
  char_t conf[4096] = "poll_cmd = /bin/true\npoll = 30\n";
  char_t value[256];
  int64_t poll = 0;

  if (argc > 1) {
    FILE *f = fopen(argv[1], "r");
    size_t n;
    if (f == NULL) {
      fprintf(stderr, "config_reader: %s: %s\n", argv[1], strerror(errno));
      return 1;
    }
    n = fread(conf, 1, sizeof conf - 1, f);
    conf[n] = '\0';
    fclose(f);
  }

  /* The whole key: "poll" never reads the line of "poll_cmd", which osl_str_getval (a prefix
   * match) would return first. */
  if (osl_str_getval_exact(conf, -1, "poll", value, (int32_t)sizeof value) == NULL) {
    fprintf(stderr, "config_reader: no poll = N line\n");
    return 2;
  }
  /* Checked: "30s" or "" is refused, not read as 30 or 0. */
  errno = 0;
  if (osl_str_to_int64(value, &poll) != 0 || poll <= 0) {
    fprintf(stderr, "config_reader: poll '%s' is not a positive number (%s)\n", value,
            errno != 0 ? strerror(errno) : "zero or less");
    return 2;
  }
  printf("poll      %lld s\n", (long long)poll);
  if (osl_str_getval_exact(conf, -1, "poll_cmd", value, (int32_t)sizeof value) != NULL) {
    printf("poll_cmd  %s\n", value);
  }
  return 0;
}
