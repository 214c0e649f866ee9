#!/usr/bin/env bash
# The comparison a user would make: `wanradio status` against the simulated management service,
# beside curl making the same request, curl piped into jq picking the value, and min_client (a
# plain C program that only connects, sends the request and reads once: the floor for one
# process and one round trip). Each is run RUNS times; the table gives the medians of
# whole-process wall time, CPU time (user + system) and peak memory (max resident set), and
# their ratios to wanradio.
#
#   bench/compare.sh [--runs N] [--warmup N] [--micro]
#     --runs N     measured runs per command (default 200)
#     --warmup N   unmeasured runs first (default 20)
#     --micro      afterwards run the Google Benchmark programs too
#   BUILD_DIR=...  build tree to use (default build/bench under the source root)
#
# Builds what it needs (Release) and installs what is missing (curl, jq, Google Benchmark, ...)
# through scripts/deps.sh --test. The service runs inside a private network namespace
# (unshare -n, or -rn without root) so that the machine's own 127.0.0.1:8668 is neither used nor
# disturbed; without namespaces the machine's loopback is used, and only when nothing listens on
# port 8668.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/bench}
runs=200
warmup=20
micro=0
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --warmup) warmup=$2; shift 2 ;;
    --micro) micro=1; shift ;;
    *) echo "compare.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
case "$runs$warmup" in *[!0-9]*|'') echo "compare.sh: --runs and --warmup take numbers" >&2; exit 2 ;; esac
[ "$runs" -ge 1 ] || { echo "compare.sh: --runs must be at least 1" >&2; exit 2; }

url=http://127.0.0.1:8668/zov/lum/info

# ---------------------------------------------------------------- outside the namespace
if [ -z "${OSL_COMPARE_INSIDE:-}" ]; then
  # deps.sh needs no root when everything is there, and says what is missing otherwise
  # (curl, jq, cmake, Google Benchmark for --micro, ...).
  bash "$root/scripts/deps.sh" --test
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSL_BUILD_BENCHMARKS=ON \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 >/dev/null

  export OSL_COMPARE_INSIDE=1 BUILD_DIR="$build"
  args=(--runs "$runs" --warmup "$warmup")
  [ "$micro" = 1 ] && args+=(--micro)
  if unshare -n true 2>/dev/null; then
    exec unshare -n bash "$0" "${args[@]}"
  elif unshare -rn true 2>/dev/null; then
    exec unshare -rn bash "$0" "${args[@]}"
  fi
  echo "compare.sh: no private network namespace; using the machine's loopback" >&2
  if "$build/bench/min_client" >/dev/null 2>&1; then
    echo "compare.sh: something already answers on 127.0.0.1:8668; stop it first" >&2
    exit 1
  fi
  OSL_COMPARE_INSIDE=host
fi

# ---------------------------------------------------------------- inside: start the service
if [ "$OSL_COMPARE_INSIDE" = 1 ]; then
  ip link set lo up
fi
wanradio=$build/wanradio
min_client=$build/bench/min_client
spawn_stat=$build/bench/spawn_stat

"$build/wanradio-sim" --quiet >/dev/null 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  "$min_client" >/dev/null 2>&1 && break
  sleep 0.1
done

# Every contender must give the right answer before it is timed.
check() {
  local want=$1 got
  shift
  got=$("$@" 2>&1) || true
  if [ "$got" != "$want" ]; then
    printf 'compare.sh: %s printed %q, expected %q\n' "$*" "$got" "$want" >&2
    exit 1
  fi
}
check "CDMA stopped." "$wanradio" status
check '{"code":0,"result":{"cdmaEnable":0}}' curl -s "$url"
check "0" sh -c "curl -s '$url' | jq .result.cdmaEnable"
"$min_client" | grep -q '"cdmaEnable":0' || { echo "compare.sh: min_client got no answer" >&2; exit 1; }

# ---------------------------------------------------------------- measure
model=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1)
echo "machine: ${model:-unknown CPU}, $(nproc) CPUs, Linux $(uname -r), load average$(uptime | sed 's/.*load average//')"
echo "versions: $(curl --version | head -1 | cut -d' ' -f1-2), $(jq --version), json-c $(pkg-config --modversion json-c 2>/dev/null || echo '?')"
echo "runs: $runs measured after $warmup warm-up runs each; medians (p10..p90 for wall time)"
echo

measure() {  # label, then the spawn_stat command words
  local label=$1 out
  shift
  out=$("$spawn_stat" "$runs" "$warmup" "$@") || {
    echo "compare.sh: $label failed in some runs: $out" >&2
    exit 1
  }
  echo "$label $out"
}
{
  measure "wanradio~status" "$wanradio" status
  measure "min_client" "$min_client"
  measure "curl~-s" curl -s "$url"
  measure "curl~-s~\\|~jq" curl -s "$url" --pipe jq .result.cdmaEnable
} | awk '
  { label[NR] = $1; gsub("~", " ", label[NR]); wall[NR] = $4; p10[NR] = $5; p90[NR] = $6
    cpu[NR] = $7; rss[NR] = $8 }
  END {
    printf "| %-16s | %12s | %15s | %8s | %10s | %8s | %13s | %8s |\n", "command", "wall (us)",
      "p10..p90 (us)", "x wall", "CPU (us)", "x CPU", "max RSS (KiB)", "x RSS"
    printf "|%s|%s:|%s:|%s:|%s:|%s:|%s:|%s:|\n", "------------------", "-------------",
      "----------------", "---------", "-----------", "---------", "--------------", "---------"
    for (i = 1; i <= NR; ++i) {
      printf "| %-16s | %12d | %15s | %8.2f | %10d | %8.2f | %13d | %8.2f |\n", label[i], wall[i],
        p10[i] ".." p90[i], wall[i] / wall[1], cpu[i], cpu[i] / cpu[1], rss[i], rss[i] / rss[1]
    }
  }'
echo
echo "x: ratio to wanradio status. Memory of the pipeline is the sum of curl's and jq's peaks."

if [ "$micro" = 1 ]; then
  for b in "$build"/bench/bench_*; do
    [ -x "$b" ] || continue
    echo
    echo "== $(basename "$b")"
    "$b" --benchmark_min_time=0.2 2>/dev/null
  done
fi
