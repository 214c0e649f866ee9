/*
 * osl_network.h - host-name resolution and the machine's own network identity: local host
 * name, first active non-loopback IPv4 address, eth0's MAC address and MAC text conversion.
 *
 * IPv4 results are uint32_t in network byte order (as inet_addr gives them); 0 means none was
 * found. Compiles as C99 and C++17; every function has C linkage.
 */
#ifndef OSL_NETWORK_H
#define OSL_NETWORK_H

#include <stdint.h>

#include "osl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the mutex that serialises osl_network_dns (kept if it already exists). Returns 0, or
 * 1 when it could not be created (lookups then run unserialised). Called by osl_init. */
uint8_t osl_network_init(void);

/* Destroys the module mutex, if any. Called by osl_exit while no lookup runs. */
void osl_network_exit(void);

/* The IPv4 address of hostname (non-null, NUL-terminated): up to ten getaddrinfo attempts
 * 1 ms apart, where only an IPv4 first answer counts; then, for a name that is not digits and
 * dots, the "Address" line after the name in the output of "nslookup  hostname": a dotted
 * a.b.c.d address, words after a blank ignored; other text gives 0. The fallback runs only for
 * non-empty names made of letters, digits, '-', '.' and '_' that do not begin with '-'; the
 * name never reaches a shell otherwise. 0 when nothing was found. Serialised by
 * the module mutex once osl_network_init has run. */
uint32_t osl_network_dns(const char *hostname);

/* Clears size bytes of name and stores the host name in the first size - 1 (the last byte stays
 * 0). Returns gethostname's result: 0, or -1 (also when the name does not fit or size <= 0). */
int32_t osl_network_get_local_name(char *name, int32_t size);

/* The IPv4 address of the first interface listed (of at most eight with IPv4 addresses) that is
 * up and not loopback; 0 when there is none or the list cannot be had. */
uint32_t osl_network_get_local_ip(void);

/* eth0's MAC address as "./config/getnetworkpara.sh eth0 mac" (run from the working directory)
 * prints it: xx:xx:xx:xx:xx:xx, the first byte in bits 40-47, the sixth in bits 0-7. At most 31
 * bytes of output are parsed; a group ends at a ':' before the next white space, else after two
 * characters; a group that is not two hexadecimal digits ends the parse and the bytes read so
 * far stand (missing ones 0). Text after the sixth group, such as a line end or words after
 * white space, is ignored. 0 when the script cannot be run or prints nothing usable. */
int64_t osl_network_get_mac(void);

/* Converts MAC text (hexadecimal digits with ':' or '-' between bytes, at most 17 characters
 * read) into the caller's six bytes mac[0..5], in text order. Returns 0, or -1 at the first
 * other character (bytes stored so far stay) or for a null argument. */
int32_t osl_network_convert_mac(const char_t *str, uchar_t *mac);

/* The IPv4 address of hostname by gethostbyname_r, bounded by s_timeout seconds (0: no limit)
 * with SIGALRM and alarm(); prints "gethostbyname timeout!!!", "gethostname failed!" or
 * "sigaction error!" and returns 0 on failure. Leaves its SIGALRM handler installed; outside a
 * lookup with a limit it ignores the signal. One thread at a time, any thread (another thread
 * that takes the alarm passes it on), in a process that uses neither alarm() nor SIGALRM
 * otherwise. */
uint32_t osl_network_gethostbyname(const char *hostname, int32_t s_timeout);

#ifdef __cplusplus
}
#endif

#endif /* OSL_NETWORK_H */
