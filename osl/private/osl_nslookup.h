// The nslookup fallback's text half, as pure functions: which names may be handed to nslookup,
// and which address its printed answer gives for a name. Private to the layer: never installed.
#ifndef OSL_NSLOOKUP_H
#define OSL_NSLOOKUP_H

#include <stdint.h>

namespace osl_nslookup {

// The names that may be handed to nslookup: non-empty, letters, digits, '-', '.' and '_' only,
// and not starting with '-' (which nslookup would take for an option). Nothing in such a name
// means anything to the shell.
bool is_plain_hostname(const char *name);

// The address of hostname in out, nslookup's NUL-terminated output, in network order: the first
// "Address" line of the answer for the name, its first word a dotted a.b.c.d. The answer begins
// after the "Name:" line that names hostname, hostname with a domain, or the canonical name an
// alias line gives for it (case and a final '.' ignored). cut: the output may go on past out,
// so text after its last line feed is no whole line and is not read. 0 when there is none.
uint32_t address_of(const char *out, bool cut, const char *hostname);

}  // namespace osl_nslookup

#endif  // OSL_NSLOOKUP_H
