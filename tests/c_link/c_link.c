/* Built as C99 and linked by the C driver alone: proves the public headers are C and that the
 * layer needs no C++ runtime library. */
#include "osl_types.h"
#include "osl_string.h"
#include "osl_url.h"
#include "osl.h"
#include "osl_socket.h"

int main(void) {
  return 0;
}
