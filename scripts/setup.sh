#!/usr/bin/env bash
# Installs what the build and the tests need, with apt-get, where it is missing.
# Usage: scripts/setup.sh [--test]   (--test adds what only the test suites use)
set -euo pipefail

pkgs=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      libcli11-dev libcpp-httplib-dev libinih-dev libreadline-dev
      nlohmann-json3-dev)
# Debian packages (cpack -G DEB): dpkg-shlibdeps finds their dependencies, file finds the ELF files.
pkgs+=(dpkg-dev file)
if [ "${1:-}" = "--test" ]; then
  # wget and iproute2: gateway-reset end-to-end test in a private network namespace;
  # qemu, a Debian kernel, busybox and can-utils: SocketCAN tests on a real kernel CAN stack.
  pkgs+=(wget iproute2 util-linux qemu-system-x86 linux-image-amd64 busybox-static can-utils cpio)
  # clang and its libFuzzer: the clang build and the fuzz targets (scripts/fuzz.sh).
  pkgs+=(clang libclang-rt-14-dev)
  command -v npm >/dev/null 2>&1 || pkgs+=(nodejs npm)
  # python-can (its socketcand interface): the socketcand interoperation test.
  pkgs+=(python3-can)
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
