#!/usr/bin/env bash
# Builds the example programs and qelreg, then runs them on copies of the bundled sample store:
# the example's tour of the API, a service written with the zor::qel layer, and the tool listing
# a tree with its values, searching values, changing two values in one transaction, reading with
# a default and exporting a key. The bundled store itself is never changed.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh run
build=${1:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)" --target qel_example qel_service qelreg

echo "== the example program"
"$build/examples/qel_example" examples/sample.ini
echo
echo "== a service written with the zor::qel layer"
"$build/examples/qel_service" examples/sample.ini

store=$(mktemp --suffix=.ini)
trap 'rm -f "$store" "$store.lock"' EXIT
cp examples/sample.ini "$store"
qelreg() {
  echo "\$ qelreg $*"
  "$build/tools/qelreg" --store "$store" "$@"
}
echo
echo "== qelreg on a copy of the sample store"
qelreg --verify tree /ZOR_Software/DataServer/Instances/inst01
qelreg tree /ZOR_Software/Scheduler/Calendars --values
qelreg values /ZOR_Software/DataServer/Instances/inst01/Ports '[al]*'
qelreg set /ZOR_Software/Scheduler workers 8 --then add /ZOR_Software/Scheduler/Calendars/workdays days sat
qelreg get /ZOR_Software/Scheduler
qelreg get /ZOR_Software/Scheduler holidays --default none
qelreg --json export /ZOR_Software/Scheduler/Calendars/workdays
qelreg root DataServer
