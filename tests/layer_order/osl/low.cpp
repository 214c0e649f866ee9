// A text-layer file that reaches up into the log layer: the layer check must refuse it.
#include "low.h"
#include "high.h"
