#!/usr/bin/env bash
# Interoperability stage: wanradio against real HTTP servers from Debian's packages, each started
# on 127.0.0.1:8668 inside a private network namespace (loopback only) and serving the two paths
# the way that server normally does:
#   python   http.server (HTTP/1.0, headers and body in separate writes), form parsed by urllib
#   busybox  httpd: the info path as a static file (sent with sendfile). Its CGI runs only under
#            /cgi-bin/ and Debian's build has neither rewriting nor proxying, so a POST to
#            /zov/cdma/enable gets busybox's own "501 Not Implemented" page: the tool must print
#            the parse-failure line for it every time
#   lighttpd mod_rewrite + mod_cgi running a shell CGI that reads CONTENT_LENGTH bytes of form
#   nginx    Debian's mime types and defaults (sendfile, tcp_nopush); the info path as a static
#            file, the POST proxied to a shell CGI behind busybox httpd (nginx re-frames the
#            answer, chunked to HTTP/1.1 clients)
# Per server: RUNS rounds of stop, status, start, status; every line must be the right one.
# Against python, the README's demo (scripts/demo.sh) must leave the radio as it found it.
#   scripts/test_interop.sh [--runs N] [--show]   (BUILD_DIR: tree with wanradio, default build/native)
# Root makes the network namespace directly; any other user makes it inside a user namespace in
# which that user is root (unshare --user --map-root-user --net). Where the kernel allows
# neither, the stage says so and does not run (under scripts/test.sh it is named in the summary
# as not run).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/native}
runs=20
show=0
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --show) show=1; shift ;;   # also print each server's raw answers once
    *) echo "test_interop.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
case "$runs" in ''|*[!0-9]*) echo "test_interop.sh: --runs takes a number" >&2; exit 2 ;; esac

if [ -z "${OSL_INTEROP_INSIDE:-}" ]; then
  ns=(unshare -n)
  if [ "$(id -u)" -ne 0 ]; then
    ns=(unshare --user --map-root-user --net)
    if ! "${ns[@]}" true 2>/dev/null; then
      why="no private network namespace: not root, and this kernel gives $(id -un) no user namespace"
      if [ -n "${OSL_NOT_RUN:-}" ]; then
        echo "test_interop: every server: $why" >>"$OSL_NOT_RUN"
        echo "test_interop.sh: not run: $why" >&2
        exit 0
      fi
      echo "test_interop.sh: $why; run as root" >&2
      exit 1
    fi
    export OSL_INTEROP_USERNS=1
  fi
  for p in /usr/bin/python3 /usr/bin/busybox /usr/sbin/lighttpd /usr/sbin/nginx; do
    [ -x "$p" ] || { echo "test_interop.sh: $p missing; run scripts/deps.sh" >&2; exit 1; }
  done
  if [ ! -x "$build/wanradio" ]; then
    cmake -S "$root" -B "$build" >/dev/null
    cmake --build "$build" -j2 --target wanradio >/dev/null
  fi
  export OSL_INTEROP_INSIDE=1 BUILD_DIR="$build"
  exec "${ns[@]}" bash "$0" --runs "$runs" $([ "$show" = 1 ] && echo --show)
fi

# ---------------------------------------------------------------- inside the namespace
ip link set lo up
wanradio=$build/wanradio
work=$(mktemp -d /tmp/wanradio-interop.XXXXXX)
chmod 755 "$work"   # nginx's workers run as www-data and read the state file
pids=()
# Stops every server started so far by its pid and waits for it.
kill_servers() {
  local p
  for p in "${pids[@]}"; do
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  pids=()
}
cleanup() {
  kill_servers
  rm -rf "$work"
}
trap cleanup EXIT

# The radio state the servers share: the body of the info answer.
state_json() { printf '{"code":0,"result":{"cdmaEnable":%s}}' "$1" >"$work/state.json"; }

# A shell CGI: PATH_INFO /lum/info or /cdma/enable; reads exactly CONTENT_LENGTH bytes of an
# urlencoded form, as a CGI must.
cat >"$work/radio.cgi" <<EOF
#!/bin/sh
state=$work/state.json
EOF
cat >>"$work/radio.cgi" <<'EOF'
answer() { printf 'Status: %s\r\nContent-Type: application/json\r\n\r\n%s' "$1" "$2"; exit 0; }
case "$REQUEST_METHOD $PATH_INFO" in
  "GET /lum/info") answer "200 OK" "$(cat "$state")" ;;
  "POST /cdma/enable") ;;
  *) answer "404 Not Found" '{"code":404}' ;;
