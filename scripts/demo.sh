#!/usr/bin/env bash
# The README's first command: installs what is missing, builds wanradio, and runs it against the
# management service on 127.0.0.1:8668 — the simulated one, started here, when nothing listens
# there yet (and stopped again at the end).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release -j"$(nproc 2>/dev/null || echo 2)" --target wanradio wanradio-sim >/dev/null

tool=build/release/wanradio
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

if (exec 3<>/dev/tcp/127.0.0.1/8668) 2>/dev/null; then
  echo "# a service already listens on 127.0.0.1:8668; using it"
else
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  build/release/wanradio-sim --quiet >"$fifo" &
  sim_pid=$!
  read -r line <"$fifo"   # "wanradio-sim: listening on 127.0.0.1:8668"
  rm -f "$fifo"
  echo "# started the simulated service (pid $sim_pid): ${line#wanradio-sim: }"
fi

for cmd in status start status stop status; do
  echo "\$ wanradio $cmd"
  "$tool" "$cmd"
done
