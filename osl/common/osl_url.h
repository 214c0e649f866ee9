/*
 * osl_url.h - URL layout, query parameters, header values, percent-encoding and decoding.
 *
 * Compiles as C99 and C++17; every function has C linkage.
 */
#ifndef OSL_URL_H
#define OSL_URL_H

#include <stdint.h>

#include "osl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- URL layout, query parameters and header values (osl_url.cpp) ---- */

/* ---- end URL layout ---- */

/* ---- encoding and decoding (osl_url_codec.cpp) ---- */

/* ---- end encoding and decoding ---- */

#ifdef __cplusplus
}
#endif

#endif /* OSL_URL_H */
