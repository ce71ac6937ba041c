#!/usr/bin/env bash
# Installs the Debian packages a set of jobs needs, when any is missing.
# Usage: scripts/install-deps.sh [run|test|windows|bench]
#   run      building the library, the example and qelreg, and running them (./run.sh)
#   test     also the tests, benchmarks, sanitizer and fuzz builds, the Debian package checks and
#            the Python package's tests (./test.sh, .ci/run); the default
#   windows  also the cross-build for Windows and Wine to run it (scripts/test-windows.sh, .ci/run)
#   bench    also the INI libraries bench/peer_bench compares with (inih, Boost.PropertyTree,
#            SimpleIni); nothing else needs them
set -euo pipefail
run=(cmake ninja-build g++ libcurl4-openssl-dev libcli11-dev nlohmann-json3-dev)
test=("${run[@]}" clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev pkg-config
  librapidcheck-dev lighttpd lighttpd-mod-webdav lighttpd-mod-openssl openssl curl dpkg-dev file etcd-server
  etcd-client doxygen lintian python3 python3-venv python3-pip python3-setuptools python3-wheel
  python3-pytest)
windows=("${test[@]}" g++-mingw-w64-x86-64-posix googletest wine wine64)
bench=("${test[@]}" libinih-dev libboost-dev libsimpleini-dev)
case "${1:-test}" in
  run) packages=("${run[@]}") ;;
  test) packages=("${test[@]}") ;;
  windows) packages=("${windows[@]}") ;;
  bench) packages=("${bench[@]}") ;;
  *)
    echo "usage: $0 [run|test|windows|bench]" >&2
    exit 2
    ;;
esac
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
