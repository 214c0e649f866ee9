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
 * dots, the first "Address" line of the answer in the output of "nslookup  hostname": the
 * answer begins at the "Name:" line that names hostname, hostname with a domain after it, or
 * the canonical name that a "canonical name =" line gives for it (case ignored; the server's
 * lines are never taken). The address must be a dotted a.b.c.d, words after a blank ignored;
 * other text gives 0. The fallback runs only for non-empty names made of letters, digits, '-',
 * '.' and '_' that do not begin with '-'; the name never reaches a shell otherwise. nslookup's
 * output is read to its end, up to 16 KiB; only lines ended by a line feed are read, so a line
 * cut there, or by a zero byte, gives 0, never another address. nslookup gets 10 s: one still running then is killed
 * with its whole process group and the result is 0. 0 when nothing was found. Serialised by
 * the module mutex once osl_network_init has run. */
uint32_t osl_network_dns(const char *hostname);

/* Clears size bytes of name and stores the host name with its terminator there: a name of
 * size - 1 characters fits. Returns 0, or -1 when size <= 0, when the name cannot be had, or
 * when it does not fit (errno ENAMETOOLONG; name then holds its first size - 1 characters and
 * the last byte stays 0). */
int32_t osl_network_get_local_name(char *name, int32_t size);

/* The IPv4 address of the first interface listed (of at most eight with IPv4 addresses) that is
 * up and not loopback; 0 when there is none or the list cannot be had. */
uint32_t osl_network_get_local_ip(void);

/* eth0's MAC address as "./config/getnetworkpara.sh eth0 mac" (run from the working directory)
 * prints it: xx:xx:xx:xx:xx:xx, the first byte in bits 40-47, the sixth in bits 0-7. At most 31
 * bytes of output are parsed; a group ends at a ':' before the next white space, else after two
 * characters; a group that is not two hexadecimal digits ends the parse and the bytes read so
 * far stand (missing ones 0). Text after the sixth group, such as a line end or words after
 * white space, is ignored. 0 when the script cannot be run or prints nothing usable, and when it
 * has not ended within 10 s: it is then killed with its whole process group (the script runs
 * as the leader of a group of its own, standard input on /dev/null). */
int64_t osl_network_get_mac(void);

/* Converts MAC text (hexadecimal digits with ':' or '-' between bytes, at most 17 characters
 * read) into the caller's six bytes mac[0..5], in text order. Returns 0, or -1 at the first
 * other character (bytes stored so far stay) or for a null argument. */
int32_t osl_network_convert_mac(const char_t *str, uchar_t *mac);

/* The IPv4 address of hostname by gethostbyname_r, bounded by s_timeout seconds (0 or less: no
 * limit, the lookup runs in the calling thread); the first of a host's addresses, however many it
 * has (the entry may take up to 64 KiB of scratch). With a limit the lookup runs on a detached
 * worker thread (all signals blocked) with its own copy of the name, and the caller waits on
 * the monotonic clock (the limit holds while that clock cannot be read); at the limit it prints "gethostbyname timeout!!!" and returns 0, and
 * the abandoned worker ends, and frees its own state, when the resolver gives up. At most
 * eight such workers run at once: beyond that a call waits within its own limit for one to
 * end. A lookup that fails, or whose worker cannot be started, prints "gethostname failed!"
 * and returns 0. Touches neither SIGALRM nor the alarm timer; any number of threads. A shared
 * build stays mapped for the life of the process once loaded (linked with -z nodelete), so
 * unloading it at any time after osl_exit is safe while a worker still runs. */
uint32_t osl_network_gethostbyname(const char *hostname, int32_t s_timeout);

#ifdef __cplusplus
}
#endif

#endif /* OSL_NETWORK_H */
