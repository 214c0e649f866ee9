#!/usr/bin/env bash
# Package stage of the test command: builds the Debian packages wanradio, libwanradio-osl1 and
# libwanradio-osl-dev for the host (amd64) and the board (armhf) and checks, for each
# architecture:
#   - a name of the symbols file that the library lacks fails the package build and leaves no
#     .deb behind (host only: the check is the same code on both);
#   - the fields (name, section, architecture, Multi-Arch, version, Depends) and the contents of
#     the three packages, the upstream changelog.gz in each, and the runtime's control files
#     (symbols as kept in the tree, shlibs, the ldconfig trigger, no maintainer scripts);
#   - lintian --pedantic: no tag at all;
#   - the packaged wanradio is hardened (hardening-check: PIE, stack protector, fortified
#     functions, RELRO, BIND_NOW), and needs only libc and json-c;
#   - the three install with dpkg -i into a scratch root, the installed tool runs, pkg-config
#     prints plain /usr paths, C programs build against the installed files through pkg-config
#     and through find_package(wanradio-osl), the installed examples build
#     and run against the shared runtime, and dpkg-shlibdeps gives a program linked with
#     -lwanradio-osl a dependency on libwanradio-osl1 (>= the version that added its names).
#     dpkg installs only as root: any other user runs it inside a user namespace in which that
#     user is root. Where the kernel gives no user namespace, the packages are unpacked with
#     dpkg-deb instead, the checks on the files go on, and dpkg -i is named as not run.
# Then the amd64 and armhf runtime and development packages install side by side into one root.
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
# dpkg wants ldconfig and start-stop-daemon on PATH, which a user's PATH on Debian lacks.
export PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"

