#!/usr/bin/env bash
# Builds the project and checks what users install: a tree installed under a temporary prefix
# (qelreg runs from it, pkg-config gives plain paths), then the three Debian packages: their
# contents and control data (symbols file, Multi-Arch, hardening, stripped binaries) and lintian
# without warnings, installed with dpkg -i, consumer programs (one as written for 3.0) built
# against them through find_package and through pkg-config and run, every installed header
# compiled on its own, the installed qelreg run from /usr/bin; the packages are removed again at
# the end.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(zor-qel-rb-key VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
work=$(mktemp -d)
packages=(qelreg libzor-qel-rb-key-dev libzor-qel-rb-key3)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
installed=""
cleanup() {
  if [ -n "$installed" ]; then
    echo "== remove the packages"
    $sudo dpkg --purge "${packages[@]}" >"$work/remove.log" || cat "$work/remove.log"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "consumer check failed: $*" >&2
  exit 1
}

for package in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    fail "$package is installed already; remove it first (this check installs and removes it)"
  fi
done

echo "== build"
cmake -S "$root" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON \
  -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=OFF >"$work/configure.log"
cmake --build "$work/build" -j2 >"$work/build.log" || { cat "$work/build.log"; exit 1; }

echo "== install under a temporary prefix"
prefix=$work/prefix
cmake --install "$work/build" --prefix "$prefix" >"$work/install.log"
"$prefix/bin/qelreg" --version
pc=$(find "$prefix" -name zor-qel-rb-key.pc)
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs zor-qel-rb-key)
echo "pkg-config: $flags"
case "$flags" in *"-I$prefix/include "*) ;; *) fail "pkg-config flags miss $prefix/include" ;; esac
case "$flags" in */../*) fail "pkg-config paths are not plain: $flags" ;; esac

echo "== Debian packages"
(cd "$work/build" && cpack -G DEB >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
deb() { ls "$work"/build/"$1"_*.deb; }
expect_files() {
  local package=$1
  shift
  dpkg-deb --contents "$(deb "$package")" | awk '{print $6}' >"$work/$package.files"
  for path in "$@"; do
    grep -qx -- "./$path" "$work/$package.files" || fail "$package lacks /$path"
  done
}
libdir=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
expect_files libzor-qel-rb-key3 "$libdir/libzor-qel-rb-key.so.3" \
  "$libdir/libzor-qel-rb-key.so.$version" usr/share/doc/libzor-qel-rb-key3/copyright
expect_files libzor-qel-rb-key-dev "$libdir/libzor-qel-rb-key.so" \
  usr/include/zor-qel-rb-key/zor_qel_rb_key.h usr/include/zor-qel-rb-key/compat/zor_qel_rb_key.h \
  "$libdir/pkgconfig/zor-qel-rb-key.pc" \
  "$libdir/cmake/zor-qel-rb-key/zor-qel-rb-keyConfig.cmake" \
  usr/share/doc/libzor-qel-rb-key-dev/copyright
expect_files qelreg usr/bin/qelreg usr/share/man/man1/qelreg.1.gz \
  usr/share/bash-completion/completions/qelreg usr/share/doc/qelreg/copyright
if grep -E '\.so(\.[0-9]+)+$' "$work/qelreg.files" "$work/libzor-qel-rb-key-dev.files"; then
  fail "a versioned shared library outside the runtime package"
fi
dpkg-deb --field "$(deb libzor-qel-rb-key-dev)" Depends | grep -q 'libzor-qel-rb-key3 (= ' ||
  fail "libzor-qel-rb-key-dev does not depend on its own version of libzor-qel-rb-key3"
dpkg-deb --field "$(deb qelreg)" Depends | grep -q 'libzor-qel-rb-key3 (>= ' ||
  fail "qelreg does not depend on libzor-qel-rb-key3"
# Programs depend on the release of the newest symbol they use: 3.0.0 for one of 3.0, 3.1.0 for
# one of 3.1, this version for one new in it.
dpkg-deb --info "$(deb libzor-qel-rb-key3)" symbols >"$work/symbols"
grep -q '^libzor-qel-rb-key.so.3 libzor-qel-rb-key3 #MINVER#$' "$work/symbols" ||
  fail "libzor-qel-rb-key3 has no symbols file"
grep -q '^ _ZN8QELRBKey8SetValue.* 3\.0\.0$' "$work/symbols" ||
  fail "the symbols file does not date a 3.0 symbol to 3.0.0"
grep -q '^ _ZN13QELConnection7Refresh.* 3\.1\.0$' "$work/symbols" ||
  fail "the symbols file does not date a 3.1 symbol to 3.1.0"
grep -q "^ _ZN3zor3qel13CopyEtcdStore.* $version\$" "$work/symbols" ||
  fail "the symbols file does not date a new symbol to $version"
dpkg-deb --info "$(deb libzor-qel-rb-key3)" shlibs | grep -qx "libzor-qel-rb-key 3 libzor-qel-rb-key3 (>= $version)" ||
  fail "the shlibs fallback of libzor-qel-rb-key3 does not name $version"
for script in postinst postrm; do
  if dpkg-deb --info "$(deb libzor-qel-rb-key3)" "$script" >/dev/null 2>&1; then
    fail "libzor-qel-rb-key3 has a $script: the ldconfig trigger does its work"
  fi
done
dpkg-deb --field "$(deb libzor-qel-rb-key3)" Multi-Arch | grep -qx same ||
  fail "libzor-qel-rb-key3 is not Multi-Arch: same"
mkdir "$work/unpacked"
for package in "${packages[@]}"; do dpkg-deb --extract "$(deb "$package")" "$work/unpacked"; done
# grep -c, not -q: -q stops reading at the first match, and under pipefail the writer's SIGPIPE
# would then fail the check.
for binary in "$work/unpacked/usr/bin/qelreg" "$work/unpacked/$libdir/libzor-qel-rb-key.so.$version"; do
  file "$binary" | grep -c ', stripped' >/dev/null || fail "$binary is not stripped"
  if readelf -d "$binary" | grep -cE 'RUNPATH|RPATH' >/dev/null; then fail "$binary has a run path"; fi
  readelf -d "$binary" | grep -c 'BIND_NOW' >/dev/null || fail "$binary is not linked with -z now"
  readelf -lW "$binary" | grep -c 'GNU_RELRO' >/dev/null || fail "$binary is not linked with -z relro"
  readelf -sW --dyn-syms "$binary" | grep -c '__[a-z_]*_chk' >/dev/null || fail "$binary calls no fortified function"
done
# Errors and warnings fail the check.
# (grep -v finds no line when lintian has nothing to say, which is no failure.)
lintian --tag-display-limit 0 "$work"/build/*.deb 2>&1 | { grep -v 'root privileges' || true; } |
  tee "$work/lintian.log"
if grep -qE '^[EW]:' "$work/lintian.log"; then fail "lintian reports errors or warnings"; fi

echo "== install the packages"
installed=yes
$sudo dpkg -i "$(deb libzor-qel-rb-key3)" "$(deb libzor-qel-rb-key-dev)" "$(deb qelreg)" \
  >"$work/dpkg.log" || { cat "$work/dpkg.log"; exit 1; }

echo "== each installed header compiles on its own, and nothing else is installed beside them"
for header in /usr/include/zor-qel-rb-key/*.h; do
  echo "#include <zor-qel-rb-key/$(basename "$header")>" |
    c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -x c++ -
done
for header in /usr/include/zor-qel-rb-key/compat/*.h; do
  echo "#include <$(basename "$header")>" |
    c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I/usr/include/zor-qel-rb-key/compat -x c++ -
done
# The C interface's header is also C99.
echo "#include <zor-qel-rb-key/qel.h>" | cc -std=c99 -Wall -Wextra -pedantic -Werror -fsyntax-only -x c -
diff <(cd /usr/include/zor-qel-rb-key && ls -R) <(cd "$root/include/zor-qel-rb-key" && ls -R)

echo "== consumer through find_package(zor-qel-rb-key)"
cmake -S "$root/tests/consumer" -B "$work/consumer-cmake" -G Ninja >"$work/consumer-configure.log"
cmake --build "$work/consumer-cmake" >"$work/consumer-build.log" ||
  { cat "$work/consumer-build.log"; exit 1; }
"$work/consumer-cmake/qel-consumer" "$work/store-cmake.ini"
"$work/consumer-cmake/qel-consumer-3.0" "$work/store-cmake-3.0.ini"

echo "== consumer through pkg-config"
flags=$(pkg-config --cflags --libs zor-qel-rb-key)
echo "pkg-config: $flags"
case "$flags" in */../*) fail "pkg-config paths are not plain: $flags" ;; esac
# shellcheck disable=SC2086 # the flags are meant to split into words
c++ -std=c++17 -Wall -Wextra -Werror "$root/tests/consumer/main.cpp" -o "$work/qel-consumer-pc" \
  $flags
"$work/qel-consumer-pc" "$work/store-pc.ini"
# The program written for 3.0 compiles unchanged, told that its logging names are deprecated.
# shellcheck disable=SC2086
c++ -std=c++17 -Wall -Wextra -Werror -Wno-error=deprecated-declarations \
  "$root/tests/consumer/main_3_0.cpp" -o "$work/qel-consumer-3.0-pc" $flags 2>"$work/3.0.log" ||
  { cat "$work/3.0.log"; exit 1; }
grep -q "deprecated: use zor::qel::SetLogSink" "$work/3.0.log" ||
  fail "the 3.0 logging names are not marked deprecated"
"$work/qel-consumer-3.0-pc" "$work/store-pc-3.0.ini"

echo "== installed qelreg"
/usr/bin/qelreg --version
/usr/bin/qelreg --store "$work/store-pc.ini" tree /App
bash -n /usr/share/bash-completion/completions/qelreg
echo "consumer checks passed ($(cd "$work/build" && echo *.deb))"
