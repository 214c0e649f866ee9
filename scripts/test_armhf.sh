#!/usr/bin/env bash
# Board stage of the test command: cross-builds everything for armhf (warnings as errors), runs
# the whole test suite under qemu-arm-static through ctest, then runs the package stage
# (scripts/test_packages.sh), which builds and checks the armhf and amd64 Debian packages.
# Needs what `scripts/deps.sh --armhf` installs. Any failure fails the stage.
# Build trees: build/armhf and build/deb-native (OSL_ARMHF_BUILD_DIR, OSL_DEB_BUILD_DIR override).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
triple="arm-linux-gnueabihf"

fail() { echo "test_armhf: $*" >&2; exit 1; }

# ---------------------------------------------------------------- cross build and tests
arm=${OSL_ARMHF_BUILD_DIR:-build/armhf}
cmake -S . -B "$arm" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$triple.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSL_WERROR=ON -DBUILD_TESTING=ON \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib/$triple >/dev/null
cmake --build "$arm" -j"$jobs"
# ctest prefixes the emulator itself; programs that a test starts in turn get it from the test
# (OSL_TEST_EMULATOR). The emulated programs use the armhf multiarch libc of this machine.
# The emulator runs threads of its own, and a process with threads cannot make a user namespace,
# so for any user but root the whole run goes into one in which that user is root: the tests
# that need private namespaces make them from there. Without user namespaces those tests skip
# themselves, and the test command names them.
ns=()
if [ "$(id -u)" -ne 0 ] && unshare --user --map-root-user true 2>/dev/null; then
  ns=(unshare --user --map-root-user)
fi
(cd "$arm" && "${ns[@]}" ctest --output-on-failure -j"$jobs")

# ---------------------------------------------------------------- packages
# The Debian packages of both architectures, from this tree and a host build.
OSL_ARMHF_BUILD_DIR=$arm bash scripts/test_packages.sh
