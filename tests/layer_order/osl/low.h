// A public header that pulls in a private one: the layer check must refuse it.
#include "secret.h"
