// wanradio-sim: stands in for the board's management service so that wanradio can be run and
// tested on a development machine. A small HTTP/1.1 server on 127.0.0.1 (port 8668 unless told
// otherwise) that keeps the radio state in memory:
//   GET  /zov/lum/info                      -> {"code":0,"result":{"cdmaEnable":N}}
//   POST /zov/cdma/enable  enable=1|enable=0 -> {"code":0}, switching the state
// Unknown paths get 404, malformed requests 400, both with a JSON "code". Clients are served one
// after another until SIGINT or SIGTERM. Flags make it misbehave on purpose, for tests.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "osl_socket.h"
#include "osl_string.h"

namespace {

enum class Fault {
  kNone,
  kNoBlank,    // headers not followed by a blank line
  kEmptyBody,  // headers and blank line, then nothing
  kNonJson,    // a body that is not JSON
  kClose,      // close without answering
  kHang,       // accept, read, never answer
  kSplit,      // headers in one segment, body in a second one a moment later
  kLongBody,   // a JSON body longer than the tool's 1023-byte buffer
  kPieces,     // the answer in small pieces, a pause between them
  kChunked,    // a chunked body, sent in small pieces
  kBadChunk,   // a chunked body whose sizes do not match its data
  kKeepAlive,  // a complete answer, then the connection stays open
  kHalf,       // Content-Length of the whole body, half of it sent, then silence
  kInterim,    // 100 and 103 heads before the answer, then the connection stays open
};

struct Options {
  uint16_t port = 8668;
  int state = 0;          // cdmaEnable at start
  bool fixed_code = false;
  int code = 0;           // with fixed_code: the "code" of every answer
  Fault fault = Fault::kNone;
  const char *body = nullptr;  // with --body: sent verbatim as the body of every answer
  long count = -1;             // serve this many clients, then exit; -1 for no limit
  bool quiet = false;
};

volatile sig_atomic_t m_stop = 0;
Options m_opt;
int m_state = 0;

constexpr int kRequestMax = 8192;
constexpr int kIoTimeoutSec = 5;  // a client that stops sending mid-request is dropped
constexpr int kHoldSec = 20;      // keep-alive and half: how long a connection is left open
constexpr int kPieceMs = 20;      // pause between pieces

void on_signal(int) { m_stop = 1; }

void usage(FILE *out) {
  fputs(
      "usage: wanradio-sim [--port N] [--state 0|1] [--code N] [--body TEXT] [--count N]\n"
      "                    [--quiet] [--fault F]\n"
      "Simulated board management service for wanradio, on 127.0.0.1 (default port 8668).\n"
      "  --port N      listen on 127.0.0.1:N\n"
      "  --state 0|1   initial radio state (cdmaEnable), default 0\n"
      "  --code N      answer every request with \"code\":N (state is not changed)\n"
      "  --body TEXT   answer every request with TEXT as the body\n"
      "  --count N     exit after serving N clients\n"
      "  --quiet       do not log requests on standard error\n"
      "  --fault F     misbehave on purpose, F one of:\n"
      "                no-blank, empty-body, non-json, close, hang, split (headers and body in\n"
      "                two writes), long-body, pieces (small pieces with pauses), chunked,\n"
      "                bad-chunk, keep-alive (complete answer, connection left open), half\n"
      "                (half the body, then silence), interim (100 and 103 heads first,\n"
      "                connection left open)\n",
      out);
}

bool parse_int(const char *s, long lo, long hi, long *out) {
  int64_t v = 0;
  if (osl_str_to_int64(s, &v) != 0 || v < lo || v > hi) return false;
  *out = static_cast<long>(v);
  return true;
}

bool parse_args(int argc, char **argv) {
  static const struct {
    const char *name;
    Fault fault;
  } faults[] = {{"no-blank", Fault::kNoBlank}, {"empty-body", Fault::kEmptyBody},
                {"non-json", Fault::kNonJson}, {"close", Fault::kClose},
                {"hang", Fault::kHang},         {"split", Fault::kSplit},
                {"long-body", Fault::kLongBody}, {"pieces", Fault::kPieces},
                {"chunked", Fault::kChunked},   {"bad-chunk", Fault::kBadChunk},
                {"keep-alive", Fault::kKeepAlive}, {"half", Fault::kHalf},
                {"interim", Fault::kInterim}};
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
    long n = 0;
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
      usage(stdout);
      exit(0);
    } else if (strcmp(a, "--quiet") == 0) {
      m_opt.quiet = true;
    } else if (v == nullptr) {
      fprintf(stderr, "wanradio-sim: %s needs a value\n", a);
      return false;
    } else if (strcmp(a, "--port") == 0 && parse_int(v, 1, 65535, &n)) {
      m_opt.port = static_cast<uint16_t>(n);
      ++i;
    } else if (strcmp(a, "--state") == 0 && parse_int(v, 0, 1, &n)) {
      m_opt.state = static_cast<int>(n);
      ++i;
    } else if (strcmp(a, "--code") == 0 && parse_int(v, -2147483647L - 1, 2147483647L, &n)) {
      m_opt.fixed_code = true;
      m_opt.code = static_cast<int>(n);
      ++i;
    } else if (strcmp(a, "--count") == 0 && parse_int(v, 1, 1000000000L, &n)) {
      m_opt.count = n;
      ++i;
    } else if (strcmp(a, "--body") == 0) {
      m_opt.body = v;
      ++i;
    } else if (strcmp(a, "--fault") == 0) {
      bool known = false;
      for (const auto &f : faults) {
        if (strcmp(v, f.name) == 0) {
          m_opt.fault = f.fault;
          known = true;
        }
      }
      if (!known) {
        fprintf(stderr, "wanradio-sim: unknown fault '%s'\n", v);
        return false;
      }
      ++i;
    } else {
      fprintf(stderr, "wanradio-sim: bad argument '%s %s'\n", a, v);
      return false;
    }
  }
  return true;
}

