#!/usr/bin/env bash
# The README's test command: installs what is missing, then builds and runs every test suite.
# Stages: native build with warnings as errors + ctest, wanradio against real HTTP servers,
# install check, sanitizer build + ctest, ThreadSanitizer build + ctest, short fuzzing runs,
# armhf cross build + ctest under qemu with the packages of both architectures, and last the
# figures in the documents checked against those builds. Any failure fails the whole run.
# Runs as any user once everything is installed. What could not run (a test that skipped itself,
# a stage part that needs what this machine does not give) is named in the final summary with
# its reason: stages add lines "stage: what: why" to the file named by OSL_NOT_RUN.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/deps.sh --armhf

OSL_NOT_RUN=$(mktemp)
export OSL_NOT_RUN
trap 'rm -f "$OSL_NOT_RUN"' EXIT

stage() { printf '\n==== %s ====\n' "$*"; }

# Adds the tests of the last ctest run in a build tree that skipped themselves, each with the
# first line of its reason.
skipped_tests() {  # label build-dir
  local log=$2/Testing/Temporary/LastTest.log
  [ -f "$log" ] || return 0
  awk -v label="$1" '
    / Skipped$/ { getline why; next }
    /^\[  SKIPPED \] [^ ]+ \(/ { print label ": " $4 ": " (why == "" ? "skipped" : why); why = "" }
  ' "$log" >>"$OSL_NOT_RUN"
}

stage "native build"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSL_WERROR=ON -DBUILD_TESTING=ON >/dev/null
cmake --build build/native -j"$jobs"
stage "native tests"
(cd build/native && ctest --output-on-failure -j"$jobs")
skipped_tests "native tests" build/native

# Every stage runs; a stage script that is missing fails the run rather than passing it by.
for extra in test_interop test_install test_sanitize test_tsan test_fuzz test_armhf; do
  script=scripts/$extra.sh
  [ -f "$script" ] || { echo "test.sh: stage $script is missing" >&2; exit 1; }
  stage "$extra"
  bash "$script"
  case $extra in
    test_sanitize) skipped_tests "$extra" build/sanitize ;;
    test_tsan) skipped_tests "$extra" build/tsan ;;
    test_armhf) skipped_tests "$extra" "${OSL_ARMHF_BUILD_DIR:-build/armhf}" ;;
  esac
done
# The sizes and counts in README and docs/benchmarks.md, against the builds the stages made.
stage "figures"
bash scripts/figures.sh --check
stage "all stages passed"
if [ -s "$OSL_NOT_RUN" ]; then
  echo "not run ($(wc -l <"$OSL_NOT_RUN")):"
  sed 's/^/  /' "$OSL_NOT_RUN"
else
  echo "every test ran"
fi
