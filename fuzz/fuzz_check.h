// Property checks for the fuzz harnesses: a violated property prints what failed and aborts, so
// that libFuzzer records the input as a crash like any sanitizer report.
#ifndef OSL_FUZZ_CHECK_H
#define OSL_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(cond)                                                              \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #cond);   \
      abort();                                                                        \
    }                                                                                 \
  } while (0)

// A byte every guard region is filled with; a harness checks that it survives after a call, so
// that writes just past a stated size are caught even inside one allocation.
#define FUZZ_GUARD_BYTE 0xA5

#endif
