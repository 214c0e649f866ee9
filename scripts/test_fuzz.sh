#!/usr/bin/env bash
# Short fuzzing stage of the test command: builds the libFuzzer harnesses with clang and runs
# each one for a few seconds on a scratch copy of its seed corpus (the committed corpus is left
# as it is). Fails when a harness reports a crash, a sanitizer finding or a violated property.
#   scripts/test_fuzz.sh [seconds-per-harness]      (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
secs=${1:-5}
jobs=$(nproc 2>/dev/null || echo 2)
build=build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSL_WERROR=ON \
  -DBUILD_TESTING=OFF -DOSL_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j"$jobs" --target fuzzers

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
for exe in "$build"/fuzz/fuzz_*; do
  [ -x "$exe" ] || continue
  name=$(basename "$exe")
  harness=${name#fuzz_}
  mkdir -p "$work/$harness/corpus" "$work/$harness/found"
  if [ -d "fuzz/corpus/$harness" ]; then
    cp -r "fuzz/corpus/$harness/." "$work/$harness/corpus/"
  fi
  log="$work/$harness/log"
  if "$exe" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/$harness/found/" "$work/$harness/corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
    printf '%-10s ok   %8s runs  %s\n' "$harness" "${runs:-?}" "$cov"
  else
    printf '%-10s FAILED\n' "$harness"
    grep -E 'property violated|ERROR:|SUMMARY:|runtime error' "$log" | head -5 || true
    for f in "$work/$harness"/found/*; do
      [ -f "$f" ] || continue
      mkdir -p "$root/$build/findings/$harness"
      cp "$f" "$root/$build/findings/$harness/"
      echo "  input kept in $build/findings/$harness/$(basename "$f")"
    done
    failed+=("$harness")
  fi
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
