// Small system queries: the processor count, a line from standard input, an address printed,
// the identifier stub, and the non-fatal assertion.

#include "osl.h"

#include <stdio.h>
#include <string.h>

#include "osl_string.h"

namespace {

constexpr int32_t kCpuLineSize = 1024;  // line buffer of osl_get_cpu_count; reads take 1023

}  // namespace

extern "C" {

int32_t osl_get_cpu_count(void) {
  FILE *fp = fopen("/proc/cpuinfo", "rbe");
  if (fp == nullptr) return -1;
  int32_t count = 0;
  char line[kCpuLineSize];
  memset(line, 0, sizeof line);
  // A line longer than 1022 characters arrives in pieces; each piece is tested as a line.
  while (fgets(line, kCpuLineSize - 1, fp) != nullptr) {
    if (osl_strncmp_nocase(line, "processor", 9) == 0) ++count;
  }
  fclose(fp);
  return count;
}

void os_sys_print_ip(uint32_t ip) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    printf("%d.", static_cast<int>((ip >> shift) & 0xFFu));
  }
}

int32_t osl_generate_uuid(char_t *buf, int32_t size) {
  (void)buf;
  (void)size;
  return 1;
}

void osl_assert(int32_t flag, const char *file, int32_t line) {
  if (flag == 0) {
    printf("%s(%d): assert failed\n", file != nullptr ? file : "", static_cast<int>(line));
  }
}

}  // extern "C"
