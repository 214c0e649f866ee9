#!/usr/bin/env bash
# Installs, from the Debian archive, everything needed to build wanradio and the osl layer and to
# run their tests. Idempotent: packages already present are left alone and apt is not touched.
#   scripts/deps.sh          native build + tests
#   scripts/deps.sh --armhf  also the armhf cross toolchain, libraries and qemu
set -euo pipefail

want_armhf=0
for a in "$@"; do
  case "$a" in
    --armhf) want_armhf=1 ;;
    *) echo "deps.sh: unknown option $a" >&2; exit 2 ;;
  esac
done

if [ "$(id -u)" -ne 0 ]; then
  echo "deps.sh: run as root (installs Debian packages)" >&2
  exit 1
fi

pkgs=(build-essential cmake pkg-config libjson-c-dev libgtest-dev libgmock-dev googletest
      libbenchmark-dev clang libclang-rt-14-dev curl jq iproute2 util-linux procps file
      python3 busybox lighttpd nginx)
if [ "$want_armhf" = 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
    need_update=1
  fi
  pkgs+=(crossbuild-essential-armhf libjson-c-dev:armhf libgtest-dev:armhf qemu-user-static
        libbenchmark-dev:armhf)
fi

missing=()
for p in "${pkgs[@]}"; do
  # dpkg-query reports "install ok installed" only for a fully installed package.
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ] || [ "${need_update:-0}" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
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
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    if [ "$added_policy" = 1 ]; then rm -f /usr/sbin/policy-rc.d; trap - EXIT; fi
  fi
fi
