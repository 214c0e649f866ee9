// Planted among the wrapper layer's objects: it calls up into the services, through declarations
// that a text header (osl_string.h) and a wrapper header (osl.h) make. The call check must
// refuse it although every include is allowed.
#include "osl_string.h"
#include "osl.h"

extern "C" int32_t layer_order_upward_call(char_t *dst, int32_t size) {
  osl_str_html_escape("<a>", 3, dst, size);
  return osl_init("planted");
}
