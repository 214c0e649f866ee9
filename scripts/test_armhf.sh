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
(cd "$arm" && ctest --output-on-failure -j"$jobs")

# ---------------------------------------------------------------- packages
# The Debian packages of both architectures, from this tree and a host build.
OSL_ARMHF_BUILD_DIR=$arm bash scripts/test_packages.sh
