#!/usr/bin/env bash
# Cross-builds the library for Windows (zor-qel-rb-key.dll, its import library, qelreg.exe, the
# example and the tests) with mingw-w64, installs it into a mingw sysroot and zips it, builds a
# program against the install the usual mingw way (the C++ runtime as DLLs beside it), then under
# Wine runs that program, the example on a copy of the sample store and every test. The remote
# tests reach lighttpd servers that webdav_service of a Linux build starts for them; its
# certificate is made trusted inside the Wine prefix.
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

echo "== version resources, an install into a mingw sysroot, and its zip"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
for binary in zor-qel-rb-key.dll qelreg.exe; do
  strings -el "$build/bin/$binary" | grep -cx "$version" >/dev/null ||
    { echo "$binary carries no version resource of $version" >&2; exit 1; }
done
triple=x86_64-w64-mingw32
sysroot=/usr/$triple
DESTDIR=$scratch/root cmake --install "$build" --prefix "$sysroot" >/dev/null
installed=(bin/zor-qel-rb-key.dll bin/qelreg.exe lib/zor-qel-rb-key.dll.a
  include/zor-qel-rb-key/zor_qel_rb_key.h lib/cmake/zor-qel-rb-key/zor-qel-rb-keyConfig.cmake
  lib/pkgconfig/zor-qel-rb-key.pc)
for file in "${installed[@]}"; do
  [ -f "$scratch/root$sysroot/$file" ] || { echo "the install lacks $file" >&2; exit 1; }
done
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(ls "$build"/zor-qel-rb-key-"$version"-win64.zip)
unzip -Z1 "$zip" >"$scratch/zip.files"
for file in "${installed[@]}"; do
  grep -qx "zor-qel-rb-key-$version-win64/$file" "$scratch/zip.files" ||
    { echo "$zip lacks $file" >&2; exit 1; }
done
if grep -Ei 'share/doc|debian|\.gz$' "$scratch/zip.files"; then
  echo "$zip holds Debian files" >&2
  exit 1
fi

echo "== a program built the usual mingw way against the install: find_package, pkg-config"
consumer=$scratch/consumer
cmake -S tests/consumer -B "$consumer" -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
  -DCMAKE_CXX_COMPILER=$triple-g++-posix -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$scratch/root$sysroot" >/dev/null
cmake --build "$consumer" >/dev/null
flags=$(PKG_CONFIG_LIBDIR=$scratch/root$sysroot/lib/pkgconfig pkg-config --cflags --libs \
  zor-qel-rb-key)
# shellcheck disable=SC2086 # the flags are meant to split into words
$triple-g++-posix -std=c++17 tests/consumer/main.cpp -o "$consumer/qel-consumer-pc.exe" $flags
# It ships with our DLL and the C++ runtime's DLLs beside it, as the README says.
$triple-objdump -p "$consumer/qel-consumer.exe" | grep -c 'DLL Name: libstdc++-6.dll' >/dev/null ||
  { echo "the consumer is not linked with the shared C++ runtime" >&2; exit 1; }
cp "$scratch/root$sysroot/bin/zor-qel-rb-key.dll" "$consumer/"
for runtime in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  cp "$($triple-g++-posix -print-file-name=$runtime)" "$consumer/"
done
scripts/wine-run.sh "$consumer/qel-consumer.exe" "Z:$scratch/consumer.ini"
scripts/wine-run.sh "$scratch/root$sysroot/bin/qelreg.exe" --store "Z:$scratch/consumer.ini" \
  tree /App

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
