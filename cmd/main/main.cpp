// wanradio: reports, starts and stops the board's CDMA radio module by sending one HTTP/1.1
// request to the management service on 127.0.0.1:8668. Prints exactly one result line (two on
// a transport failure) and always exits with status 0.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include "http_framing.h"
#include "osl_socket.h"
#include "osl_string.h"
#include "reply_lines.h"
#include "tool_sys.h"

namespace {

constexpr const char *kName = "wanradio";
// The tool's own version, named by the help box and --version; the layer's library counts its
// releases apart (osl_version), as it gains functions the tool does not change for.
constexpr const char *kVersion = "1.0.0";
constexpr const char *kServiceAddr = "127.0.0.1";
constexpr uint16_t kServicePort = 8668;
constexpr int32_t kRequestSize = 512;    // room for the assembled request
constexpr int32_t kResponseSize = 1024;  // answer buffer; 1023 usable, one zero byte always left
constexpr int32_t kLimitMs = 10000;  // from the start of the connect to the whole answer

}  // namespace

void echo_help() {
  printf("\n***********【命令帮助（v%s）】***********\n", kVersion);
  printf("* %s help：查看命令帮助              *\n", kName);
  printf("* %s status：查看 CDMA 模组状态      *\n", kName);
  printf("* %s start：启动 CDMA 模组           *\n", kName);
  printf("* %s stop：关闭 CDMA 模组            *\n", kName);
  printf("********************************************\n");
}

namespace {

// Prints the request's failure line for code and releases the socket, if any. Returns -1.
int fail(int32_t code, SOCKET skt) {
  puts(answer_request_failure(code));
  if (skt != -1) osl_socket_destroy(skt);
  return -1;
}

using tool::Deadline;

// Waits until skt is ready for `events`. false once the deadline has passed or the wait failed.
bool wait_ready(SOCKET skt, short events, Deadline *deadline) {
  for (;;) {
    const int32_t left = deadline->wait_ms();
    if (left == 0) return false;
    struct pollfd pfd;
    pfd.fd = skt;
    pfd.events = events;
    pfd.revents = 0;
    const int r = poll(&pfd, 1, left);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

// Connects the non-blocking skt to the service by the deadline. A refusal fails at once.
bool connect_by(SOCKET skt, Deadline *deadline) {
  if (osl_socket_connect(skt, inet_addr(kServiceAddr), htons(kServicePort)) == 0) return true;
  if (errno != EINPROGRESS || !wait_ready(skt, POLLOUT, deadline)) return false;
  int32_t err = 0;
  int32_t len = static_cast<int32_t>(sizeof err);
  return osl_socket_get_opt(skt, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

// Sends all size bytes by the deadline.
bool send_by(SOCKET skt, char *buf, int32_t size, Deadline *deadline) {
  while (size > 0) {
    const int32_t n = osl_socket_send(skt, buf, size);
    if (n > 0) {
      buf += n;
      size -= n;
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR) ||
               !wait_ready(skt, POLLOUT, deadline)) {
      return false;
    }
  }
  return true;
}

// Receives into buf (room `size`, one more byte kept for the terminator) until the answer is
// complete, the peer closes, the buffer is full or the deadline has passed. Interim heads are
// dropped as they come, however long, so the final answer has the whole room. Returns the byte
// count, or -1 when no byte of the final answer arrived before a failed receive or the deadline.
int32_t receive_answer(SOCKET skt, char *buf, int32_t size, Deadline *deadline) {
  int32_t have = 0;
  bool interim = false;  // what buf holds is the rest of an interim head
  while (have < size) {
    int32_t n = -1;
    if (wait_ready(skt, POLLIN, deadline)) {
      n = osl_socket_recv(skt, buf + have, size - have);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    }
    if (n < 0) {
      if (have == 0 || interim) return -1;
      break;
    }
    if (n == 0) break;  // closed by the peer
    have = answer_drop_interim(buf, have + n, &interim);
    if (answer_complete(buf, have, size)) break;
  }
  buf[have] = '\0';
  return have;
}

}  // namespace

// Sends one request to the service and places the answer's body, terminated, at the start of
// respond_buf (room respond_bufsize + 1). Returns the body length (>= 0; 0 only for malformed
// framing), or -1 after printing why.
int request(bool is_post, const char *path, const char *params, char *respond_buf,
            int respond_bufsize) {
  char buf[kRequestSize];
  memset(buf, 0, sizeof buf);
  const int32_t size = answer_build_request(is_post, path, params, buf, kRequestSize);
  if (size < 0) return fail(-3, -1);  // never sends a request cut short

  // One limit for the connect, the send and the receive: a service whose listen queue is full
  // must not hold the tool for the minutes the kernel keeps retrying. The limit holds also where
  // the clock cannot be read.
  Deadline deadline(kLimitMs);
  const SOCKET skt = osl_socket_create(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, IPPROTO_TCP);
  if (skt == -1) return fail(-1, skt);
  if (!connect_by(skt, &deadline)) return fail(-2, skt);
  if (!send_by(skt, buf, size, &deadline)) return fail(-3, skt);

  const int32_t received = receive_answer(skt, respond_buf, respond_bufsize, &deadline);
  if (received < 0) return fail(-4, skt);
  const int32_t len = answer_take_body(respond_buf, received);
  if (len < 0) return fail(len == -5 ? -5 : -6, skt);
  osl_socket_destroy(skt);
  return len;
}

namespace {

// The steps the three commands share: request, then the one line the answer calls for.
void run_command(cmd_kind kind, bool is_post, const char *path, const char *params) {
  char buf[kResponseSize];
  memset(buf, 0, sizeof buf);
  const int len = request(is_post, path, params, buf, kResponseSize - 1);
  if (len < 0) {
    puts(answer_transport_failure(kind));
    return;
  }
  char line[256];
  answer_line(kind, buf, len, line, static_cast<int32_t>(sizeof line));
  fputs(line, stdout);
}

}  // namespace

void do_cmd_cdma_status() {
  run_command(CMD_STATUS, false, "/zov/lum/info", nullptr);
}

void do_cmd_cdma_start() {
  run_command(CMD_START, true, "/zov/cdma/enable", "enable=1");
}

void do_cmd_cdma_stop() {
  run_command(CMD_STOP, true, "/zov/cdma/enable", "enable=0");
}

int main(int argc, char **argv) {
  // A service that drops the connection must not kill the tool: a failed send is reported as
  // "request error, code = -3" instead of the process dying of SIGPIPE.
  signal(SIGPIPE, SIG_IGN);

  if (argc <= 1) {
    echo_help();
    return 0;
  }
  if (osl_strcmp_nocase("status", argv[1]) == 0) {
    do_cmd_cdma_status();
  } else if (osl_strcmp_nocase("start", argv[1]) == 0) {
    do_cmd_cdma_start();
  } else if (osl_strcmp_nocase("stop", argv[1]) == 0) {
    do_cmd_cdma_stop();
  } else if (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0) {
    printf("%s %s\n", kName, kVersion);
  } else {
    // Options are matched exactly, as other tools match them; the command words ignore case.
    const bool asked = osl_strcmp_nocase("help", argv[1]) == 0 ||
                       strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0;
    if (!asked) puts(answer_unknown_command());
    echo_help();
  }
  return 0;
}