bool send_all(SOCKET skt, const char *data, int32_t len) {
  while (len > 0) {
    const int32_t n = osl_socket_send(skt, const_cast<char *>(data), len);
    if (n <= 0) {
      if (n < 0 && errno == EINTR && !m_stop) continue;
      return false;
    }
    data += n;
    len -= n;
  }
  return true;
}

// Reads one request: headers up to the blank line, then Content-Length bytes of body.
// Returns the request length (terminated in buf), 0 when the client closed before sending
// anything, -1 when it was malformed, too long or too slow.
int32_t read_request(SOCKET skt, char *buf, int32_t room, int32_t *body_off) {
  int32_t have = 0;
  int32_t need = -1;  // total length once the headers are known
  while (need < 0 || have < need) {
    if (have >= room - 1) return -1;
    const int32_t n = osl_socket_recv(skt, buf + have, room - 1 - have);
    if (n < 0 && errno == EINTR && !m_stop) continue;
    if (n <= 0) return have == 0 ? 0 : -1;
    have += n;
    buf[have] = '\0';
    if (need < 0) {
      const char *end = strstr(buf, "\r\n\r\n");
      if (end == nullptr) continue;
      *body_off = static_cast<int32_t>(end - buf) + 4;
      // The head's own lines only (the bound stops at its blank line), the whole field name.
      int64_t clen = 0;
      char value[32];
      if (osl_str_getval_exact(buf, static_cast<int32_t>(end - buf), "Content-Length", value,
                               sizeof value) != nullptr &&
          (osl_str_to_int64(value, &clen) != 0 || clen < 0 || clen > room)) {
        return -1;
      }
      need = *body_off + static_cast<int32_t>(clen);
    }
  }
  buf[need] = '\0';
  return need;
}

// Keeps the connection open, reading and dropping whatever comes, until the client closes, we
// are stopped, or kHoldSec have passed (past the tool's own 10-second limit).
void hold_open(SOCKET skt) {
  for (int waited = 0; !m_stop && waited < kHoldSec * 10; ++waited) {
    pollfd pfd{skt, POLLIN, 0};
    const int r = poll(&pfd, 1, 100);
    if (r < 0 && errno != EINTR) return;
    if (r <= 0) continue;
    char c[256];
    const int32_t n = osl_socket_recv(skt, c, sizeof c);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;
  }
}

