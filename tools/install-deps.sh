#!/usr/bin/env bash
# Installs what building and testing Quarvelin needs on Debian 12. Idempotent and non-interactive:
# packages already present are left alone, and apt is not touched when nothing is missing.
#   tools/install-deps.sh native   compilers, clang-format, CMake, GoogleTest, Google Benchmark, Python
#   tools/install-deps.sh all      also the Windows cross toolchain, Wine and Xvfb
set -euo pipefail

native=(build-essential g++ clang clang-format-14 libclang-rt-14-dev cmake ninja-build googletest libgtest-dev
        libbenchmark-dev python3 util-linux mtools dosfstools e2fsprogs)
windows=(g++-mingw-w64-x86-64-posix wine wine64 xvfb x11-utils)

wanted=("${native[@]}")
[ "${1:-native}" = all ] && wanted+=("${windows[@]}")

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
