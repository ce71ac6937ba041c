#!/usr/bin/env bash
# Cross-builds the library for Windows (zor-qel-rb-key.dll, its import library, qelreg.exe, the
# example and the tests) with mingw-w64, then under Wine runs the example on a copy of the sample
# store and every test. The remote tests reach lighttpd servers that webdav_service of a Linux
# build starts for them; its certificate is made trusted inside the Wine prefix.
# Usage: scripts/test-windows.sh [WINDOWS_BUILD_DIR] [LINUX_BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh windows
build=${1:-build-windows}
linux=${2:-build}
scratch=$(mktemp -d)
# A Wine prefix of this run's own, made on first use by scripts/wine-run.sh.
export QEL_WINEPREFIX=$scratch/wineprefix
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=wineserver
service=""
cleanup() {
  if [ -n "$service" ]; then
    kill "$service" 2>/dev/null || true
    wait "$service" 2>/dev/null || true
  fi
  WINEPREFIX=$QEL_WINEPREFIX "$wineserver" -k 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "== cross-build for Windows (mingw-w64)"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON -DQEL_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)"
file "$build/bin/zor-qel-rb-key.dll" "$build/bin/qelreg.exe"
ls "$build"/zor-qel-rb-key.dll.a

echo "== the example and qelreg on a copy of the sample store, under Wine"
cp examples/sample.ini "$scratch/sample.ini"
scripts/wine-run.sh "$build/bin/qel_example.exe" "Z:$scratch/sample.ini"
scripts/wine-run.sh "$build/bin/qelreg.exe" --store "Z:$scratch/sample.ini" \
  set /ZOR_Software/Scheduler workers 8 --then get /ZOR_Software/Scheduler workers

echo "== the WebDAV service of the remote tests (Linux build: $linux)"
if [ ! -f "$linux/CMakeCache.txt" ]; then
  cmake -S . -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_BENCH=OFF
fi
cmake --build "$linux" -j"$(nproc)" --target webdav_service
mkdir "$scratch/webdav"
"$linux/tests/webdav_service" "$scratch/webdav" &
service=$!
for _ in $(seq 100); do
  [ -s "$scratch/webdav/port" ] && break
  sleep 0.1
done
export QEL_TEST_WEBDAV_SERVICE=127.0.0.1:$(cat "$scratch/webdav/port")
scripts/wine-run.sh "$build/bin/trust_certificate.exe" "Z:$scratch/webdav/server.pem"

echo "== every test under Wine"
# One Wine server for the whole run keeps each program's start short. Wine's own services start
# with the first program and inherit its standard files: started here, they hold no test's
# output pipe open.
WINEPREFIX=$QEL_WINEPREFIX "$wineserver" -w
WINEPREFIX=$QEL_WINEPREFIX "$wineserver" -p
scripts/wine-run.sh cmd /c exit </dev/null >/dev/null 2>&1
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" ${QEL_CTEST_ARGS:-}
