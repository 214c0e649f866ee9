// Planted twice: in the text layer as a weak default that the text layer calls, and in the
// services layer (LAYER_ORDER_STRONG) as the strong definition that wins at link time, so the
// text layer's call lands in the services.
#include <stdint.h>

#ifdef LAYER_ORDER_STRONG
extern "C" int32_t layer_order_hook(void) { return 4; }
#else
extern "C" __attribute__((weak, noinline)) int32_t layer_order_hook(void) { return 1; }
extern "C" int32_t layer_order_hook_user(void) { return layer_order_hook(); }
#endif
