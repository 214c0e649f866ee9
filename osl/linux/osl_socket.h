/*
 * osl_socket.h - thin IPv4 socket wrappers.
 *
 * Each call maps onto one system call (or a short fixed sequence) and hands its result back
 * unchanged: -1 on failure with the reason in the calling thread's errno, never retried. ip and
 * port are in network byte order in both directions; the layer never converts them. No call
 * allocates, prints or logs. Compiles as C99 and C++17.
 */
#ifndef OSL_SOCKET_H
#define OSL_SOCKET_H

#include <stdint.h>

#include "osl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* socket(af, type, protocol): the new socket or -1. Sets no option of its own. */
SOCKET osl_socket_create(int32_t af, int32_t type, int32_t protocol);

/* Closes skt unless it is -1. */
void osl_socket_destroy(SOCKET skt);

/* connect to ip:port: 0 connected, -1 on failure (EINPROGRESS for a non-blocking socket). */
int32_t osl_socket_connect(SOCKET skt, uint32_t ip, uint16_t port);

/* Zero-wait poll of a connecting socket: 1 nothing reported yet, 0 connected, -1 failed (an
 * error, a hang-up, or no socket at skt: errno EBADF). Needs no descriptor of its own. */
int32_t osl_socket_get_connect_state(SOCKET skt);

/* Classifies the calling thread's errno: 0 for EAGAIN/EWOULDBLOCK or EINPROGRESS, else -1.
 * Call it right after the failed operation, in the same thread. */
int32_t osl_socket_get_state(void);

/* bind to exactly ip:port (127.0.0.1 stays the loopback only; 0 is INADDR_ANY, every local
 * address): 0 or -1. */
int32_t osl_socket_bind(SOCKET skt, uint32_t ip, uint16_t port);

/* listen(skt, max): 0 or -1; max is the backlog. */
int32_t osl_socket_listen(SOCKET skt, int32_t max);

/* accept: the new connection, or the negative result of accept. On success the peer's address
 * and port are stored through the non-null pointers; on failure nothing is stored. */
SOCKET osl_socket_accept(SOCKET skt, uint32_t *ip, uint16_t *port);

/* ioctl(skt, type, val): the call's result. */
int32_t osl_socket_ioctl(SOCKET skt, int32_t type, uint32_t *val);

/* setsockopt with the same arguments: the call's result. */
int32_t osl_socket_set_opt(SOCKET skt, int32_t level, int32_t optname, const char *optval,
                           int32_t optlen);

/* getsockopt with the same arguments: *optlen is the room at optval on entry and the length
 * written on return. Pointers go to the kernel unchanged: a null optlen fails with EFAULT (and
 * leaves a pending SO_ERROR in place). */
int32_t osl_socket_get_opt(SOCKET skt, int32_t level, int32_t optname, int32_t *optval,
                           int32_t *optlen);

/* getsockname: the call's result; on success the local address and port go through the non-null
 * pointers (undefined after a failure, so look at the result first). */
int32_t osl_socket_get_sockname(SOCKET skt, uint32_t *ip, uint16_t *port);

/* send(skt, buf, size, 0): bytes taken or -1; a short send is the caller's to handle. A negative
 * size sends nothing: -1 with EINVAL. */
int32_t osl_socket_send(SOCKET skt, const void *buf, int32_t size);

/* recv(skt, buf, size, 0): bytes received, 0 at orderly close, -1 on failure. Writes nothing
 * after the received bytes (no terminator); a negative size writes nothing: -1 with EINVAL. */
int32_t osl_socket_recv(SOCKET skt, void *buf, int32_t size);

/* Joins multicast group ip on the interface the kernel chooses (IP_ADD_MEMBERSHIP). */
int32_t osl_socket_join(SOCKET skt, uint32_t ip);

/* Leaves multicast group ip (IP_DROP_MEMBERSHIP). */
int32_t osl_socket_drop(SOCKET skt, uint32_t ip);

/* sendto(skt, buf, size, 0) to ip:port: bytes sent or -1 (EINVAL for a negative size). */
int32_t osl_socket_sendto(SOCKET skt, uint32_t ip, uint16_t port, const void *buf, int32_t size);

/* recvfrom(skt, buf, size, 0): bytes received or -1 (EINVAL for a negative size, nothing read).
 * The sender's address and port are stored through the non-null pointers even on failure, when
 * both are 0. */
int32_t osl_socket_recvfrom(SOCKET skt, uint32_t *ip, uint16_t *port, void *buf, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* OSL_SOCKET_H */
