#!/usr/bin/env bash
# Figures in the documents that change with the code (sizes of the tool, the library and the
# packages, imported symbols, test counts), measured from the builds of the test command:
#   scripts/figures.sh --check   exit 1 naming each figure whose text in a document differs from
#                                what the builds measure (the test command's last stage)
#   scripts/figures.sh --write   rewrite the figures in the documents from the builds
# A document holds them as a table between "<!-- figures:begin NAME -->" and "<!-- figures:end -->"
# lines, one "| label | value |" row per figure; everything between the markers is generated.
# Trees read: build/armhf (OSL_ARMHF_BUILD_DIR) and build/deb-native (OSL_DEB_BUILD_DIR), as
# scripts/test_armhf.sh configures them. Out-of-date targets are built and both trees' packages
# made again (they are reproducible) before anything is measured. Each table names the toolchain
# it was measured with; on another toolchain its figures are named as not compared (OSL_NOT_RUN).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
triple="arm-linux-gnueabihf"

fail() { echo "figures: $*" >&2; exit 1; }

mode=${1:-}
case "$mode" in --check|--write) ;; *) echo "usage: scripts/figures.sh --check | --write" >&2; exit 2 ;; esac

arm=${OSL_ARMHF_BUILD_DIR:-build/armhf}
native=${OSL_DEB_BUILD_DIR:-build/deb-native}
for tree in "$arm" "$native"; do
  [ -f "$tree/CMakeCache.txt" ] || fail "$tree is not configured: run scripts/test_armhf.sh first"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ---------------------------------------------------------------- bring the trees up to date
