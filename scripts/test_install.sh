#!/usr/bin/env bash
# Installs the native build into a private prefix and checks what a user of the layer relies on:
# a C99 program builds against the installed headers and links the shared library through
# pkg-config with plain gcc (no C++ runtime), the installed examples build and run against it, a
# CMake project finds wanradio::osl (and the older osl::osl) and wanradio::osl-static and links a
# C program with the C driver, and wanradio needs only libc and json-c.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
examples=share/doc/libwanradio-osl-dev/examples
for f in bin/wanradio lib/libwanradio-osl.a lib/libwanradio-osl.so lib/libwanradio-osl.so.1 \
         lib/pkgconfig/wanradio-osl.pc \
         lib/cmake/wanradio-osl/wanradio-osl-config.cmake include/wanradio/osl/osl_types.h \
         include/wanradio/osl/osl_version.h include/wanradio/osl/osl_socket.h \
         $examples/log_daemon.c $examples/url_params.c $examples/pool_leaks.c; do
  [ -e "$prefix/$f" ] || { echo "install check: $f is missing"; exit 1; }
done

# Every installed header, included from C99 with warnings as errors.
{
  for h in "$prefix"/include/wanradio/osl/*.h; do echo "#include <osl/$(basename "$h")>"; done
  cat <<'C'
#include <stdio.h>
int main(void) {
  char buf[16];
  int32_t n = osl_str_snprintf(buf, (int32_t)sizeof buf, "%s-%d", "osl", 7);
  SOCKET s = osl_socket_create(2, 2, 0);
  osl_socket_destroy(s);
  if (n != 5 || osl_strcmp_nocase(buf, "OSL-7") != 0) return 1;
  puts(buf);
  return 0;
}
C
} >"$work/use.c"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
export LD_LIBRARY_PATH=$prefix/lib   # the installed runtime, for the programs linked with it
# shellcheck disable=SC2046
gcc -std=c99 -Wall -Wextra -Werror -pedantic -o "$work/use" "$work/use.c" \
    $(pkg-config --cflags --libs --static wanradio-osl)
[ "$("$work/use")" = "osl-7" ] || { echo "install check: C program gave a wrong answer"; exit 1; }
needed=$(readelf -d "$work/use")
grep -q 'libstdc++' <<<"$needed" && { echo "install check: a C program linking the layer needs libstdc++"; exit 1; }
grep -q 'libwanradio-osl\.so\.1' <<<"$needed" || { echo "install check: pkg-config does not give the shared library"; exit 1; }
echo "install check: C99 program via pkg-config and gcc, with libwanradio-osl.so.1: ok"

# The examples, as a user builds them from the documentation directory.
for src in "$prefix/$examples"/*.c; do
  name=$(basename "$src" .c)
  # shellcheck disable=SC2046
  gcc -std=c99 -Wall -Wextra -Werror -pedantic -o "$work/$name" "$src" \
      $(pkg-config --cflags --libs --static wanradio-osl)
  args=()
  [ "$name" = log_daemon ] && args=("$work")   # it logs into the directory it is given
  "$work/$name" "${args[@]}" >"$work/$name.out" \
    || { cat "$work/$name.out"; echo "install check: example $name failed"; exit 1; }
done
echo "install check: examples $(cd "$prefix/$examples" && echo *.c) build and run: ok"

# A CMake consumer through find_package(wanradio-osl): a C program linked by the C driver, and a
# C++ one through the older target name.
mkdir -p "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(consumer C CXX)
find_package(wanradio-osl REQUIRED)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE osl::osl)
add_executable(c_consumer use.c)
target_link_libraries(c_consumer PRIVATE wanradio::osl-static)
add_executable(c_shared_consumer use.c)
target_link_libraries(c_shared_consumer PRIVATE wanradio::osl)
CM
cp "$work/use.c" "$work/consumer/use.c"
cat >"$work/consumer/main.cpp" <<'CPP'
#include <osl/osl_string.h>
int main() { return osl_strcmp_nocase("Help", "HELP"); }
CPP
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
"$work/consumer/build/consumer"
"$work/consumer/build/c_consumer" >/dev/null
"$work/consumer/build/c_shared_consumer" >/dev/null
readelf -d "$work/consumer/build/c_consumer" | grep -q 'libwanradio-osl\.so' &&
  { echo "install check: wanradio::osl-static links the shared library"; exit 1; }
readelf -d "$work/consumer/build/c_shared_consumer" | grep -q 'libwanradio-osl\.so\.1' ||
  { echo "install check: wanradio::osl does not link libwanradio-osl.so.1"; exit 1; }
c_linker=$(sed -n 's/^CMAKE_C_COMPILER:[A-Z]*=//p' "$work/consumer/build/CMakeCache.txt")
read -r linker _ <"$work/consumer/build/CMakeFiles/c_consumer.dir/link.txt"
[ "$linker" = "$c_linker" ] || { echo "install check: a C consumer is linked by $linker"; exit 1; }
echo "install check: find_package(wanradio-osl) from CMake, shared and static, C linked by $linker: ok"

needed=$(readelf -d "$prefix/bin/wanradio" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
case "$needed" in
  "libc.so.6 libjson-c.so.5 ") echo "install check: wanradio needs $needed: ok" ;;
  *) echo "install check: wanradio needs more than libc and json-c: $needed"; exit 1 ;;
esac