version=$(sed -n 's/^project(wanradio VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version found in CMakeLists.txt"
debver=$version-1
headers=()
for h in osl/common/*.h osl/linux/*.h osl_version.h; do headers+=("${h##*/}"); done
examples=()
for e in examples/*.c; do examples+=("${e##*/}"); done
docdir=./usr/share/doc/libwanradio-osl-dev
major=${version%%.*}

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
  (cd "$dir" && cpack -G DEB >/dev/null) || fail "$dir: cpack -G DEB failed"
  local tool=$dir/wanradio_${debver}_${arch}.deb rt=$dir/libwanradio-osl1_${debver}_${arch}.deb
  local dev=$dir/libwanradio-osl-dev_${debver}_${arch}.deb deb
  for deb in "$tool" "$rt" "$dev"; do [ -f "$deb" ] || fail "$deb was not built"; done
  local n
  n=$(find "$dir" -maxdepth 1 -name '*.deb' | wc -l)
  [ "$n" = 3 ] || fail "$dir: $n packages built, want wanradio, libwanradio-osl1 and libwanradio-osl-dev"
  echo "checking ${tool##*/} ($(stat -c %s "$tool") bytes), ${rt##*/} ($(stat -c %s "$rt") bytes)" \
       "and ${dev##*/} ($(stat -c %s "$dev") bytes)"

  # Fields.
  local want
  for want in "$tool:wanradio:utils:foreign" "$rt:libwanradio-osl1:libs:same" \
              "$dev:libwanradio-osl-dev:libdevel:same"; do
    IFS=: read -r deb p sec ma_field <<<"$want"
    [ "$(field "$deb" Package)" = "$p" ] || fail "$deb: package name is not $p"
    [ "$(field "$deb" Section)" = "$sec" ] || fail "$deb: section is not $sec"
    [ "$(field "$deb" Multi-Arch)" = "$ma_field" ] || fail "$deb: Multi-Arch is not $ma_field"
    [ "$(field "$deb" Architecture)" = "$arch" ] || fail "$deb: architecture is not $arch"
    [ "$(field "$deb" Version)" = "$debver" ] || fail "$deb: version is not $debver"
    case "$(field "$deb" Maintainer)" in
      *@localhost*|*@*.localdomain*|"") fail "$deb: no real Maintainer address" ;;
    esac
  done
  # The tool needs exactly libc and json-c's runtime, the runtime only libc; the development
  # files need their runtime of this very version and a libc with 64-bit time symbols.
  local depends names
  depends=$(field "$tool" Depends)
  echo "  wanradio Depends: $depends"
  names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//' | sort | tr '\n' ' ')
  [ "$names" = "libc6 libjson-c5 " ] || fail "$tool: Depends on '$names', want libc6 and libjson-c5 only"
  depends=$(field "$rt" Depends)
  echo "  libwanradio-osl1 Depends: $depends"
  [[ "$depends" =~ ^libc6\ \(\>=\ 2\.[0-9]+\)$ ]] || fail "$rt: Depends on '$depends', want libc6 only"
  depends=$(field "$dev" Depends)
  echo "  libwanradio-osl-dev Depends: $depends; Suggests: $(field "$dev" Suggests)"
  [ "$depends" = "libwanradio-osl1 (= $debver), libc6-dev (>= 2.34)" ] \
    || fail "$dev: Depends on '$depends'"

  # The runtime's control files: the symbols file as kept in the tree (dpkg-gensymbols checked
  # it against the library while packaging), shlibs, and ldconfig by trigger, with no script.
  local ctl=$work/control-$arch
  rm -rf "$ctl" && mkdir -p "$ctl" && dpkg-deb -e "$rt" "$ctl"
  cmp -s "$ctl/symbols" packaging/debian/libwanradio-osl1.symbols \
    || fail "$rt: DEBIAN/symbols differs from packaging/debian/libwanradio-osl1.symbols"
  grep -qxF "libwanradio-osl $major libwanradio-osl1 (>= $version)" "$ctl/shlibs" \
    || fail "$rt: wrong shlibs: $(cat "$ctl/shlibs")"
  grep -qxF "activate-noawait ldconfig" "$ctl/triggers" || fail "$rt: no ldconfig trigger"
  for f in preinst postinst prerm postrm; do
    [ ! -e "$ctl/$f" ] || fail "$rt: has a $f script"
  done

  # Contents: each file in the package it belongs to, and nowhere else.
  local lib=./usr/lib/$ma tl rl dl f p
  tl=$(dpkg-deb -c "$tool" | awk '{print $6}')
  rl=$(dpkg-deb -c "$rt" | awk '{print $6}')
  dl=$(dpkg-deb -c "$dev" | awk '{print $6}')
  local want_tool=(./usr/bin/wanradio ./usr/share/man/man1/wanradio.1.gz)
  local want_rt=("$lib/libwanradio-osl.so.$major" "$lib/libwanradio-osl.so.$version"
                 ./usr/share/lintian/overrides/libwanradio-osl1)
  local cm=$lib/cmake/wanradio-osl
  local want_dev=("$lib/libwanradio-osl.a" "$lib/libwanradio-osl.so" "$lib/pkgconfig/wanradio-osl.pc"
                  "$cm/wanradio-osl-config.cmake" "$cm/wanradio-osl-config-version.cmake"
                  "$cm/wanradio-osl-targets.cmake")
  for h in "${headers[@]}"; do want_dev+=("./usr/include/wanradio/osl/$h"); done
  for e in "${examples[@]}"; do want_dev+=("$docdir/examples/$e"); done
  for f in copyright changelog.Debian.gz changelog.gz; do
    want_tool+=("./usr/share/doc/wanradio/$f")
    want_rt+=("./usr/share/doc/libwanradio-osl1/$f")
    want_dev+=("$docdir/$f")
  done
  for f in "${want_tool[@]}"; do grep -qxF "$f" <<<"$tl" || fail "$tool: $f missing"; done
  for f in "${want_rt[@]}"; do grep -qxF "$f" <<<"$rl" || fail "$rt: $f missing"; done
  for f in "${want_dev[@]}"; do grep -qxF "$f" <<<"$dl" || fail "$dev: $f missing"; done
  grep -q 'osl\|/include/\|cmake\|pkgconfig' <<<"$tl" && fail "$tool: holds library files"
  grep -q 'bin/\|/man/\|/include/\|\.a$\|\.so$\|cmake\|pkgconfig' <<<"$rl" && fail "$rt: holds more than the runtime"
  grep -q 'bin/\|/man/\|\.so\.' <<<"$dl" && fail "$dev: holds the tool, its manual page or the runtime"
  [ "$(dpkg-deb --fsys-tarfile "$rt" | tar -tvf - "$lib/libwanradio-osl.so.$major" | awk '{print $NF}')" \
    = "libwanradio-osl.so.$version" ] || fail "$rt: libwanradio-osl.so.$major does not point to libwanradio-osl.so.$version"
  local gz
  for deb in "$tool" "$rt" "$dev"; do
    p=$(field "$deb" Package)
    gz=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/share/doc/$p/changelog.gz" | md5sum)
    [ "$gz" = "$(gzip -9n -c CHANGELOG.md | md5sum)" ] || fail "$deb: changelog.gz is not gzip -9n of CHANGELOG.md"
  done

  # lintian, pedantic: no tag at all (a tag the package overrides, with its reason, is not shown).
  local lint
  lint=$(lintian --pedantic --display-info --fail-on none "$tool" "$rt" "$dev" 2>"$work/lintian.err") \
    || { cat "$work/lintian.err" >&2; fail "lintian did not run"; }
  lint=$(grep -E '^[EWIPXCO]: ' <<<"$lint" || true)
  [ -z "$lint" ] || { echo "$lint" | sed 's/^/  lintian: /'; fail "lintian tags the $arch packages"; }
  echo "  lintian --pedantic ($arch): no tag on the three packages"

  # Install the three into a scratch root. The root has an empty dpkg database, so the
  # dependencies (checked above) are taken as met, and nothing there answers the ldconfig trigger.
  local root=$work/root-$arch
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  : >"$root/var/lib/dpkg/status"
  local how=installed
  if [ "${as_root[0]:-}" = none ]; then
    how="unpacked (not installed)"
    local why="dpkg -i into a scratch root: dpkg installs only as root, and this kernel gives $(id -un) no user namespace; unpacked with dpkg-deb -x instead"
    echo "  not run ($arch): $why"
    [ -z "${OSL_NOT_RUN:-}" ] || echo "test_packages ($arch): $why" >>"$OSL_NOT_RUN"
    for deb in "$tool" "$rt" "$dev"; do dpkg-deb -x "$deb" "$root"; done
  else
    [ "$arch" = "$(dpkg --print-architecture)" ] ||
      "${as_root[@]}" dpkg --root="$root" --add-architecture "$arch"
    "${as_root[@]}" dpkg --root="$root" --force-depends -i "$tool" "$rt" "$dev" >"$work/dpkg.log" 2>&1 \
      || { cat "$work/dpkg.log" >&2; fail "dpkg -i of the $arch packages into a scratch root failed"; }
    for p in wanradio libwanradio-osl1 libwanradio-osl-dev; do
      dpkg --root="$root" -s "$p:$arch" 2>/dev/null | grep -qx 'Status: install ok installed' \
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

  # C programs against the installed development files, run against the installed runtime
  # (found only through LD_LIBRARY_PATH: the machine has no libwanradio-osl of its own): through
  # pkg-config with plain gcc (no C++ runtime), and through find_package(wanradio-osl) from
  # CMake.
  local cc=gcc rt_path=$root/usr/lib/$ma
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
    $(PKG_CONFIG_SYSROOT_DIR="$root" pkg-config --cflags --libs wanradio-osl) \
    || fail "$dev: a C program does not build through pkg-config"
  LD_LIBRARY_PATH=$rt_path "$@" "$work/use-$arch" || fail "$dev: the program built through pkg-config failed"
  readelf -d "$work/use-$arch" >"$work/needed"
  grep -q 'libstdc++' "$work/needed" && fail "$dev: a C program needs libstdc++"
  grep -q "(NEEDED).*\[libwanradio-osl\.so\.$major\]" "$work/needed" \
    || fail "$dev: pkg-config --libs does not give the shared library"

  # dpkg-shlibdeps, as a package built against this one runs it, reads the runtime's symbols file.
  local sd=$work/shlibdeps-$arch deps
  mkdir -p "$sd/debian/consumer/usr/bin" "$sd/debian/consumer/DEBIAN"
  printf 'Source: consumer\n\nPackage: consumer\nArchitecture: any\n' >"$sd/debian/control"
  dpkg-deb -R "$rt" "$sd/debian/libwanradio-osl1"
  cp "$work/use-$arch" "$sd/debian/consumer/usr/bin/use"
  deps=$(cd "$sd" && dpkg-shlibdeps -O -Sdebian/libwanradio-osl1 debian/consumer/usr/bin/use 2>&1) \
    || { echo "$deps" >&2; fail "dpkg-shlibdeps failed on a program linked with -lwanradio-osl"; }
  echo "  dpkg-shlibdeps ($arch): ${deps#shlibs:Depends=}"
  tr ',' '\n' <<<"${deps#shlibs:Depends=}" | sed 's/^ *//' | grep -qxF 'libwanradio-osl1 (>= 1.0.0)' \
    || fail "dpkg-shlibdeps gives '$deps', want libwanradio-osl1 (>= 1.0.0)"

  mkdir -p "$work/consumer-$arch"
  cp "$work/use.c" "$work/consumer-$arch/use.c"
  cat >"$work/consumer-$arch/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(wanradio-osl REQUIRED)