// Sends data in pieces of `piece` bytes, kPieceMs apart.
bool send_pieces(SOCKET skt, const char *data, int32_t len, int32_t piece) {
  for (int32_t off = 0; off < len; off += piece) {
    if (off > 0) usleep(kPieceMs * 1000);
    if (!send_all(skt, data + off, len - off < piece ? len - off : piece)) return false;
  }
  return true;
}

void answer(SOCKET skt, int status, const char *reason, const char *body) {
  const Fault f = m_opt.fault;
  const bool chunked = f == Fault::kChunked || f == Fault::kBadChunk;
  const int32_t blen = static_cast<int32_t>(strlen(body));
  char length[64];
  if (chunked) {
    osl_str_snprintf(length, sizeof length, "Transfer-Encoding: chunked\r\n");
  } else {
    osl_str_snprintf(length, sizeof length, "Content-Length: %d\r\n", static_cast<int>(blen));
  }
  const bool keep = f == Fault::kKeepAlive || f == Fault::kHalf || f == Fault::kInterim;
  if (f == Fault::kInterim) {
    static const char kEarly[] =
        "HTTP/1.1 100 Continue\r\n\r\n"
        "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n";
    send_all(skt, kEarly, static_cast<int32_t>(sizeof kEarly - 1));
    usleep(kPieceMs * 1000);  // the answer in a segment of its own
  }
  char head[256];
  const int32_t hlen = osl_str_snprintf(
      head, sizeof head, "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\n%sConnection: %s\r\n%s",
      status, reason, length, keep ? "keep-alive" : "close", f == Fault::kNoBlank ? "" : "\r\n");
  if (chunked) {
    // Chunks of up to 5 bytes; bad-chunk claims one byte more than each chunk holds.
    std::string out(head, static_cast<size_t>(hlen));
    for (int32_t off = 0; off < blen; off += 5) {
      const int32_t n = blen - off < 5 ? blen - off : 5;
      char size[16];
      osl_str_snprintf(size, sizeof size, "%x\r\n", n + (f == Fault::kBadChunk ? 1 : 0));
      out += size;
      out.append(body + off, static_cast<size_t>(n));
      out += "\r\n";
    }
    out += "0\r\n\r\n";
    send_pieces(skt, out.data(), static_cast<int32_t>(out.size()), 7);
    return;
  }
  if (f == Fault::kSplit) {
    send_all(skt, head, hlen);
    usleep(200 * 1000);  // long enough for the first segment to be read on its own
    send_all(skt, body, blen);
    return;
  }
  std::string out(head, static_cast<size_t>(hlen));
  out.append(body, static_cast<size_t>(f == Fault::kHalf ? blen / 2 : blen));
  if (f == Fault::kPieces) {
    send_pieces(skt, out.data(), static_cast<int32_t>(out.size()), 7);
    return;
  }
  // One send for the whole answer, however long the body.
  send_all(skt, out.data(), static_cast<int32_t>(out.size()));
  if (keep) hold_open(skt);
}