esac
case "$CONTENT_TYPE" in
  application/x-www-form-urlencoded*) ;;
  *) answer "415 Unsupported Media Type" '{"code":415}' ;;
esac
form=$(head -c "${CONTENT_LENGTH:-0}")
value=
for pair in $(printf '%s' "$form" | tr '&' ' '); do
  case "$pair" in enable=*) value=${pair#enable=} ;; esac
done
case "$value" in
  0|1) printf '{"code":0,"result":{"cdmaEnable":%s}}' "$value" >"$state"
       answer "200 OK" '{"code":0}' ;;
  *) answer "400 Bad Request" '{"code":400}' ;;
esac
EOF
chmod 755 "$work/radio.cgi"

cat >"$work/server.py" <<'EOF'
import http.server, json, sys, urllib.parse

state = {"cdmaEnable": 0}

class Radio(http.server.BaseHTTPRequestHandler):
    def reply(self, status, obj):
        body = json.dumps(obj).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()          # the headers go out in a write of their own
        self.wfile.write(body)

    def do_GET(self):
        if self.path == "/zov/lum/info":
            self.reply(200, {"code": 0, "result": state})
        else:
            self.reply(404, {"code": 404})

    def do_POST(self):
        if self.path != "/zov/cdma/enable":
            return self.reply(404, {"code": 404})
        if self.headers.get_content_type() != "application/x-www-form-urlencoded":
            return self.reply(415, {"code": 415})
        length = int(self.headers.get("Content-Length", "0"))
        form = urllib.parse.parse_qs(self.rfile.read(length).decode())
        value = form.get("enable", [""])[0]
        if value not in ("0", "1"):
            return self.reply(400, {"code": 400})
        state["cdmaEnable"] = int(value)
        self.reply(200, {"code": 0})

    def log_message(self, *args):
        pass

http.server.HTTPServer(("127.0.0.1", 8668), Radio).serve_forever()
EOF

# busybox: static info file in its document root, CGI back end for nginx under /cgi-bin/.
mkdir -p "$work/www/zov/lum" "$work/www/cgi-bin"
ln -s "$work/state.json" "$work/www/zov/lum/info"
cp "$work/radio.cgi" "$work/www/cgi-bin/radio"
: >"$work/busybox.conf"

mkdir -p "$work/lighttpd/www"
cat >"$work/lighttpd.conf" <<EOF
server.document-root = "$work/lighttpd/www"
server.bind = "127.0.0.1"
server.port = 8668
server.errorlog = "$work/lighttpd/error.log"
server.modules = ("mod_rewrite", "mod_cgi")
include "/etc/lighttpd/conf-available/00-mime.conf"
url.rewrite-once = ("^/zov/(.*)\$" => "/radio.cgi/\$1")
cgi.assign = (".cgi" => "/bin/sh")
EOF
cp "$work/radio.cgi" "$work/lighttpd/www/radio.cgi"
[ -f /etc/lighttpd/conf-available/00-mime.conf ] ||
  sed -i '/00-mime.conf/d' "$work/lighttpd.conf"

mkdir -p "$work/nginx/tmp"
# In a user namespace only its root exists and the group list is fixed, so nginx can neither
# hand its files to another user nor switch workers to one: it serves as that root from one
# process there.
if [ -z "${OSL_INTEROP_USERNS:-}" ]; then
  nginx_processes="user www-data;
worker_processes 1;"
else
  nginx_processes="user root root;
master_process off;"
fi
cat >"$work/nginx.conf" <<EOF
# Debian's defaults (nginx.conf of the package), with everything written kept in this directory.
$nginx_processes
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  sendfile on;
  tcp_nopush on;
  types_hash_max_size 2048;
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
  access_log off;
  client_body_temp_path $work/nginx/tmp/body;
  proxy_temp_path $work/nginx/tmp/proxy;
  fastcgi_temp_path $work/nginx/tmp/fastcgi;
  uwsgi_temp_path $work/nginx/tmp/uwsgi;
  scgi_temp_path $work/nginx/tmp/scgi;
  server {
    listen 127.0.0.1:8668;
    location = /zov/lum/info { default_type application/json; alias $work/state.json; }
    location = /zov/cdma/enable { proxy_pass http://127.0.0.1:8669/cgi-bin/radio/cdma/enable; }
  }
}
EOF
chown -R www-data "$work/nginx/tmp" 2>/dev/null || true

