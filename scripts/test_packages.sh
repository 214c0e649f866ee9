#!/usr/bin/env bash
# Package stage of the test command: builds the Debian packages wanradio and libwanradio-osl-dev
# for the host (amd64) and the board (armhf) and checks, for each architecture:
#   - the fields (name, architecture, Multi-Arch, version, Depends) and the contents of both
#     packages;
#   - lintian: no error and no warning;
#   - the packaged wanradio is hardened (hardening-check: PIE, stack protector, fortified
#     functions, RELRO, BIND_NOW), and needs only libc and json-c;
#   - both install with dpkg -i into a scratch root, the installed tool runs, pkg-config prints
#     plain /usr paths, a C program builds against the installed libwanradio-osl-dev through
#     pkg-config and through find_package(wanradio-osl), and the installed examples build and run.
#     dpkg installs only as root: any other user runs it inside a user namespace in which that
#     user is root. Where the kernel gives no user namespace, the packages are unpacked with
#     dpkg-deb instead, the checks on the files go on, and dpkg -i is named as not run.
# Then the amd64 and armhf development packages install side by side into one root.
# The host tree builds only what the README's run command builds (wanradio, wanradio-sim) in a
# Release build, as a user would, so the packages also prove that installing after that works.
# The armhf tree is the one test_armhf.sh built and tested (OSL_ARMHF_BUILD_DIR).
# Needs what `scripts/deps.sh --armhf` installs. Any failure fails the stage.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
triple=arm-linux-gnueabihf

fail() { echo "test_packages: $*" >&2; exit 1; }

version=$(sed -n 's/^project(wanradio VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version found in CMakeLists.txt"
debver=$version-1
headers=()
for h in osl/common/*.h osl/linux/*.h osl_version.h; do headers+=("${h##*/}"); done
examples=()
for e in examples/*.c; do examples+=("${e##*/}"); done
docdir=./usr/share/doc/libwanradio-osl-dev

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(unshare --user --map-root-user)
  "${as_root[@]}" true 2>/dev/null || as_root=(none)
fi

# field <deb> <name>
field() { dpkg-deb -f "$1" "$2"; }