add_executable(consumer use.c)
target_link_libraries(consumer PRIVATE wanradio::osl)
CM
  local tc=() b=$work/consumer-$arch/b
  [ "$arch" = armhf ] && tc=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/$triple.cmake")
  cmake -S "$work/consumer-$arch" -B "$b" "${tc[@]}" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null \
    && cmake --build "$b" >/dev/null \
    || fail "$dev: a C program does not build through find_package(wanradio-osl)"
  LD_LIBRARY_PATH=$rt_path "$@" "$b/consumer" || fail "$dev: the program linked with wanradio::osl failed"
  readelf -d "$b/consumer" | grep -q "\[libwanradio-osl\.so\.$major\]" \
    || fail "$dev: wanradio::osl is not the shared library"

  # The examples, built from the installed documentation and run against the installed runtime
  # (log_daemon logs into a directory of its own and to a UDP socket of its own on 127.0.0.1).
  for e in "${examples[@]}"; do
    local x=$work/${e%.c}-$arch args=()
    # shellcheck disable=SC2046
    $cc -std=c99 -Wall -Wextra -Werror -pedantic -o "$x" "$root/$docdir/examples/$e" \
      $(PKG_CONFIG_SYSROOT_DIR="$root" pkg-config --cflags --libs wanradio-osl) \
      || fail "$dev: example $e does not build"
    readelf -d "$x" | grep -q "\[libwanradio-osl\.so\.$major\]" || fail "$dev: example $e is not linked with the runtime"
    [ "$e" = log_daemon.c ] && { mkdir -p "$x.d"; args=("$x.d"); }
    LD_LIBRARY_PATH=$rt_path "$@" "$x" "${args[@]}" >"$x.out" || { cat "$x.out"; fail "$dev: example $e failed"; }
  done
  unset PKG_CONFIG_LIBDIR
  echo "  ok ($arch): $how; wanradio runs; C builds via pkg-config and find_package; examples run on libwanradio-osl.so.$major"
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
# A name the symbols file lists and the library does not export fails the package build, whatever
# version the file gives it, and leaves no package behind (not even one of an earlier build).
(cd "$native" && cpack -G DEB >/dev/null) || fail "$native: cpack -G DEB failed"
cp packaging/debian/libwanradio-osl1.symbols "$work/lost.symbols"
echo " osl_lost_name@WANRADIO_OSL_1.0 $version" >>"$work/lost.symbols"
if (cd "$native" && cpack -G DEB -D CPACK_OSL_SYMBOLS=libwanradio-osl1="$work/lost.symbols") \
     >"$work/lost.log" 2>&1; then
  fail "the package build passed although the library lacks a name of the symbols file"
