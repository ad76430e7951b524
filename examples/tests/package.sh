#!/usr/bin/env bash
# Builds the Debian package of a build tree (cpack -G DEB), unpacks it into a
# scratch root (dpkg -x, no installation on this machine) and checks that it
# holds what a site needs: the consumer example is built against the unpacked
# tree once through the CMake package and once through pkg-config, and run;
# an installed tool runs from there.
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
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x failed"
usr=$work/root/usr

wanted=(
  lib/libtarvex.so lib/libtarvex_event_util.so lib/libtarvex_ringbuf.so
  include/tarvex/Tarvex.h include/tarvex/TarvexVersion.h include/tarvex/event.h include/tarvex/event_util.h
  include/tarvex/ringbuf.h lib/cmake/Tarvex/TarvexConfig.cmake lib/cmake/Tarvex/TarvexConfigVersion.cmake
  lib/pkgconfig/tarvex.pc bin/tarvex-demo bin/tarvex-dump bin/tarvex-send share/doc/Tarvex/LICENSE
)
[ "$man_pages" = ON ] && wanted+=(share/man/man1/tarvex-dump.1 share/man/man1/tarvex-send.1 share/man/man1/tarvex-demo.1)
for f in "${wanted[@]}"; do
  [ -e "$usr/$f" ] || fail "the package has no /usr/$f"
done

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
echo "ok: $(basename "$deb") holds the libraries, headers, CMake package, pkg-config file and tools;" \
  "the consumer builds against it through the CMake package and pkg-config"