void serve(SOCKET skt) {
  char req[kRequestMax];
  int32_t body_off = 0;
  const int32_t len = read_request(skt, req, sizeof req, &body_off);
  if (len == 0) return;
  if (len < 0) {
    answer(skt, 400, "Bad Request", "{\"code\":400,\"msg\":\"malformed request\"}");
    return;
  }
  char method[16] = "";
  char path[256] = "";
  char version[16] = "";
  if (sscanf(req, "%15s %255s %15s", method, path, version) != 3 ||
      strncmp(version, "HTTP/1.", 7) != 0) {
    answer(skt, 400, "Bad Request", "{\"code\":400,\"msg\":\"malformed request\"}");
    return;
  }
  const char *body = req + body_off;
  if (!m_opt.quiet) fprintf(stderr, "wanradio-sim: %s %s %s\n", method, path, body);

  switch (m_opt.fault) {
    case Fault::kClose:
      return;
    case Fault::kHang:
      // Hold the connection open until the client gives up or we are stopped.
      while (!m_stop) {
        char c;
        const int32_t n = osl_socket_recv(skt, &c, 1);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
      }
      return;
    default:
      break;
  }

  char out[2048];
  if (m_opt.body != nullptr) {
    answer(skt, 200, "OK", m_opt.body);
    return;
  }
  if (m_opt.fault == Fault::kEmptyBody) {
    answer(skt, 200, "OK", "");
    return;
  }
  if (m_opt.fault == Fault::kNonJson) {
    answer(skt, 200, "OK", "<html>service unavailable</html>");
    return;
  }

  const bool info = strcmp(path, "/zov/lum/info") == 0;
  const bool enable = strcmp(path, "/zov/cdma/enable") == 0;
  if (info && strcmp(method, "GET") == 0) {
    const int code = m_opt.fixed_code ? m_opt.code : 0;
    if (m_opt.fault == Fault::kLongBody) {
      // Valid JSON, but padded past what the tool's buffer holds after the headers.
      osl_str_snprintf(out, sizeof out, "{\"code\":%d,\"pad\":\"%01500d\",\"result\":{\"cdmaEnable\":%d}}",
                       code, 0, m_state);
    } else {
      osl_str_snprintf(out, sizeof out, "{\"code\":%d,\"result\":{\"cdmaEnable\":%d}}", code,
                       m_state);
    }
    answer(skt, 200, "OK", out);
  } else if (enable && strcmp(method, "POST") == 0) {
    if (strcmp(body, "enable=1") != 0 && strcmp(body, "enable=0") != 0) {
      answer(skt, 400, "Bad Request", "{\"code\":400,\"msg\":\"body must be enable=0 or enable=1\"}");
      return;
    }
    if (m_opt.fixed_code) {
      osl_str_snprintf(out, sizeof out, "{\"code\":%d}", m_opt.code);
    } else {
      m_state = body[7] - '0';
      osl_str_snprintf(out, sizeof out, "{\"code\":0}");
    }
    answer(skt, 200, "OK", out);
  } else if (info || enable) {
    answer(skt, 405, "Method Not Allowed", "{\"code\":405,\"msg\":\"method not allowed\"}");
  } else {
    answer(skt, 404, "Not Found", "{\"code\":404,\"msg\":\"no such path\"}");
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (!parse_args(argc, argv)) {
    usage(stderr);
    return 2;
  }
  m_state = m_opt.state;

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;  // no SA_RESTART: a blocked accept returns EINTR
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const SOCKET lsn = osl_socket_create(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (lsn == -1) {
    perror("wanradio-sim: socket");
    return 1;
  }
  const int one = 1;
  osl_socket_set_opt(lsn, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&one),
                     sizeof one);
  // The loopback only: a stand-in service is never reachable from another machine.
  if (osl_socket_bind(lsn, htonl(INADDR_LOOPBACK), htons(m_opt.port)) != 0 ||
      osl_socket_listen(lsn, 16) != 0) {
    fprintf(stderr, "wanradio-sim: cannot listen on 127.0.0.1:%u: %s\n", m_opt.port,
            strerror(errno));
    osl_socket_destroy(lsn);
    return 1;
  }
  printf("wanradio-sim: listening on 127.0.0.1:%u\n", m_opt.port);
  fflush(stdout);

  long served = 0;
  while (!m_stop && (m_opt.count < 0 || served < m_opt.count)) {
    const SOCKET c = osl_socket_accept(lsn, nullptr, nullptr);
    if (c < 0) {
      if (errno == EINTR) continue;
      perror("wanradio-sim: accept");
      break;
    }
    struct timeval tv;
    memset(&tv, 0, sizeof tv);
    tv.tv_sec = kIoTimeoutSec;
    if (m_opt.fault != Fault::kHang) {
      osl_socket_set_opt(c, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&tv),
                         sizeof tv);
    }
    osl_socket_set_opt(c, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&tv), sizeof tv);
    serve(c);
    osl_socket_destroy(c);
    ++served;
  }
  osl_socket_destroy(lsn);
  if (!m_opt.quiet) fprintf(stderr, "wanradio-sim: stopped after %ld client(s)\n", served);
  return 0;
}
