#!/bin/sh
# Footprint budget of the tool, run as a ctest:
#   footprint.sh <wanradio> <strip> <readelf> <budget-bytes>
# Strips a copy of the built program and fails when it is larger than the budget (0: size only
# reported) or when it needs at run time any shared library other than libc and libjson-c.
set -eu
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
