/*
 * osl.h - process services of the osl layer: clocks and the time zone, shell commands and
 * system queries, start-up, shutdown and signals.
 *
 * Compiles as C99 and C++17; every function has C linkage.
 */
#ifndef OSL_H
#define OSL_H

#include <stdint.h>
#include <time.h>

#include "osl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- clocks and time zone (osl.cpp) ---- */

/* ---- end clocks and time zone ---- */

/* ---- commands, system queries, start-up and signals (osl_process.cpp) ---- */

/* ---- end commands, start-up and signals ---- */

#ifdef __cplusplus
}
#endif

#endif /* OSL_H */
