#!/usr/bin/env bash
# Rewrites the descriptions of libwanradio-osl.so.1 kept in the tree from the library as built
# now, once a change to its interface is meant:
#   packaging/debian/libwanradio-osl1.symbols       every exported name with the version that
#                                                   first had it (dpkg-gensymbols: names already
#                                                   listed keep theirs, new ones get the project's)
#   packaging/abi/<triplet>/libwanradio-osl.so.1.abi  the ABI (abidw --exported-interfaces-only),
#                                                   for the host (x86_64-linux-gnu) and the board
#                                                   (arm-linux-gnueabihf), with no path of this
#                                                   checkout or its build trees in it (the build
#                                                   maps them away; checked), so the same tree
#                                                   gives the same description in any folder
#   packaging/abi/<triplet>/libwanradio-osl.so.1.macros  the public headers' macros and their
#                                                   values, as that target's compiler reads them
# Builds the library in build/abi-native and build/abi-armhf (RelWithDebInfo: abidw reads DWARF).
# After a SONAME bump, delete the symbols file first: it describes the old library.
#   bash scripts/update_abi.sh [--native-only]
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
version=$(sed -n 's/^project(wanradio VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
symbols=packaging/debian/libwanradio-osl1.symbols
triple=arm-linux-gnueabihf

trees=("build/abi-native::$(gcc -print-multiarch)")
[ "${1:-}" = --native-only ] || trees+=("build/abi-armhf:$src/cmake/toolchains/$triple.cmake:$triple")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

first=1
for t in "${trees[@]}"; do
  IFS=: read -r dir toolchain ma <<<"$t"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DBUILD_SHARED_LIBS=OFF \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} >/dev/null
  cmake --build "$dir" -j2 --target osl_shared >/dev/null
  lib=$(readlink -f "$dir/libwanradio-osl.so.$major")
  mkdir -p "packaging/abi/$ma"
  abi=packaging/abi/$ma/libwanradio-osl.so.$major
  abidw --exported-interfaces-only --no-corpus-path --no-comp-dir-path --out-file "$work/out.abi" "$lib"
  if grep -q -e "$src" -e "$(readlink -f "$dir")" "$work/out.abi"; then
    grep -n -m3 -e "$src" -e "$(readlink -f "$dir")" "$work/out.abi" >&2
    echo "update_abi: the description names this checkout's folders (above); not written" >&2
    exit 1
  fi
  cp "$work/out.abi" "$abi.abi"
  echo "update_abi: $abi.abi"
  # The public macros, read as the check reads them, by this target's compiler.
  cc=$(sed -n 's/^CC=//p' "$dir/osl_abi.txt")
  headers=$(sed -n 's/^OSL_HEADERS_FOR_ABI=//p' "$dir/osl_abi.txt")
  cmake -DCC="$cc" -DHEADERS="$headers" -DWRITE_MACROS="$abi.macros" -P cmake/check_abi.cmake >/dev/null
  echo "update_abi: $abi.macros ($(grep -c '^#define' "$abi.macros") macros)"
  # The names are the same on every architecture: the symbols file comes from the first tree.
  if [ "$first" = 1 ]; then
    mkdir -p "$work/pkg/usr/lib/$ma" "$work/debian"
    cp "$lib" "$work/pkg/usr/lib/$ma/"
    ln -s "${lib##*/}" "$work/pkg/usr/lib/$ma/libwanradio-osl.so.$major"
    old=()
    [ -f "$symbols" ] && old=(-I"$src/$symbols")
    (cd "$work" && dpkg-gensymbols -q -plibwanradio-osl1 -v"$version" -Ppkg "${old[@]}" -Oout.symbols)
    # Programs built against the -dev package need the version that added the names they use.
    grep -q '^\* Build-Depends-Package:' "$work/out.symbols" ||
      sed -i '1a * Build-Depends-Package: libwanradio-osl-dev' "$work/out.symbols"
    cp "$work/out.symbols" "$symbols"
    echo "update_abi: $symbols ($(grep -c '^ ' "$symbols") names)"
    first=0
  fi
done