# check_pkgs <build dir> <debian arch> <multiarch triple> <readelf machine> <run prefix...>
check_pkgs() {
  local dir=$1 arch=$2 ma=$3 machine=$4
  shift 4
  rm -f "$dir"/*.deb
  (cd "$dir" && cpack -G DEB >/dev/null)
  local tool=$dir/wanradio_${debver}_${arch}.deb dev=$dir/libwanradio-osl-dev_${debver}_${arch}.deb deb
  for deb in "$tool" "$dev"; do [ -f "$deb" ] || fail "$deb was not built"; done
  local n
  n=$(find "$dir" -maxdepth 1 -name '*.deb' | wc -l)
  [ "$n" = 2 ] || fail "$dir: $n packages built, want wanradio and libwanradio-osl-dev only"
  echo "checking $tool ($(stat -c %s "$tool") bytes) and $dev ($(stat -c %s "$dev") bytes)"

  # Fields.
  [ "$(field "$tool" Package)" = wanradio ] || fail "$tool: wrong package name"
  [ "$(field "$dev" Package)" = libwanradio-osl-dev ] || fail "$dev: wrong package name"
  [ "$(field "$tool" Multi-Arch)" = foreign ] || fail "$tool: Multi-Arch is not foreign"
  [ "$(field "$dev" Multi-Arch)" = same ] || fail "$dev: Multi-Arch is not same"
  for deb in "$tool" "$dev"; do
    [ "$(field "$deb" Architecture)" = "$arch" ] || fail "$deb: architecture is not $arch"
    [ "$(field "$deb" Version)" = "$debver" ] || fail "$deb: version is not $debver"
    case "$(field "$deb" Maintainer)" in
      *@localhost*|*@*.localdomain*|"") fail "$deb: no real Maintainer address" ;;
    esac
  done
  # The tool needs exactly libc and json-c's runtime; the development files need no runtime.
  local depends
  depends=$(field "$tool" Depends)
  echo "  wanradio Depends: $depends"
  local names
  names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//' | sort | tr '\n' ' ')
  [ "$names" = "libc6 libjson-c5 " ] || fail "$tool: Depends on '$names', want libc6 and libjson-c5 only"
  depends=$(field "$dev" Depends)
  echo "  libwanradio-osl-dev Depends: $depends; Suggests: $(field "$dev" Suggests)"
  case "$depends" in *libc6-dev*) ;; *) fail "$dev: does not depend on libc6-dev" ;; esac
  case "$depends" in *libjson*|*wanradio*|*libstdc++*) fail "$dev: needless Depends: $depends" ;; esac

  # Contents: each file in the package it belongs to, and nowhere else.
  local lib=./usr/lib/$ma tl dl f
  tl=$(dpkg-deb -c "$tool" | awk '{print $NF}')
  dl=$(dpkg-deb -c "$dev" | awk '{print $NF}')
  local want_tool=(./usr/bin/wanradio ./usr/share/man/man1/wanradio.1.gz
                   ./usr/share/doc/wanradio/copyright ./usr/share/doc/wanradio/changelog.Debian.gz)
  local cm=$lib/cmake/wanradio-osl
  local want_dev=("$lib/libwanradio-osl.a" "$lib/pkgconfig/wanradio-osl.pc"
                  "$cm/wanradio-osl-config.cmake" "$cm/wanradio-osl-config-version.cmake"
                  "$cm/wanradio-osl-targets.cmake" "$docdir/copyright" "$docdir/changelog.Debian.gz")
  for h in "${headers[@]}"; do want_dev+=("./usr/include/wanradio/osl/$h"); done
  for e in "${examples[@]}"; do want_dev+=("$docdir/examples/$e"); done
  for f in "${want_tool[@]}"; do grep -qxF "$f" <<<"$tl" || fail "$tool: $f missing"; done
  for f in "${want_dev[@]}"; do grep -qxF "$f" <<<"$dl" || fail "$dev: $f missing"; done
  grep -q 'osl\|/include/\|cmake\|pkgconfig' <<<"$tl" && fail "$tool: holds development files"
  grep -q 'bin/\|/man/' <<<"$dl" && fail "$dev: holds the tool or its manual page"

  # lintian: no error and no warning (information tags are printed, not counted).
  local lint
  lint=$(lintian --fail-on none "$tool" "$dev" 2>"$work/lintian.err") \
    || { cat "$work/lintian.err" >&2; fail "lintian did not run"; }
  [ -z "$lint" ] || echo "$lint" | sed 's/^/  lintian: /'
  local errs warns
  errs=$(grep -c '^E: ' <<<"$lint" || true)
  warns=$(grep -c '^W: ' <<<"$lint" || true)
  echo "  lintian ($arch): $errs errors, $warns warnings"
  [ "$errs" = 0 ] && [ "$warns" = 0 ] || fail "lintian found errors or warnings in the $arch packages"

  # Install both into a scratch root. The root has an empty dpkg database, so the dependencies
  # (checked above) are taken as met; the packages have no maintainer scripts.
  local root=$work/root-$arch
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  : >"$root/var/lib/dpkg/status"
  local how=installed
  if [ "${as_root[0]:-}" = none ]; then
    how="unpacked (not installed)"
    local why="dpkg -i into a scratch root: dpkg installs only as root, and this kernel gives $(id -un) no user namespace; unpacked with dpkg-deb -x instead"
    echo "  not run ($arch): $why"
    [ -z "${OSL_NOT_RUN:-}" ] || echo "test_packages ($arch): $why" >>"$OSL_NOT_RUN"
    for deb in "$tool" "$dev"; do dpkg-deb -x "$deb" "$root"; done
  else
    [ "$arch" = "$(dpkg --print-architecture)" ] ||
      "${as_root[@]}" dpkg --root="$root" --add-architecture "$arch"
    "${as_root[@]}" dpkg --root="$root" --force-depends -i "$tool" "$dev" >"$work/dpkg.log" 2>&1 \
      || { cat "$work/dpkg.log" >&2; fail "dpkg -i of the $arch packages into a scratch root failed"; }
    for p in wanradio libwanradio-osl-dev; do
      dpkg --root="$root" -s "$p" 2>/dev/null | grep -qx 'Status: install ok installed' \
        || fail "$p ($arch) is not installed in the scratch root"
    done
  fi

  # The installed tool: the right machine, hardened, only libc and json-c, and it runs.
  local bin=$root/usr/bin/wanradio
  readelf -h "$bin" | grep -q "Machine: *$machine" || fail "$tool: wanradio is not $machine code"
  hardening-check --nocfprotection "$bin" >"$work/hc" 2>/dev/null \
    || { cat "$work/hc"; fail "$tool: wanradio is not hardened"; }
  sed -n 's/^ /  /p' "$work/hc"
  sh scripts/footprint.sh "$bin" "$([ "$arch" = armhf ] && echo $triple-strip || echo strip)" \
     readelf "$([ "$arch" = armhf ] && echo 16384 || echo 0)" | sed 's/^/  /' \
     || fail "$tool: wanradio is over its budget or needs more than libc and json-c"
  local out
  out=$("$@" "$bin" help) || fail "$tool: wanradio help failed"
  grep -q '命令帮助' <<<"$out" || fail "$tool: wanradio help printed no help box"
  # The man page: tbl declared for man, a date mandoc reads, and groff formats it without a word.
  local man=$work/wanradio-$arch.1
  zcat "$root/usr/share/man/man1/wanradio.1.gz" >"$man"
  grep -qE '^\.TH WANRADIO 1 ([0-9]{4}-[0-9]{2}-[0-9]{2}|"[A-Z][a-z]+ [0-9]{1,2}, [0-9]{4}") ' "$man" \
    || fail "$tool: bad man page header or date"
  head -n1 "$man" | grep -qxF "'\\\" t" || fail "$tool: the man page does not declare tbl"
  local warn
  warn=$(groff -man -ww -z "$man" 2>&1) && [ -z "$warn" ] \
    || { echo "$warn" | head -5 >&2; fail "$tool: groff warns on the man page"; }

  # pkg-config names the installed directories plainly, with no climb out of the .pc's own.
  export PKG_CONFIG_LIBDIR="$root/usr/lib/$ma/pkgconfig"
  local pc
  pc="$(pkg-config --cflags wanradio-osl | xargs) $(pkg-config --variable=libdir wanradio-osl)"
  [ "$pc" = "-I/usr/include/wanradio /usr/lib/$ma" ] || fail "$dev: pkg-config prints $pc"

  # A C program against the installed development files: through pkg-config with plain gcc
  # (no C++ runtime), and through find_package(wanradio-osl) from CMake.
  local cc=gcc
  [ "$arch" = armhf ] && cc=$triple-gcc
  cat >"$work/use.c" <<'C'
#include <osl/osl_string.h>
#include <osl/osl_socket.h>
int main(void) {
  char buf[16];
  int32_t n = osl_str_snprintf(buf, (int32_t)sizeof buf, "%s-%d", "osl", 7);
  osl_socket_destroy(osl_socket_create(2, 2, 0));
  return n == 5 && osl_strcmp_nocase(buf, "OSL-7") == 0 ? 0 : 1;
}
C
  # shellcheck disable=SC2046
  $cc -std=c99 -Wall -Wextra -Werror -o "$work/use-$arch" "$work/use.c" \
    $(PKG_CONFIG_SYSROOT_DIR="$root" pkg-config --cflags --libs --static wanradio-osl) \
    || fail "$dev: a C program does not build through pkg-config"
  "$@" "$work/use-$arch" || fail "$dev: the program built through pkg-config failed"
  readelf -d "$work/use-$arch" | grep -q 'libstdc++' && fail "$dev: a C program needs libstdc++"

  mkdir -p "$work/consumer-$arch"
  cp "$work/use.c" "$work/consumer-$arch/use.c"
  cat >"$work/consumer-$arch/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(wanradio-osl REQUIRED)
add_executable(consumer use.c)
target_link_libraries(consumer PRIVATE wanradio::osl)
CM
  local tc=()
  [ "$arch" = armhf ] && tc=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/$triple.cmake")
  cmake -S "$work/consumer-$arch" -B "$work/consumer-$arch/b" "${tc[@]}" \
        -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null \
    && cmake --build "$work/consumer-$arch/b" >/dev/null \
    || fail "$dev: a C program does not build through find_package(wanradio-osl)"
  "$@" "$work/consumer-$arch/b/consumer" || fail "$dev: the program built through find_package failed"

  # The examples, built from the installed documentation and run (log_daemon logs into a
  # directory of its own and to a UDP socket of its own on 127.0.0.1).
  for e in "${examples[@]}"; do
    local x=$work/${e%.c}-$arch args=()
    # shellcheck disable=SC2046
    $cc -std=c99 -Wall -Wextra -Werror -pedantic -o "$x" "$root/$docdir/examples/$e" \
      $(PKG_CONFIG_SYSROOT_DIR="$root" pkg-config --cflags --libs --static wanradio-osl) \
      || fail "$dev: example $e does not build"
    [ "$e" = log_daemon.c ] && { mkdir -p "$x.d"; args=("$x.d"); }
    "$@" "$x" "${args[@]}" >"$x.out" || { cat "$x.out"; fail "$dev: example $e failed"; }
  done
  unset PKG_CONFIG_LIBDIR
  echo "  ok ($arch): $how; wanradio runs; C builds via pkg-config and find_package; examples run"
}

# ---------------------------------------------------------------- dependency script
# Everything is installed by now, so the script must succeed without root and touch nothing.
if [ "$(id -u)" != 0 ]; then
  bash scripts/deps.sh --armhf || fail "deps.sh demands root although nothing is missing"
elif command -v setpriv >/dev/null; then
  mkdir -p "$work/deps" && cp scripts/deps.sh "$work/deps/" && chmod -R a+rX "$work"
  HOME=/nonexistent setpriv --reuid=65534 --regid=65534 --clear-groups bash "$work/deps/deps.sh" --armhf \
    || fail "deps.sh demands root although nothing is missing"
fi

# ---------------------------------------------------------------- host
# Configured as the issue's packagers do, but built only as far as the README's run command.
native=${OSL_DEB_BUILD_DIR:-build/deb-native}
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
  -DOSL_WERROR=ON >/dev/null
cmake --build "$native" -j"$jobs" --target wanradio wanradio-sim
# cmake --install works after that build, into a private prefix as well.
cmake --install "$native" --prefix "$work/prefix" >/dev/null || fail "cmake --install after the run command's build failed"
[ -f "$work/prefix/share/man/man1/wanradio.1.gz" ] || fail "cmake --install laid down no man page"
native_machine=$(readelf -h "$native/wanradio" | sed -n 's/^ *Machine: *//p')
check_pkgs "$native" "$(dpkg --print-architecture)" "$(gcc -print-multiarch)" "$native_machine" env

# ---------------------------------------------------------------- board
arm=${OSL_ARMHF_BUILD_DIR:-build/armhf}
[ -f "$arm/CMakeCache.txt" ] || fail "$arm is not configured: run scripts/test_armhf.sh"
cmake --build "$arm" -j"$jobs" --target wanradio osl
check_pkgs "$arm" armhf $triple ARM qemu-arm-static

# ---------------------------------------------------------------- both architectures at once
# Multi-Arch: same lets the host's and the board's development files live together; dpkg takes
# both only when every file they share is byte for byte the same.
native_dev=$native/libwanradio-osl-dev_${debver}_$(dpkg --print-architecture).deb
arm_dev=$arm/libwanradio-osl-dev_${debver}_armhf.deb
if [ "${as_root[0]:-}" = none ]; then
  why="the amd64 and armhf development packages side by side: dpkg installs only as root, and this kernel gives $(id -un) no user namespace"
  echo "  not run: $why"
  [ -z "${OSL_NOT_RUN:-}" ] || echo "test_packages: $why" >>"$OSL_NOT_RUN"
else
  root=$work/root-both
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  : >"$root/var/lib/dpkg/status"
  "${as_root[@]}" dpkg --root="$root" --add-architecture armhf
  "${as_root[@]}" dpkg --root="$root" --force-depends -i "$native_dev" "$arm_dev" >"$work/dpkg.log" 2>&1 \
    || { cat "$work/dpkg.log" >&2; fail "the two development packages do not install together"; }
  [ "$(dpkg --root="$root" -l 'libwanradio-osl-dev:*' | grep -c '^ii')" = 2 ] \
    || fail "the two development packages are not both installed"
  for ma in "$(gcc -print-multiarch)" $triple; do
    [ -f "$root/usr/lib/$ma/libwanradio-osl.a" ] || fail "no libwanradio-osl.a in /usr/lib/$ma"
  done
  echo "ok: libwanradio-osl-dev of $(dpkg --print-architecture) and armhf installed side by side"
fi
