/* min_client: the floor for one process and one round trip to the board's management service.
 * Connects to 127.0.0.1:8668, sends the fixed status request, reads once and copies what arrived
 * to standard output. No parsing, no library beyond libc: whatever wanradio costs above this is
 * its own start-up, JSON and output work. Exits 1 when the round trip fails. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const char m_request[] =
    "GET /zov/lum/info HTTP/1.1\r\n"
    "Host: 127.0.0.1:8668\r\n"
    "Accept: application/json, */*\r\n"
    "\r\n";

int main(void) {
  char buf[1024];
  struct sockaddr_in addr;
  ssize_t n;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 1;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(8668);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) return 1;
  if (send(fd, m_request, sizeof m_request - 1, 0) != (ssize_t)(sizeof m_request - 1)) return 1;
  n = recv(fd, buf, sizeof buf, 0);
  close(fd);
  if (n <= 0) return 1;
  return write(1, buf, (size_t)n) == n ? 0 : 1;
}
