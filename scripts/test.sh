#!/usr/bin/env bash
# The README's test command: installs what is missing, then builds and runs every test suite.
# Stages: native build with warnings as errors + ctest, wanradio against real HTTP servers,
# install check, sanitizer build + ctest, ThreadSanitizer build + ctest, short fuzzing runs,
# armhf cross build + ctest under qemu. Any failure fails the whole run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/deps.sh --armhf

stage() { printf '\n==== %s ====\n' "$*"; }

stage "native build"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSL_WERROR=ON -DBUILD_TESTING=ON >/dev/null
cmake --build build/native -j"$jobs"
stage "native tests"
(cd build/native && ctest --output-on-failure -j"$jobs")

# Every stage runs; a stage script that is missing fails the run rather than passing it by.
for extra in test_interop test_install test_sanitize test_tsan test_fuzz test_armhf; do
  script=scripts/$extra.sh
  [ -f "$script" ] || { echo "test.sh: stage $script is missing" >&2; exit 1; }
  stage "$extra"
  bash "$script"
done
stage "all stages passed"
