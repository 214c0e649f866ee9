// Planted among the text layer's objects: it includes the log header through a macro, which no
// reading of the include lines can resolve; the compiler's record of what it opened does.
#define LAYER_ORDER_HIGHER "osl_log.h"
#include LAYER_ORDER_HIGHER