# Waits until something accepts on 127.0.0.1:port (5 s at most).
wait_port() {
  local i
  for i in $(seq 50); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

start_bg() { "$@" >>"$work/server.log" 2>&1 & pids+=($!); }

stop_all() {
  kill_servers
  # Nothing of this server may still accept.
  if (exec 3<>/dev/tcp/127.0.0.1/8668) 2>/dev/null; then
    echo "test_interop.sh: something still listens on 8668 after stopping" >&2
    exit 1
  fi
}

# Runs wanradio WORD and counts it in the caller's COUNTER when it printed WANT; says what it
# printed otherwise (name and i are the caller's server and round).
expect() {  # counter want word
  local -n counter=$1
  local got
  got=$("$wanradio" "$3")
  if [ "$got" = "$2" ]; then
    counter=$((counter + 1))
  else
    echo "  $name run $i: $3 printed '$got', expected '$2'" >&2
  fi
}

# RUNS rounds against the running server NAME; MODE says how it answers start/stop ("form" or
# "501").
run_server() {  # name mode
  local name=$1 mode=$2 i want_stop want_start
  local right_status=0 right_start=0 right_stop=0 total_status=0
  for i in $(seq "$runs"); do
    if [ "$mode" = form ]; then
      want_stop="OK. CDMA stopped."; want_start="OK. CDMA is running."
    else
      want_stop="执行出错.code=-3001"; want_start="执行出错.code=-2001"
    fi
    expect right_stop "$want_stop" stop
    [ "$mode" = form ] || state_json 0
    expect right_status "CDMA stopped." status
    expect right_start "$want_start" start
    [ "$mode" = form ] || state_json 1
    expect right_status "CDMA is running." status
    total_status=$((total_status + 2))
  done
  printf '| %-9s | %6d / %-6d | %5d / %-5d | %5d / %-5d |\n' "$name" "$right_status" \
    "$total_status" "$right_start" "$runs" "$right_stop" "$runs" >>"$work/table"
  [ "$right_status" = "$total_status" ] && [ "$right_start" = "$runs" ] && [ "$right_stop" = "$runs" ]
}

failed=0
one() {  # name, mode, command...
  local name=$1 mode=$2
  shift 2
  state_json 0
  "$@"
  if ! wait_port 8668; then
    echo "test_interop.sh: $name did not accept on 127.0.0.1:8668" >&2
    cat "$work/server.log" >&2 || true
    failed=1
    stop_all
    return
  fi
  if [ "$show" = 1 ]; then
    echo "== $name"
    curl -si --raw http://127.0.0.1:8668/zov/lum/info; echo
    curl -si --raw -d enable=0 http://127.0.0.1:8668/zov/cdma/enable; echo
  fi
  run_server "$name" "$mode" || failed=1
  [ "$name" != python ] || demo_check || failed=1
  stop_all
}

# The README's demo against a service it did not start (running after the rounds): it must put
# the radio back as it found it.
demo_check() {
  local out
  out=$(bash "$root/scripts/demo.sh" 2>&1) || { echo "$out" >&2; return 1; }
  if [ "$("$wanradio" status)" = "CDMA is running." ]; then
    echo "demo.sh against python: the radio is left as the demo found it"
    return 0
  fi
  echo "$out" >&2
  echo "test_interop.sh: the demo left the radio of a service it did not start switched" >&2
  return 1
}

server_python() { start_bg /usr/bin/python3 "$work/server.py"; }
server_busybox() { start_bg busybox httpd -f -p 127.0.0.1:8668 -h "$work/www" -c "$work/busybox.conf"; }
server_lighttpd() { start_bg /usr/sbin/lighttpd -D -f "$work/lighttpd.conf"; }
server_nginx() {
  start_bg busybox httpd -f -p 127.0.0.1:8669 -h "$work/www" -c "$work/busybox.conf"
  wait_port 8669
  start_bg /usr/sbin/nginx -e "$work/nginx/error.log" -c "$work/nginx.conf"
}

printf '| %-9s | %-15s | %-13s | %-13s |\n' server "status right" "start right" "stop right" >"$work/table"
printf '|%s|%s|%s|%s|\n' ----------- ----------------- --------------- --------------- >>"$work/table"
one python form server_python
one busybox 501 server_busybox
one lighttpd form server_lighttpd
one nginx form server_nginx

echo "wanradio against real servers, $runs rounds of stop/status/start/status each:"
cat "$work/table"
if [ "$failed" != 0 ]; then
  [ -f "$work/lighttpd/error.log" ] && tail -5 "$work/lighttpd/error.log" >&2
  [ -f "$work/nginx/error.log" ] && tail -5 "$work/nginx/error.log" >&2
  echo "test_interop.sh: some runs printed a wrong line" >&2
  exit 1
fi
