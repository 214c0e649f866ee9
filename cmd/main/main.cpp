// wanradio: reports, starts and stops the board's CDMA radio module by sending one HTTP/1.1
// request to the management service on 127.0.0.1:8668. Prints exactly one result line (two on
// a transport failure) and always exits with status 0.
#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "answer.h"
#include "osl_socket.h"
#include "osl_string.h"

namespace {

constexpr const char *kName = "wanradio";
constexpr const char *kVersion = "1.0.0";
constexpr const char *kServiceAddr = "127.0.0.1";
constexpr uint16_t kServicePort = 8668;
constexpr int32_t kRequestSize = 512;    // room for the assembled request
constexpr int32_t kResponseSize = 1024;  // answer buffer; 1023 usable, one zero byte always left
constexpr int32_t kRecvTimeoutSec = 10;  // a service that accepts but never answers

}  // namespace

void echo_help() {
  printf("\n***********【命令帮助（v%s）】***********\n", kVersion);
  printf("* %s help：查看命令帮助              *\n", kName);
  printf("* %s status：查看 CDMA 模组状态      *\n", kName);
  printf("* %s start：启动 CDMA 模组           *\n", kName);
  printf("* %s stop：关闭 CDMA 模组            *\n", kName);
  printf("********************************************\n");
}

// Sends one request to the service and places the answer's body, terminated, at the start of
// respond_buf. Returns the body length (> 0), or -1 after printing why.
int request(bool is_post, const char *path, const char *params, char *respond_buf,
            int respond_bufsize) {
  char buf[kRequestSize];
  int32_t size = 0;
  memset(buf, 0, sizeof buf);

  const uint32_t ip = inet_addr(kServiceAddr);
  const uint16_t port = htons(kServicePort);
  const SOCKET skt = osl_socket_create(2, 1, 6);
  if (skt == -1) {
    puts("can not connect to server. error code = -1");
    return -1;
  }
  if (osl_socket_connect(skt, ip, port) < 0) {
    puts("can not connect to server. error code = -2");
    osl_socket_destroy(skt);
    return -1;
  }

  const bool has_params = params != nullptr && params[0] != '\0';
  size += osl_str_snprintf(buf + size, kRequestSize - size, "%s ", is_post ? "POST" : "GET");
  if (!is_post && has_params) {
    size += osl_str_snprintf(buf + size, kRequestSize - size, "%s?%s HTTP/1.1\r\n", path, params);
  } else {
    size += osl_str_snprintf(buf + size, kRequestSize - size, "%s HTTP/1.1\r\n", path);
  }
  size += osl_str_snprintf(buf + size, kRequestSize - size, "Host: 127.0.0.1:8668\r\n");
  size += osl_str_snprintf(buf + size, kRequestSize - size, "Accept: application/json, */*\r\n");
  if (is_post && has_params) {
    size += osl_str_snprintf(buf + size, kRequestSize - size, "Content-Length: %d\r\n",
                             static_cast<int>(strlen(params)));
    size += osl_str_snprintf(buf + size, kRequestSize - size, "\r\n");
    size += osl_str_snprintf(buf + size, kRequestSize - size, "%s", params);
  } else {
    size += osl_str_snprintf(buf + size, kRequestSize - size, "\r\n");
  }

  if (osl_socket_send(skt, buf, size) < 0) {
    puts("request error, code = -3");
    osl_socket_destroy(skt);
    return -1;
  }

  // Never hang on a service that accepts and stays silent: the receive fails after the limit.
  struct timeval tv;
  memset(&tv, 0, sizeof tv);
  tv.tv_sec = kRecvTimeoutSec;
  osl_socket_set_opt(skt, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&tv),
                     static_cast<int32_t>(sizeof tv));

  const int32_t received = osl_socket_recv(skt, respond_buf, respond_bufsize);
  if (received < 0) {
    puts("request error, code = -4");
    osl_socket_destroy(skt);
    return -1;
  }
  respond_buf[received] = '\0';  // callers leave one byte past respond_bufsize for it

  const int32_t len = answer_cut_body(respond_buf, received);
  osl_socket_destroy(skt);
  if (len == -5) {
    puts("request error, code = -5");
    return -1;
  }
  if (len <= 0) {
    puts("request error, code = -6");
    return -1;
  }
  return len;
}

namespace {

// The steps the three commands share: request, then the one line the answer calls for.
void run_command(cmd_kind kind, bool is_post, const char *path, const char *params) {
  char buf[kResponseSize];
  memset(buf, 0, sizeof buf);
  if (request(is_post, path, params, buf, kResponseSize - 1) <= 0) {
    puts(answer_transport_failure(kind));
    return;
  }
  char line[256];
  answer_line(kind, buf, line, static_cast<int32_t>(sizeof line));
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
  } else {
    if (osl_strcmp_nocase("help", argv[1]) != 0) puts("无法识别的命令!");
    echo_help();
  }
  return 0;
}
