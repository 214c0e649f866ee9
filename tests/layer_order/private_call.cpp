// Planted among the tool's objects: it reaches the layer's private helpers through a path
// relative to a public include directory, and calls one the shared library does not export.
#include <../private/osl_sys.h>

int layer_order_private_call(void) { return static_cast<int>(osl_sys::mono_ms() > 0); }
