/* A configuration file read line by line: "key = value" lines, blank lines and '#' comments
 * skipped, a line too long for the buffer reported rather than half-read.
 *
 *   cc -std=c99 config_file.c $(pkg-config --cflags --libs --static wanradio-osl) -o config_file
 *   ./config_file /etc/some.conf
 *
 * Without an argument it reads a sample that it writes into a private temporary directory.
 * Exits 0 when the file was read to its end, 1 otherwise. */
#define _POSIX_C_SOURCE 200809L
#include <osl/osl_file.h>
#include <osl/osl_string.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char kSample[] =
    "# radio settings\n"
    "server = 127.0.0.1:8668\n"
    "\n"
    "  retries=3\r\n"
    "name = a value far longer than the sixty-four bytes this reader keeps for one line\n"
    "timeout = 10";  /* no final newline */

int main(int argc, char **argv) {
  char dir[] = "/tmp/config_file.XXXXXX", sample[64], line[64];
  const char *path = argc > 1 ? argv[1] : sample;
  int32_t n, number = 0;
  void *fp;

  if (argc < 2) {
    if (mkdtemp(dir) == NULL) return 1;
    osl_str_snprintf(sample, (int32_t)sizeof sample, "%s/radio.conf", dir);
    fp = osl_file_open(sample, OSL_FILE_CREATE);
    if (fp == NULL) return 1;
    osl_file_write(fp, kSample, (int32_t)(sizeof kSample - 1));
    osl_file_close(fp);
  }
  fp = osl_file_open(path, OSL_FILE_READ);
  if (fp == NULL) {
    fprintf(stderr, "%s: %s\n", path, strerror(errno));
    return 1;
  }
  /* n is what the line took from the file: 0 only at the end, so empty lines go on. */
  while ((n = osl_file_gets(fp, line, (int32_t)sizeof line)) > 0) {
    char *key = line, *value;
    ++number;
    if (n > (int32_t)strlen(line) + 1) {
      printf("line %d: longer than %d bytes or holds a zero byte, skipped\n", (int)number,
             (int)sizeof line - 1);
      continue;
    }
    osl_str_trim(key);
    if (*key == '\0' || *key == '#') continue;
    value = strchr(key, '=');
    if (value == NULL) {
      printf("line %d: no '=' in \"%s\"\n", (int)number, key);
      continue;
    }
    *value++ = '\0';
    printf("%s = \"%s\"\n", osl_str_trim(key), osl_str_trim(value));
  }
  if (n < 0) fprintf(stderr, "%s: %s\n", path, strerror(errno));
  osl_file_close(fp);
  if (argc < 2) {
    osl_file_delete(sample);
    rmdir(dir);
  }
  return n < 0 ? 1 : 0;
}