fi
grep -q 'listed but not exported: osl_lost_name@WANRADIO_OSL_1.0' "$work/lost.log" \
  || { cat "$work/lost.log" >&2; fail "the failed package build does not name the lost name"; }
left=$(find "$native" -name '*.deb' | wc -l)
[ "$left" = 0 ] || fail "a failed package build left $left .deb files behind"
echo "ok: a name lost from the library fails the package build and leaves no .deb"
check_pkgs "$native" "$(dpkg --print-architecture)" "$(gcc -print-multiarch)" "$native_machine" env

# ---------------------------------------------------------------- board
arm=${OSL_ARMHF_BUILD_DIR:-build/armhf}
[ -f "$arm/CMakeCache.txt" ] || fail "$arm is not configured: run scripts/test_armhf.sh"
cmake --build "$arm" -j"$jobs" --target wanradio osl
check_pkgs "$arm" armhf $triple ARM qemu-arm-static

# ---------------------------------------------------------------- both architectures at once
# Multi-Arch: same lets the host's and the board's runtime and development files live together;
# dpkg takes both only when every file they share is byte for byte the same.
host_arch=$(dpkg --print-architecture)
both=()
for p in libwanradio-osl1 libwanradio-osl-dev; do
  both+=("$native/${p}_${debver}_$host_arch.deb" "$arm/${p}_${debver}_armhf.deb")
done
if [ "${as_root[0]:-}" = none ]; then
  why="the amd64 and armhf library packages side by side: dpkg installs only as root, and this kernel gives $(id -un) no user namespace"
  echo "  not run: $why"
  [ -z "${OSL_NOT_RUN:-}" ] || echo "test_packages: $why" >>"$OSL_NOT_RUN"
else
  root=$work/root-both
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  : >"$root/var/lib/dpkg/status"
  "${as_root[@]}" dpkg --root="$root" --add-architecture armhf
  "${as_root[@]}" dpkg --root="$root" --force-depends -i "${both[@]}" >"$work/dpkg.log" 2>&1 \
    || { cat "$work/dpkg.log" >&2; fail "the library packages of both architectures do not install together"; }
  for p in libwanradio-osl1 libwanradio-osl-dev; do
    [ "$(dpkg --root="$root" -l "$p:*" | grep -c '^ii')" = 2 ] \
      || fail "$p is not installed for both architectures"
  done
  for ma in "$(gcc -print-multiarch)" $triple; do
    for f in libwanradio-osl.a "libwanradio-osl.so.$major"; do
      [ -e "$root/usr/lib/$ma/$f" ] || fail "no $f in /usr/lib/$ma"
    done
  done
  echo "ok: libwanradio-osl1 and libwanradio-osl-dev of $host_arch and armhf installed side by side"
fi
