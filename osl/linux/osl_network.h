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

/* The IPv4 address of hostname: up to ten getaddrinfo tries 1 ms apart (an IPv4 first answer
 * only), then, for a plain name (letters, digits, '-', '.', '_', no leading '-'), the first
 * "Address" line of the name's answer in "nslookup  hostname" (10 s at most). 0 when none. */
uint32_t osl_network_dns(const char *hostname);

/* Clears size bytes of name and stores the host name with its terminator there: a name of
 * size - 1 characters fits. Returns 0, or -1 when size <= 0, when the name cannot be had, or
 * when it does not fit (errno ENAMETOOLONG; name then holds its first size - 1 characters and
 * the last byte stays 0). */
int32_t osl_network_get_local_name(char *name, int32_t size);

/* The IPv4 address of the first interface listed (of at most eight with IPv4 addresses) that is
 * up and not loopback; 0 when there is none or the list cannot be had. */
uint32_t osl_network_get_local_ip(void);

/* eth0's MAC address as "./config/getnetworkpara.sh eth0 mac" prints it (xx:xx:xx:xx:xx:xx, the
 * first byte in bits 40-47); at most 31 bytes parsed, a bad group ends the parse. 0 when the
 * script fails, prints nothing usable or runs past 10 s (then killed with its group). */
int64_t osl_network_get_mac(void);

/* Converts MAC text (hexadecimal digits with ':' or '-' between bytes, at most 17 characters
 * read) into the caller's six bytes mac[0..5], in text order. Returns 0, or -1 at the first
 * other character (bytes stored so far stay) or for a null argument. */
int32_t osl_network_convert_mac(const char_t *str, uchar_t *mac);

/* The IPv4 address of hostname by gethostbyname_r within s_timeout seconds (<= 0: no limit), on
 * a worker thread it abandons at the limit ("gethostbyname timeout!!!", 0); "gethostname
 * failed!" and 0 when the lookup fails. Any number of threads; SIGALRM untouched. */
uint32_t osl_network_gethostbyname(const char *hostname, int32_t s_timeout);

#ifdef __cplusplus
}
#endif

#endif /* OSL_NETWORK_H */