cmake --build "$arm" -j"$jobs" >/dev/null
cmake --build "$native" -j"$jobs" --target wanradio wanradio-sim >/dev/null
for tree in "$arm" "$native"; do
  rm -f "$tree"/*.deb
  (cd "$tree" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack in $tree failed"; }
done

# ---------------------------------------------------------------- measures
size() { stat -c %s "$1"; }
# one_file <glob>: the single file the glob names.
one_file() {
  local f=("$@")
  [ ${#f[@]} = 1 ] && [ -f "${f[0]}" ] || fail "want exactly one of: $*"
  echo "${f[0]}"
}
# member_size <deb> <path>: size of a file inside a package.
member_size() {
  local n
  n=$(dpkg-deb -c "$1" | awk -v p="$2" '$NF == p { print $3 }')
  [ -n "$n" ] || fail "$1 holds no $2"
  echo "$n"
}
# strip_all <program> <strip>: size after footprint.sh's strip (--strip-all).
strip_all() {
  local n
  n=$(sh scripts/footprint.sh "$1" "$2" readelf 0 | sed -n 's/^stripped wanradio: \([0-9]*\) bytes.*/\1/p')
  [ -n "$n" ] || fail "footprint.sh gave no size for $1"
  echo "$n"
}
cache() { sed -n "s|^$2:[A-Z]*=||p" "$1/CMakeCache.txt"; }
toolchain() {  # <tree>
  local cc ld
  cc=$(sed -n 's/^set(CMAKE_C_COMPILER_VERSION "\(.*\)")/\1/p' "$1"/CMakeFiles/*/CMakeCCompiler.cmake | head -n1)
  ld=$("$(cache "$1" CMAKE_LINKER)" --version | sed -n '1s/.* //p')
  [ -n "$cc" ] && [ -n "$ld" ] || fail "no compiler or linker version found in $1"
  echo "GCC $cc, GNU ld $ld"
}
dpkg_deb=$(dpkg-deb --version | sed -n '1s/.* version \([^ ]*\).*/\1/p')

# Every figure is measured before any table is made, so that a failed measure stops the script.
arm_tool=$(one_file "$arm"/wanradio_*_armhf.deb)
arm_dev=$(one_file "$arm"/libwanradio-osl-dev_*_armhf.deb)
arm_rt=$(one_file "$arm"/libwanradio-osl1_*_armhf.deb)
native_rt=$(one_file "$native"/libwanradio-osl1_*_amd64.deb)
native_tool=$(one_file "$native"/wanradio_*_amd64.deb)
native_dev=$(one_file "$native"/libwanradio-osl-dev_*_amd64.deb)
arm_toolchain=$(toolchain "$arm")
native_toolchain=$(toolchain "$native")
arm_stripped=$(strip_all "$arm/wanradio" $triple-strip)
arm_packaged=$(member_size "$arm_tool" ./usr/bin/wanradio)
arm_lib=$(size "$arm/libwanradio-osl.a")
arm_lib_packaged=$(member_size "$arm_dev" ./usr/lib/$triple/libwanradio-osl.a)
arm_so_packaged=$(member_size "$arm_rt" ./usr/lib/$triple/libwanradio-osl.so.1.1.0)
arm_tool_deb=$(size "$arm_tool")
arm_rt_deb=$(size "$arm_rt")
native_rt_deb=$(size "$native_rt")
arm_dev_deb=$(size "$arm_dev")
native_tool_deb=$(size "$native_tool")
native_dev_deb=$(size "$native_dev")
arm_tests=$(cd "$arm" && ctest -N | sed -n 's/^Total Tests: //p')
[ -n "$arm_tests" ] || fail "ctest -N in $arm counted no tests"
native_size=$(size "$native/wanradio")
native_stripped=$(strip_all "$native/wanradio" strip)
imports=$(readelf --dyn-syms -W "$native/wanradio" | awk '$7 == "UND" && $8 != ""' | wc -l)
binding=lazy
readelf -d "$native/wanradio" | grep 'BIND_NOW' >/dev/null && binding='immediate (`BIND_NOW`)'

# Each table: its rows, in the order the document shows them.
table_board() {
  cat <<EOF
| figure | value |
|---|---:|
| toolchain | armhf $arm_toolchain; amd64 $native_toolchain; dpkg-deb $dpkg_deb |
| armhf \`wanradio\` after \`strip --strip-all\` (the footprint test; budget 16384) | $arm_stripped |
| armhf \`wanradio\` as packaged (\`strip\`, then \`.comment\` removed) | $arm_packaged |
| armhf \`libwanradio-osl.a\` as built | $arm_lib |
| armhf \`libwanradio-osl.a\` as packaged (debugging sections stripped) | $arm_lib_packaged |
| armhf \`libwanradio-osl.so.1.1.0\` as packaged (stripped) | $arm_so_packaged |
| package \`wanradio\`, armhf | $arm_tool_deb |
| package \`wanradio\`, amd64 | $native_tool_deb |
| package \`libwanradio-osl1\`, armhf | $arm_rt_deb |
| package \`libwanradio-osl1\`, amd64 | $native_rt_deb |
| package \`libwanradio-osl-dev\`, armhf | $arm_dev_deb |
| package \`libwanradio-osl-dev\`, amd64 | $native_dev_deb |
| armhf tests, run under qemu by the test command (ctest count) | $arm_tests |
EOF
}
table_tool() {
  cat <<EOF
| figure | value |
|---|---:|
| toolchain | $native_toolchain |
| binding | $binding |
| size as built (bytes) | $native_size |
| size after \`strip --strip-all\` (bytes) | $native_stripped |
| imported symbols (undefined dynamic symbols, \`readelf --dyn-syms\`) | $imports |
EOF
}

# ---------------------------------------------------------------- documents
# block <document> <table name>: the lines between the table's markers (status 1 if none).
block() {
  awk -v b="<!-- figures:begin $2 -->" '
    $0 == b { inside = 1; found = 1; next }
    inside && $0 == "<!-- figures:end -->" { inside = 0; next }
    inside { print }
    END { exit !found }' "$1"
}
# rows <file>: "label<TAB>value" for each table row but the header and the rule.
rows() {
  awk -F'|' 'NR > 2 && NF >= 4 {
    l = $2; v = $3
    gsub(/^ +| +$/, "", l); gsub(/^ +| +$/, "", v)
    print l "\t" v }' "$1"
}

status=0
check_block() {  # <document> <table name>
  local doc=$1 name=$2 want=$work/$2.want have=$work/$2.have
  "table_$name" >"$want"
  if ! block "$doc" "$name" >"$have"; then
    echo "figures: $doc has no table \"$name\" (<!-- figures:begin $name -->)" >&2; status=1; return
  fi
  if [ "$mode" = --write ]; then
    if ! cmp -s "$want" "$have"; then
      awk -v b="<!-- figures:begin $name -->" -v new="$want" '
        $0 == b { print; while ((getline l < new) > 0) print l; skip = 1; next }
        skip && $0 == "<!-- figures:end -->" { skip = 0 }
        !skip { print }' "$doc" >"$work/doc"
      cat "$work/doc" >"$doc"
      echo "figures: $doc: table \"$name\" rewritten"
    fi
    return
  fi
  cmp -s "$want" "$have" && { echo "figures: $doc: table \"$name\" matches the builds"; return; }
  local tw th
  tw=$(rows "$want" | awk -F'\t' '$1 == "toolchain" { print $2 }')
  th=$(rows "$have" | awk -F'\t' '$1 == "toolchain" { print $2 }')
  if [ -n "$th" ] && [ "$tw" != "$th" ]; then
    local why="figures: table \"$name\" of $doc not compared: its figures come from $th; this machine builds with $tw"
    echo "$why"
    [ -z "${OSL_NOT_RUN:-}" ] || echo "$why" >>"$OSL_NOT_RUN"
    return
  fi
  status=1
  # Each row that differs or is missing, by its label; then any difference of layout.
  awk -F'\t' -v doc="$doc" '
    NR == FNR { have[$1] = $2; next }
    !($1 in have) { printf "figures: %s: \"%s\" is missing; measured: %s\n", doc, $1, $2; bad = 1; next }
    have[$1] != $2 { printf "figures: %s: \"%s\" is %s; measured: %s\n", doc, $1, have[$1], $2; bad = 1 }
    END { exit !bad }' <(rows "$have") <(rows "$want") >&2 ||
    echo "figures: $doc: table \"$name\" differs from the generated one in its layout" >&2
}

check_block README.md board
check_block docs/benchmarks.md tool
if [ "$status" != 0 ]; then
  echo "figures: the documents differ from the builds; scripts/figures.sh --write rewrites them" >&2
fi
exit $status
