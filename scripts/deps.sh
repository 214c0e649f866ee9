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
      libbenchmark-dev clang libclang-rt-14-dev curl jq iproute2 util-linux procps file)
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
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi
