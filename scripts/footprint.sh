#!/bin/sh
# Footprint budget of the tool, run as a ctest:
#   footprint.sh <wanradio> <strip> <readelf> <budget-bytes>
#   footprint.sh --build <build type> <source dir> <build dir> <toolchain file> <strip> <readelf>
#                <budget-bytes> [cmake options...]
# Strips a copy of the built program and fails when it is larger than the budget (0: size only
# reported) or when it needs at run time any shared library other than libc and libjson-c. With
# --build it first configures the source with that toolchain file and build type in the build
# directory and builds only wanradio, so a tree of one build type checks another's tool.
set -eu
if [ "$1" = --build ]; then
  type=$2 src=$3 dir=$4 toolchain=$5
  shift 5
  strip=$1 readelf=$2 budget=$3
  shift 3
  cmake -S "$src" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE="$type" \
    -DBUILD_TESTING=OFF "$@" >"$dir.log" 2>&1 &&
    cmake --build "$dir" -j2 --target wanradio >>"$dir.log" 2>&1 ||
    { cat "$dir.log" >&2; echo "FAIL: the $type build of wanradio failed" >&2; exit 1; }
  echo "$type build of wanradio in $dir"
  exec sh "$0" "$dir/wanradio" "$strip" "$readelf" "$budget"
fi
prog=$1 strip=$2 readelf=$3 budget=$4

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$prog" "$tmp/wanradio"
"$strip" --strip-all "$tmp/wanradio"
size=$(wc -c < "$tmp/wanradio" | tr -d ' ')
echo "stripped wanradio: $size bytes (budget: ${budget:-0})"

status=0
if [ "$budget" -gt 0 ] && [ "$size" -gt "$budget" ]; then
  echo "FAIL: stripped wanradio is $size bytes, over the budget of $budget" >&2
  status=1
fi

# NEEDED entries look like: 0x00000001 (NEEDED)  Shared library: [libc.so.6]
needed=$("$readelf" -d "$tmp/wanradio" | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p')
[ -n "$needed" ] || { echo "FAIL: no NEEDED entries read from wanradio" >&2; exit 1; }
for lib in $needed; do
  case "$lib" in
    libc.so.*|ld-linux*.so.*|libjson-c.so.*) echo "needs $lib" ;;
    *) echo "FAIL: wanradio needs $lib (only libc and libjson-c are allowed)" >&2; status=1 ;;
  esac
done
exit $status
