#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds examples/consumer
# against it as an outside project would: once with find_package(CacheManager)
# and once with pkg-config. Runs both consumers and the installed cmtool.
# Then, as root in a build without sanitizers, makes the Debian packages,
# installs them on this machine, builds the consumer against them, runs
# cmtool --version, and removes them again.
set -euo pipefail
build=$1 consumer=$2 sanitize=${3:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/cmpackage.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

# A build with sanitizers installs an instrumented library: its users need
# the same runtime.
flags=()
[ -n "$sanitize" ] && flags=(-fsanitize="$sanitize")

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in lib/libcachemanager.so lib/libcachemanager.so.1 include/cachemanager/CacheManager.h \
         include/cachemanager/prune/PathUtils.h include/host/LogWriter.h bin/cmtool \
         lib/pkgconfig/cachemanager.pc lib/cmake/CacheManager/CacheManagerConfig.cmake \
         lib/cmake/CacheManager/CacheManagerConfigVersion.cmake share/man/man1/cmtool.1 \
         share/bash-completion/completions/cmtool share/cachemanager/cmtool-maintain@.service; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
[ "$(readlink "$prefix/lib/libcachemanager.so.1")" = libcachemanager.so.1.0.0 ] ||
  { echo "libcachemanager.so.1 does not name the versioned library" >&2; exit 1; }

echo "--- find_package(CacheManager)"
cmake -S "$consumer" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_FLAGS="${flags[*]:-}" -DCMAKE_EXE_LINKER_FLAGS="${flags[*]:-}" >/dev/null
cmake --build "$work/build" >/dev/null
mkdir "$work/cache1"
"$work/build/consumer" "$work/cache1"

echo "--- pkg-config --cflags --libs cachemanager"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
c++ -std=c++17 "${flags[@]}" "$consumer/consumer.cpp" -o "$work/consumer-pc" $(pkg-config --cflags --libs cachemanager)
mkdir "$work/cache2"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir cachemanager) "$work/consumer-pc" "$work/cache2"

echo "--- the installed cmtool"
"$prefix/bin/cmtool" --version
"$prefix/bin/cmtool" --cache-dir "$work/cache2" --module 7 check

echo "--- the Debian packages"
skip=""
[ "$(id -u)" -eq 0 ] || skip="needs root to install packages"
[ -z "$sanitize" ] || skip="a sanitizer build's packages are not for installing"
command -v dpkg >/dev/null || skip="no dpkg here"
for package in libcachemanager1 libcachemanager-dev cachemanager-tools; do
  if dpkg -s "$package" >/dev/null 2>&1; then skip="$package is installed already: left alone"; fi
done
if [ -n "$skip" ]; then
  echo "skipped: $skip"
  exit 0
fi
remove() { dpkg -r cachemanager-tools libcachemanager-dev libcachemanager1 >/dev/null 2>&1 || true; }
trap 'remove; rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/debs" >/dev/null)
dpkg -i "$work"/debs/*.deb >/dev/null
cmake -S "$consumer" -B "$work/deb-consumer" -G Ninja >/dev/null
cmake --build "$work/deb-consumer" >/dev/null
mkdir "$work/cache3"
"$work/deb-consumer/consumer" "$work/cache3"
/usr/bin/cmtool --version
man -w cmtool >/dev/null 2>&1 || [ -e /usr/share/man/man1/cmtool.1 ]
remove
if dpkg -s libcachemanager1 >/dev/null 2>&1 || [ -e /usr/bin/cmtool ]; then
  echo "the packages did not go" >&2
  exit 1
fi
