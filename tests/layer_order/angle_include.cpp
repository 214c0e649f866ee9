// Planted among the text layer's objects: it names a services header in angle brackets, as if it
// were a system header. The compiler opens it all the same, and the check must see that.
#include <osl_network.h>
