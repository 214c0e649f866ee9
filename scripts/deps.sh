#!/usr/bin/env bash
# Installs from the Debian archive what building and testing wanradio and the osl layer needs.
# Idempotent: packages already present are left alone, and when nothing is missing apt is not
# touched and root is not needed.
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
           curl jq iproute2 util-linux procps file lintian devscripts
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
  # apt's own output shows the progress of a long download and install.
  apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
  if [ "$added_policy" = 1 ]; then rm -f /usr/sbin/policy-rc.d; trap - EXIT; fi
fi
echo "deps.sh: done"
