#!/usr/bin/env bash
# Long fuzzing runs: every harness (or the ones named) in turn for MINUTES minutes each, on a
# growing corpus kept in build/fuzz/long/<harness>/corpus (seeded from fuzz/corpus/<harness>;
# the committed seeds are not modified). Prints executions, time and coverage per harness and
# keeps any crashing input in build/fuzz/long/<harness>/found/.
#   scripts/fuzz_long.sh [MINUTES] [harness...]      (default 10 minutes, all harnesses)
# Environment: FUZZ_JOBS=N runs N workers per harness (libFuzzer -fork), default 1.
set -euo pipefail
cd "$(dirname "$0")/.."
mins=${1:-10}
shift || true
jobs=$(nproc 2>/dev/null || echo 2)
build=build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSL_WERROR=ON \
  -DBUILD_TESTING=OFF -DOSL_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j"$jobs" --target fuzzers

if [ "$#" -gt 0 ]; then
  harnesses=("$@")
else
  harnesses=()
  for exe in "$build"/fuzz/fuzz_*; do
    [ -x "$exe" ] && harnesses+=("$(basename "$exe" | sed 's/^fuzz_//')")
  done
fi

status=0
printf '%-10s %8s %12s %10s %8s %8s %s\n' harness seconds execs exec/s cov ft result
for h in "${harnesses[@]}"; do
  dir=$build/long/$h
  mkdir -p "$dir/corpus" "$dir/found"
  [ -d "fuzz/corpus/$h" ] && cp -rn "fuzz/corpus/$h/." "$dir/corpus/"
  extra=()
  [ "${FUZZ_JOBS:-1}" -gt 1 ] && extra=(-fork="$FUZZ_JOBS" -ignore_crashes=0)
  start=$(date +%s)
  if "$build/fuzz/fuzz_$h" -max_total_time=$((mins * 60)) -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$dir/found/" "${extra[@]}" "$dir/corpus" \
       >"$dir/log" 2>&1; then
    result=ok
  else
    result=FAULT
    status=1
  fi
  secs=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -1)
  last=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$dir/log" | tail -1)
  cov=$(echo "$last" | awk '{print $2}')
  ft=$(echo "$last" | awk '{print $4}')
  printf '%-10s %8s %12s %10s %8s %8s %s\n' "$h" "$secs" "${execs:-?}" "${rate:-?}" \
    "${cov:-?}" "${ft:-?}" "$result"
  if [ "$result" = FAULT ]; then
    grep -E 'property violated|ERROR:|SUMMARY:|runtime error' "$dir/log" | head -5 || true
    ls "$dir/found"
  fi
done
exit "$status"
