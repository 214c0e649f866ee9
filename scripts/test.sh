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

for extra in scripts/test_interop.sh scripts/test_install.sh scripts/test_sanitize.sh scripts/test_tsan.sh scripts/test_fuzz.sh scripts/test_armhf.sh; do
  if [ -f "$extra" ]; then
    stage "$(basename "$extra" .sh)"
    bash "$extra"
  fi
done
stage "all stages passed"
