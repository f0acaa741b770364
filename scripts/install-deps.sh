#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine; only the
# missing packages, so a machine that has them all is left alone.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang pkg-config   # build
    libgtest-dev libgmock-dev                # tests
    cpio libarchive-tools                    # peer tools the tests compare with
    libbenchmark-dev libarchive-dev          # benchmarks and their comparison
    valgrind                                 # instruction counts, memory checks
    libclang-rt-dev                          # libFuzzer and the sanitizers for clang
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: everything is installed"
    exit 0
fi
echo "install-deps: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
