#!/usr/bin/env bash
# Builds the library, its tools and tests (warnings are errors) and runs every test.
# Usage: ./test.sh [BUILD_DIR]; CXX picks the compiler, QEL_CMAKE_ARGS adds CMake options.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh test
build=${1:-build}
# The C tests and examples are compiled by the C compiler of the same family as CXX, whose
# sanitizer runtimes match.
if [ -z "${CC:-}" ]; then
  case ${CXX:-} in
    clang++*) export CC=clang${CXX#clang++} ;;
    g++*) export CC=gcc${CXX#g++} ;;
  esac
fi
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON ${QEL_CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" ${QEL_CTEST_ARGS:-}
