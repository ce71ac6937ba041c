#!/usr/bin/env bash
# Builds and installs the project into a temporary prefix, then builds and runs a small consumer
# program against the installed package twice (CMake package, pkg-config), checks that every
# installed header compiles on its own, runs the installed qelreg, and builds the Debian package.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

echo "== build and install into $prefix"
cmake -S "$root" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON \
  -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=OFF >"$work/configure.log"
cmake --build "$work/build" -j2 >"$work/build.log" || { cat "$work/build.log"; exit 1; }
cmake --install "$work/build" --prefix "$prefix" >"$work/install.log"

includedir=$prefix/include
echo "== each installed header compiles on its own, and nothing else is installed beside them"
for header in "$includedir"/zor-qel-rb-key/*.h; do
  echo "#include <zor-qel-rb-key/$(basename "$header")>" |
    c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$includedir" -x c++ -
done
diff <(cd "$includedir/zor-qel-rb-key" && ls) <(cd "$root/include/zor-qel-rb-key" && ls)

echo "== consumer through find_package(zor-qel-rb-key)"
cmake -S "$root/tests/consumer" -B "$work/consumer-cmake" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer-configure.log"
cmake --build "$work/consumer-cmake" >"$work/consumer-build.log" ||
  { cat "$work/consumer-build.log"; exit 1; }
"$work/consumer-cmake/qel-consumer" "$work/store-cmake.ini"

echo "== consumer through pkg-config"
pcdir=$(dirname "$(find "$prefix" -name zor-qel-rb-key.pc)")
export PKG_CONFIG_PATH=$pcdir
libdir=$(pkg-config --variable=libdir zor-qel-rb-key)
# shellcheck disable=SC2046 # the flags are meant to split into words
c++ -std=c++17 -Wall -Wextra -Werror "$root/tests/consumer/main.cpp" -o "$work/qel-consumer-pc" \
  $(pkg-config --cflags --libs zor-qel-rb-key) -Wl,-rpath,"$libdir"
"$work/qel-consumer-pc" "$work/store-pc.ini"

echo "== installed qelreg and its manual page"
"$prefix/bin/qelreg" --store "$work/store-pc.ini" tree /App
test -f "$prefix/share/man/man1/qelreg.1"

echo "== Debian package"
(cd "$work/build" && cpack -G DEB >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/build/zor-qel-rb-key_*.deb)
dpkg-deb --contents "$deb" >"$work/deb-contents.txt"
for path in ./usr/bin/qelreg ./usr/include/zor-qel-rb-key/zor_qel_rb_key.h \
  ./usr/share/man/man1/qelreg.1 zor-qel-rb-key.pc zor-qel-rb-keyConfig.cmake libzor-qel-rb-key.so; do
  grep -q -- "$path" "$work/deb-contents.txt" || { echo "missing from $deb: $path"; exit 1; }
done
echo "consumer checks passed ($(basename "$deb"))"
