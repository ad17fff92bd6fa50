#!/usr/bin/env bash
# Builds vandrel and either converts the bundled example or runs every test.
#   ./build.sh example   build, then convert examples/shapes.idl into out/
#   ./build.sh test      build, then run every test with ctest
# Missing build prerequisites (cmake, g++, libgtest-dev) are installed through apt first.
# VANDREL_WERROR=ON turns compiler warnings into errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")"

usage() { echo "usage: ./build.sh example|test" >&2; exit 2; }
[ $# -eq 1 ] || usage
case "$1" in example|test) ;; *) usage ;; esac

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing build prerequisites through apt: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DVANDREL_WERROR="${VANDREL_WERROR:-OFF}"
cmake --build build -j "$jobs"

if [ "$1" = example ]; then
    ./build/vandrel examples/shapes.idl out
    echo "Wrote out/shapes.xml"
else
    ctest --test-dir build --output-on-failure -j "$jobs"
fi
