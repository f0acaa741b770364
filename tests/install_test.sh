#!/bin/sh
# Usage: install_test.sh BUILD_DIR CONSUMER_DIR C_COMPILER GENERATOR
# Installs the build into a temporary prefix, checks what was installed,
# and builds and runs a tiny consumer against it twice: through the CMake
# package and through pkg-config.
set -eu
build=$1 consumer=$2 cc=$3 generator=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/viredovozu-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
test -f "$prefix/include/viredovozu.h" || fail "no header"
pc=$(find "$prefix" -name viredovozu.pc)
test -n "$pc" || fail "no viredovozu.pc"
libdir=$(dirname "$(dirname "$pc")")
for f in viredovozuConfig.cmake viredovozuConfigVersion.cmake viredovozuTargets.cmake; do
    test -f "$libdir/cmake/viredovozu/$f" || fail "no $f"
done
if [ -e "$libdir/libviredovozu.so.1" ]; then
    # The shared library with its SONAME links.
    test -L "$libdir/libviredovozu.so" && test -L "$libdir/libviredovozu.so.1" || fail "SONAME links missing"
    real=$(readlink -f "$libdir/libviredovozu.so")
    test "$(basename "$real")" = libviredovozu.so.1.0.0 || fail "libviredovozu.so leads to $real"
else
    test -f "$libdir/libviredovozu.a" || fail "no library in $libdir"
fi
# The program runs from the prefix as it was installed.
"$prefix/bin/vcpio" --version | grep -q '^vcpio 1\.' || fail "the installed vcpio does not run"

# The CMake package, and its version file: 1.0 is found, 2.0 is not.
cmake -S "$consumer" -B "$work/cmake" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "find_package failed"; }
cmake --build "$work/cmake" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "CMake consumer build failed"; }
"$work/cmake/consumer" || fail "CMake consumer failed"
if cmake -S "$consumer" -B "$work/cmake2" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" -DWANT_VERSION=2.0 >/dev/null 2>&1; then
    fail "find_package(viredovozu 2.0) accepted version 1"
fi

# pkg-config.
flags=$(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --cflags --libs viredovozu) || fail "pkg-config failed"
# shellcheck disable=SC2086
"$cc" -o "$work/pc-consumer" "$consumer/consumer.c" $flags || fail "pkg-config consumer build failed"
LD_LIBRARY_PATH="$libdir" "$work/pc-consumer" || fail "pkg-config consumer failed"
echo "install: header, library, vcpio, CMake package and pkg-config file work from $prefix"
