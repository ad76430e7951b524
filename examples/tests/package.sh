#!/usr/bin/env bash
# Builds the Debian package of a build tree (cpack -G DEB), unpacks it into a
# scratch root (dpkg -x, no installation on this machine) and checks that it
# holds what a site needs and nothing it did not ask for: the consumer
# example is built against the unpacked tree once through the CMake package
# and once through pkg-config, and run; an installed tool runs from there;
# the Python module (when the build has one) imports from there.  The
# package does not hold the bench nor depend on ZeroMQ, its man pages are
# compressed, and it has a copyright file.
# Usage: package.sh BUILD_DIR CONSUMER_SOURCE_DIR MAN_PAGES(ON|OFF)
# Exit status 77 (skipped) when dpkg-deb is missing.
set -u
build=$1
consumer=$2
man_pages=$3
if ! command -v dpkg-deb >/dev/null; then
  echo "SKIPPED: dpkg-deb is missing (Debian: dpkg), so no .deb can be built or unpacked"
  exit 77
fi
work=$(mktemp -d /tmp/tarvex-package.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*"
  for f in "$work"/*.log; do
    [ -f "$f" ] && { echo "--- $f"; tail -n 40 "$f"; }
  done
  exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1 || fail "cpack -G DEB failed"
deb=$(ls "$work"/pkg/tarvex_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "cpack wrote no tarvex_*.deb"
dpkg-deb --info "$deb" >"$work/info.log" || fail "dpkg-deb cannot read $deb"
grep -q '^ Package: tarvex$' "$work/info.log" || fail "the package is not named tarvex"
grep -q '^ Depends: .*libc6' "$work/info.log" || fail "the package declares no dependency on libc6"
grep -q '^ Depends: .*zmq' "$work/info.log" && fail "the package depends on ZeroMQ: $(grep '^ Depends:' "$work/info.log")"
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x failed"
usr=$work/root/usr

wanted=(
  lib/libtarvex.so lib/libtarvex_event_util.so lib/libtarvex_ringbuf.so
  include/tarvex/Tarvex.h include/tarvex/TarvexVersion.h include/tarvex/event.h include/tarvex/event_util.h
  include/tarvex/ringbuf.h lib/cmake/Tarvex/TarvexConfig.cmake lib/cmake/Tarvex/TarvexConfigVersion.cmake
  lib/pkgconfig/tarvex.pc bin/tarvex-demo bin/tarvex-dump bin/tarvex-send share/doc/tarvex/LICENSE
  share/doc/tarvex/copyright
)
[ "$man_pages" = ON ] &&
  wanted+=(share/man/man1/tarvex-dump.1.gz share/man/man1/tarvex-send.1.gz share/man/man1/tarvex-demo.1.gz)
for f in "${wanted[@]}"; do
  [ -e "$usr/$f" ] || fail "the package has no /usr/$f"
done
unwanted=$(cd "$work/root" && find . -name 'tarvex-bench*' -o -path './usr/share/man/*' -name '*.1')
[ -z "$unwanted" ] || fail "the package holds what it should not (the bench, uncompressed man pages): $unwanted"
grep -q '^License: Apache-2.0$' "$usr/share/doc/tarvex/copyright" || fail "the copyright file names no Apache-2.0 license"
[ "$man_pages" = ON ] && { gzip -t "$usr/share/man/man1/tarvex-dump.1.gz" || fail "a man page is not gzip data"; }

# The Python module: where Debian's python3 looks, with its needs declared,
# and it imports from the unpacked tree (finding the libraries beside it).
if ls "$build"/python/tarvex*.so >/dev/null 2>&1; then
  module=$(ls "$usr"/lib/python3/dist-packages/tarvex*.so 2>/dev/null | head -n 1)
  [ -n "$module" ] || fail "the build has the Python module, the package has none in /usr/lib/python3/dist-packages"
  grep -qE '^ Depends: .*python3 \(>= 3\.[0-9]+\), python3 \(<< 3\.[0-9]+\), python3-numpy' "$work/info.log" ||
    fail "the package does not declare what the Python module needs: $(grep '^ Depends:' "$work/info.log")"
  # Debian's interpreter, which the package's python3 is (not one first on PATH).
  PYTHONPATH=$usr/lib/python3/dist-packages /usr/bin/python3 -c 'import sys, tarvex; sys.exit(not tarvex.__file__.startswith(sys.argv[1]))' \
    "$usr" >"$work/python.log" 2>&1 || fail "the packaged Python module does not import from the package"
fi

# The installed tools find the installed libraries beside them.
"$usr/bin/tarvex-dump" --version | grep -qE '^tarvex-dump \(Tarvex\) [0-9.]+$' || fail "the packaged tarvex-dump does not run"

# The consumer example, through the CMake package and through pkg-config.
for how in cmake pkg-config; do
  dir=$work/consumer-$how
  args=(-DCMAKE_PREFIX_PATH="$usr")
  [ $how = pkg-config ] && args=(-DUSE_PKG_CONFIG=ON)
  PKG_CONFIG_PATH="$usr/lib/pkgconfig" cmake -S "$consumer" -B "$dir" "${args[@]}" >"$work/$how-configure.log" 2>&1 ||
    fail "configuring the consumer ($how) failed"
  cmake --build "$dir" >"$work/$how-build.log" 2>&1 || fail "building the consumer ($how) failed"
  grep -q "$usr" "$dir/CMakeCache.txt" || fail "the consumer ($how) did not use the unpacked tree"
  "$dir/consumer" >"$work/$how-run.log" 2>&1 || fail "the consumer ($how) failed"
  grep -qE '^headers [0-9.]+, library [0-9.]+$' "$work/$how-run.log" || fail "the consumer ($how) printed no versions"
done
echo "ok: $(basename "$deb") holds the libraries, headers, CMake package, pkg-config file, tools and copyright" \
  "file, no bench, no ZeroMQ; the consumer builds against it through the CMake package and pkg-config"
