#!/usr/bin/env bash
# Board stage of the test command: cross-builds everything for armhf (warnings as errors), runs
# the whole test suite under qemu-arm-static through ctest, then builds the armhf and amd64
# Debian packages and checks their contents, dependencies and that what they hold works.
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
# The native (amd64) package needs only the layer and the tool: no tests in that tree.
native=${OSL_DEB_BUILD_DIR:-build/deb-native}
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSL_WERROR=ON -DBUILD_TESTING=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$native" -j"$jobs"

version=$(sed -n 's/^project(wanradio VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version found in CMakeLists.txt"
headers=()
for h in osl/common/*.h osl/linux/*.h; do headers+=("${h##*/}"); done

# check_deb <build dir> <debian arch> <multiarch triple> <readelf machine> <run prefix...>
check_deb() {
  local dir=$1 arch=$2 ma=$3 machine=$4
  shift 4
  rm -f "$dir"/wanradio_*.deb
  (cd "$dir" && cpack -G DEB >/dev/null)
  local deb=$dir/wanradio_${version}_${arch}.deb
  [ -f "$deb" ] || fail "$deb was not built"
  echo "checking $deb"

  [ "$(dpkg-deb -f "$deb" Package)" = wanradio ] || fail "$deb: wrong package name"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb: architecture is not $arch"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "  Depends: $depends"
  case "$depends" in *libjson-c5*) ;; *) fail "$deb: does not depend on libjson-c5" ;; esac
  case "$depends" in *libc6*) ;; *) fail "$deb: does not depend on libc6" ;; esac
  case "$depends" in *libstdc++*|*libgcc*) fail "$deb: depends on the C++ runtime" ;; esac

  local listing
  listing=$(dpkg-deb -c "$deb" | awk '{print $NF}')
  local lib="./usr/lib/$ma"
  local want=(./usr/bin/wanradio "$lib/libosl.a" "$lib/pkgconfig/osl.pc"
              "$lib/cmake/osl/osl-config.cmake" "$lib/cmake/osl/osl-config-version.cmake"
              "$lib/cmake/osl/oslTargets.cmake" ./usr/share/man/man1/wanradio.1.gz)
  local h
  for h in "${headers[@]}"; do want+=("./usr/include/osl/$h"); done
  local f
  for f in "${want[@]}"; do
    grep -qxF "$f" <<<"$listing" || fail "$deb: $f missing"
  done

  # What the package holds works: the tool runs, and a C program builds against the packaged
  # headers, library and pkg-config file.
  local root
  root=$(mktemp -d)
  dpkg-deb -x "$deb" "$root"
  readelf -h "$root/usr/bin/wanradio" | grep -q "Machine: *$machine" || fail "$deb: wanradio is not $machine code"
  local out
  out=$("$@" "$root/usr/bin/wanradio" help) || fail "$deb: wanradio help failed"
  grep -q '命令帮助' <<<"$out" || fail "$deb: wanradio help printed no help box"
  zcat "$root/usr/share/man/man1/wanradio.1.gz" | grep -q '^\.TH WANRADIO 1' || fail "$deb: bad man page"
  cat > "$root/use_osl.c" <<'EOF'
#include "osl_string.h"
int main(void) { return osl_strcmp_nocase("Status", "sTATUS") == 0 ? 0 : 1; }
EOF
  local cc=gcc
  [ "$arch" = armhf ] && cc=$triple-gcc
  # shellcheck disable=SC2046
  $cc -std=c99 -o "$root/use_osl" "$root/use_osl.c" \
    $(PKG_CONFIG_LIBDIR="$root/usr/lib/$ma/pkgconfig" pkg-config --cflags --libs --static osl) \
    || fail "$deb: a C program does not build against the packaged layer"
  "$@" "$root/use_osl" || fail "$deb: the program linked against the packaged layer failed"
  rm -rf "$root"
  echo "  ok: $(dpkg-deb -f "$deb" Installed-Size) KiB installed"
}

check_deb "$arm" armhf $triple ARM qemu-arm-static
native_machine=$(readelf -h "$native/wanradio" | sed -n 's/^ *Machine: *//p')
check_deb "$native" "$(dpkg --print-architecture)" "$(gcc -print-multiarch)" "$native_machine" env
