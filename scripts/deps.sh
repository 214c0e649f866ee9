#!/usr/bin/env bash
# Installs from the Debian archive what building and testing wanradio and the osl layer needs.
# Idempotent: packages already present are left alone, and when nothing is missing apt is not
# touched and root is not needed. No server that this script installs (the test web servers, or
# anything they pull in) is started, or left enabled at boot: the tests run their own copies.
#   scripts/deps.sh                building and running the tool: compiler, CMake, pkg-config, json-c
#   scripts/deps.sh --test         also everything the tests use (GoogleTest, clang for the
#                                  fuzzers, lintian, the peers the tests talk to, ...)
#   scripts/deps.sh --armhf        also the armhf cross toolchain, libraries and qemu (implies --test)
set -euo pipefail

want_test=0
want_armhf=0
for a in "$@"; do
  case "$a" in
    --test) want_test=1 ;;
    --armhf) want_test=1; want_armhf=1 ;;
    -h|--help) sed -n '2,8s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "deps.sh: unknown option $a" >&2; exit 2 ;;
  esac
done

# Building and running the tool.
build_pkgs=(build-essential cmake pkg-config libjson-c-dev)
# Everything the test command uses beyond that: the one list of test packages.
test_pkgs=(libgtest-dev libgmock-dev googletest libbenchmark-dev clang libclang-rt-14-dev
           curl jq iproute2 util-linux procps file lintian devscripts abigail-tools
           python3 busybox lighttpd nginx)
# The board's cross build and its tests under emulation.
armhf_pkgs=(crossbuild-essential-armhf libjson-c-dev:armhf libgtest-dev:armhf qemu-user-static
            libbenchmark-dev:armhf)

pkgs=("${build_pkgs[@]}")
[ "$want_test" = 1 ] && pkgs+=("${test_pkgs[@]}")
add_arch=0
if [ "$want_armhf" = 1 ]; then
  pkgs+=("${armhf_pkgs[@]}")
  dpkg --print-foreign-architectures | grep -qx armhf || add_arch=1
fi

missing=()
for p in "${pkgs[@]}"; do
  # dpkg-query reports "install ok installed" only for a fully installed package.
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -eq 0 ] && [ "$add_arch" = 0 ]; then
  echo "deps.sh: all ${#pkgs[@]} needed packages are installed"
  exit 0
fi

[ "$add_arch" = 1 ] && echo "deps.sh: needs the armhf architecture added to dpkg"
[ "${#missing[@]}" -gt 0 ] && echo "deps.sh: needs ${#missing[@]} Debian packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "deps.sh: installing them needs root: run this script as root (for instance with su -c or sudo)," >&2
  echo "         or install the packages above yourself" >&2
  exit 1
fi

# Every service started at boot as things are now, one per line: "systemd UNIT FILE" for a
# service or socket unit enabled through a .wants/.requires link, "sysv NAME /etc/init.d/NAME" for
# a SysV start link of a multi-user runlevel. Timers and early-boot scripts are not servers.
boot_starts() {
  local l
  for l in /etc/systemd/system/*.wants/* /etc/systemd/system/*.requires/*; do
    case $l in *.service|*.socket) ;; *) continue ;; esac
    [ -L "$l" ] && echo "systemd ${l##*/} $(readlink "$l")"
  done
  for l in /etc/rc[2-5].d/S*; do
    [ -L "$l" ] || continue
    l=${l##*/S}
    l=${l#"${l%%[!0-9]*}"}
    echo "sysv $l /etc/init.d/$l"
  done
  return 0
}
installed_pkgs() {
  dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' | awk '$1 == "ii" { print $2 }' | sort
}
# The package that owns a file (also through the /usr merge), or nothing.
owner() {
  local f
  for f in "$1" "${1#/usr}" "/usr$1"; do
    dpkg-query -S "$f" 2>/dev/null | sed -n '1{s/: .*//;s/,.*//;p}' | grep . && return 0
  done
  return 0
}
# The starts at boot that appeared since the snapshot in $1 and belong to a package installed
# since the snapshot in $2, as "kind name package"; those of packages that were there before are
# not listed.
new_starts() {
  local kind name file pkg
  boot_starts | sort -u | comm -13 "$1" - | while read -r kind name file; do
    pkg=$(owner "$file")
    if [ -n "$pkg" ] && ! grep -qxF "$pkg" "$2"; then echo "$kind $name $pkg"; fi
  done
}
# Undoes them. Only the links go: the packages' own records stay, so upgrades keep them off.
disable_new_starts() {
  local kind name pkg done_list=()
  while read -r kind name pkg; do
    if [ "$kind" = systemd ]; then
      systemctl --quiet --no-reload disable "$name" 2>/dev/null ||
        find /etc/systemd/system \( -path "*.wants/$name" -o -path "*.requires/$name" \) -delete
    else
      update-rc.d "$name" disable >/dev/null 2>&1 || true
    fi
    done_list+=("$name ($kind, $pkg)")
  done < <(new_starts "$1" "$2")
  [ "${#done_list[@]}" -eq 0 ] ||
    echo "deps.sh: disabled at boot, installed for the tests only: ${done_list[*]}"
  local left
  left=$(new_starts "$1" "$2")
  [ -z "$left" ] || { echo "deps.sh: still enabled at boot: $left" >&2; return 1; }
}

export DEBIAN_FRONTEND=noninteractive
[ "$add_arch" = 1 ] && dpkg --add-architecture armhf
echo "deps.sh: updating the package lists (apt-get update)"
apt-get update
if [ "${#missing[@]}" -gt 0 ]; then
  echo "deps.sh: installing ${missing[*]}"
  # The test web servers must not start as machine services (port 80) on install: the
  # interoperability stage runs its own copies in a private network namespace.
  added_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    added_policy=1
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  # Installing enables a server's start at boot all the same (systemd links and SysV links,
  # made whatever the init system); what appears is undone afterwards, failed install or not.
  snap=$(mktemp -d)
  boot_starts | sort -u >"$snap/starts"
  installed_pkgs >"$snap/pkgs"
  # apt's own output shows the progress of a long download and install.
  rc=0
  apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}" || rc=$?
  disable_new_starts "$snap/starts" "$snap/pkgs" || rc=1
  rm -rf "$snap"
  if [ "$added_policy" = 1 ]; then rm -f /usr/sbin/policy-rc.d; trap - EXIT; fi
  [ "$rc" = 0 ] || exit "$rc"
fi
echo "deps.sh: done"
