#!/usr/bin/env bash
# The README's first command: installs what is missing, builds wanradio, and runs it against the
# management service on 127.0.0.1:8668 — the simulated one, started here, when nothing listens
# there yet (and stopped again at the end). A service that already listens there (on the board,
# the real one) is left as the demo found it: its radio state is read first and put back at the
# end, and when that state cannot be read the demo only asks for the status.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release -j"$(nproc 2>/dev/null || echo 2)" --target wanradio wanradio-sim >/dev/null

tool=build/release/wanradio
sim_pid=
found=   # the status line of a service that was already there, before the demo touched it
cleanup() {
  local rc=$?
  if [ -n "$found" ]; then
    local now word want got
    now=$("$tool" status)
    if [ "$now" = "$found" ]; then
      echo "# the service's radio is as the demo found it: $found"
    else
      if [ "$found" = "CDMA is running." ]; then
        word=start want="OK. CDMA is running."
      else
        word=stop want="OK. CDMA stopped."
      fi
      got=$("$tool" "$word")
      if [ "$got" = "$want" ]; then
        echo "# put the service's radio back as the demo found it: wanradio $word: $got"
      else
        echo "# could not put the service's radio back to '$found': wanradio $word printed '$got'" >&2
        rc=1
      fi
    fi
  fi
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

cmds=(status start status stop status)
if (exec 3<>/dev/tcp/127.0.0.1/8668) 2>/dev/null; then
  before=$("$tool" status)
  case "$before" in
    "CDMA is running."|"CDMA stopped.")
      found=$before
      echo "# a service already listens on 127.0.0.1:8668; using it"
      echo "# its radio before the demo: $before (put back so at the end)"
      ;;
    *)
      echo "# a service already listens on 127.0.0.1:8668, but its status reads:"
      echo "#   ${before//$'\n'/ / }"
      echo "# so the demo does not switch its radio and only asks for the status"
      cmds=(status)
      ;;
  esac
else
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  build/release/wanradio-sim --quiet >"$fifo" &
  sim_pid=$!
  read -r line <"$fifo"   # "wanradio-sim: listening on 127.0.0.1:8668"
  rm -f "$fifo"
  echo "# started the simulated service (pid $sim_pid): ${line#wanradio-sim: }"
fi

for cmd in "${cmds[@]}"; do
  echo "\$ wanradio $cmd"
  "$tool" "$cmd"
done
