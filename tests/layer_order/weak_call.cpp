// Planted among the text layer's objects: a weak declaration of start-up makes the call a weak
// undefined symbol (nm type w), which is a use like any other.
#include <stdint.h>

extern "C" int32_t osl_init(const char *name) __attribute__((weak));

extern "C" int32_t layer_order_weak_call(void) { return osl_init ? osl_init("planted") : -1; }
