// The version the library was built as, for programs to compare with the headers they used.
#include "osl_version.h"

const char *osl_version(void) { return OSL_VERSION_STRING; }
