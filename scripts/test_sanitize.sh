#!/usr/bin/env bash
# Sanitizer stages of the test command: the layer, the tool, the simulator and every suite built
# with a sanitizer and warnings as errors, then the whole ctest run. The first finding ends the
# program under test (no recovery), so a test can never pass over one.
#   scripts/test_sanitize.sh           AddressSanitizer and UndefinedBehaviorSanitizer, leaks too
#   scripts/test_sanitize.sh thread    ThreadSanitizer (scripts/test_tsan.sh), and the one stage
#                                      whose suite runs against the shared libwanradio-osl.so.1
#                                      (with its export check) instead of the static library
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
kind=${1:-address}

case "$kind" in
  address)
    build=build/sanitize
    label=test_sanitize
    option=OSL_SANITIZE
    shared=OFF
    # Tests that cannot run under AddressSanitizer, each "name|reason". None at present: every
    # suite runs, leaks included.
    excluded=()
    export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    ;;
  thread)
    build=build/tsan
    label=test_tsan
    option=OSL_SANITIZE_THREAD
    shared=ON
    # Tests that cannot run under ThreadSanitizer, each "name|reason".
    excluded=(
      "wanradio_footprint|checks that the tool needs only libc and json-c at run time, and a sanitized build links the TSan runtime (the footprint check leaves out ASan builds too)"
      "Mutex.UnlockByNonHolderIsRefused|unlocks on purpose from a thread that does not hold the mutex, to check that the error-checking mutex refuses; TSan reports that as a misuse"
    )
    export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
    ;;
  *) echo "test_sanitize.sh: unknown sanitizer $kind (address or thread)" >&2; exit 2 ;;
esac

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -D$option=ON -DOSL_WERROR=ON \
  -DBUILD_TESTING=ON -DBUILD_SHARED_LIBS=$shared >/dev/null
cmake --build "$build" -j"$jobs"
args=(--output-on-failure -j"$jobs")
if [ "${#excluded[@]}" -gt 0 ]; then
  names=()
  for e in "${excluded[@]}"; do
    names+=("${e%%|*}")
    # Named with its reason in the test command's summary of what did not run.
    [ -z "${OSL_NOT_RUN:-}" ] || echo "$label: ${e%%|*}: ${e#*|}" >>"$OSL_NOT_RUN"
  done
  regex=$(IFS='|'; echo "${names[*]}")
  args+=(-E "^(${regex//./\\.})\$")
fi
# ThreadSanitizer starts a thread of its own again in every forked child, and a process with
# threads cannot make a user namespace; so for any user but root that run goes as a whole into
# one in which the user is root, where the tests make their private namespaces directly (as the
# armhf run does). Without user namespaces those tests skip themselves, and test.sh names them.
ns=()
if [ "$kind" = thread ] && [ "$(id -u)" -ne 0 ] && unshare --user --map-root-user true 2>/dev/null; then
  ns=(unshare --user --map-root-user)
fi
(cd "$build" && "${ns[@]}" ctest "${args[@]}")
