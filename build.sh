#!/usr/bin/env bash
# Builds vandrel and converts the bundled example, runs every test or builds the Debian package.
#   ./build.sh example   build the program only, then convert examples/shapes.idl into out/
#   ./build.sh test      build, then run every test with ctest
#   ./build.sh package   optimised build without tests, then build-package/vandrel_<version>_<arch>.deb
# Missing build prerequisites (cmake, g++, libexpat1-dev for reading DDS-XML documents, and
# libgtest-dev for the tests) are installed through apt first. Everything else is done by CMake
# (configure, build, ctest, CPack).
# VANDREL_WERROR=ON turns compiler warnings into errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")"

usage() { echo "usage: ./build.sh example|test|package" >&2; exit 2; }
[ $# -eq 1 ] || usage
case "$1" in example|test|package) ;; *) usage ;; esac

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
[ -f /usr/include/expat.h ] || missing+=(libexpat1-dev)
if [ "$1" = test ]; then
    [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing build prerequisites through apt: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)

if [ "$1" = package ]; then
    cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DVANDREL_BUILD_TESTS=OFF \
        -DVANDREL_WERROR="${VANDREL_WERROR:-OFF}"
    cmake --build build-package -j "$jobs"
    cmake --build build-package --target package
    exit 0
fi

if [ "$1" = example ]; then
    # The program alone: the example needs none of the test programs.
    cmake -S . -B build -DVANDREL_WERROR="${VANDREL_WERROR:-OFF}" -DVANDREL_BUILD_TESTS=OFF
    cmake --build build -j "$jobs" --target vandrel
    ./build/vandrel -o out examples/shapes.idl
    echo "Wrote out/shapes.xml"
else
    cmake -S . -B build -DVANDREL_WERROR="${VANDREL_WERROR:-OFF}" -DVANDREL_BUILD_TESTS=ON
    cmake --build build -j "$jobs"
    ctest --test-dir build --output-on-failure -j "$jobs"
fi
