#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and, against that prefix only,
# builds the example host with pkg-config and with find_package, runs it
# against the installed library, then checks the Debian package: its listing,
# its Depends, and an install and removal with dpkg in a throwaway root.
#
#   tests/install/run.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/deskvid-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(find "$prefix" -name 'libdeskvid.so.0' | head -n 1)
[[ -n "$lib" ]] || fail "libdeskvid.so.0 was not installed"
for f in include/deskvid/deskvid.h include/deskvid/deskvid_status.h bin/deskvid-record; do
  [[ -e "$prefix/$f" ]] || fail "$f was not installed"
done
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
[[ "$soname" == libdeskvid.so.0 ]] || fail "soname is '$soname'"

run_host() { # HOST: enumeration, create, a command on an idle instance, destroy
  local out
  out=$("$1" "$lib") || fail "$1 failed: $out"
  grep -qx 'interface 0: IWMEncDeskVid' <<<"$out" || fail "unexpected enumeration: $out"
  grep -q '^pause on an idle instance: 0x80004005' <<<"$out" || fail "unexpected status: $out"
}

# pkg-config, seeing only the temporary prefix.
pcdir=$(dirname "$(find "$prefix" -name deskvid.pc | head -n 1)")
export PKG_CONFIG_LIBDIR="$pcdir"
cc -Wall -Wextra -Werror $(pkg-config --cflags deskvid) "$root/examples/host.c" \
  -o "$work/host-pc" $(pkg-config --libs deskvid) -ldl
run_host "$work/host-pc"

# find_package, seeing only the temporary prefix.
cmake -S "$root/tests/install/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF -DHOST_SOURCE="$root/examples/host.c" >/dev/null
cmake --build "$work/consumer" >/dev/null
run_host "$work/consumer/host"

# The Debian package: the library in the multiarch folder, as Debian's policy
# asks, with pkg-config and the CMake package beside it.
(cd "$build" && cpack -G DEB >/dev/null)
libdir=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb=$(ls "$build"/packages/deskvid_*.deb | head -n 1)
listing=$(dpkg-deb -c "$deb")
for f in ./$libdir/libdeskvid.so.0 ./usr/include/deskvid/deskvid.h ./usr/include/deskvid/deskvid_status.h \
  ./$libdir/pkgconfig/deskvid.pc ./$libdir/cmake/deskvid/deskvidConfig.cmake ./usr/bin/deskvid-record; do
  grep -q " $f" <<<"$listing" || fail "$f is not in the package"
done
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libyuv libstdc++6; do
  grep -q "$dep" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
# FFmpeg is a private static copy inside the library.
! grep -qE 'libav|libsw' <<<"$depends" || fail "Depends names FFmpeg's libraries: $depends"

# Install and remove in a throwaway root with its own dpkg database; the
# runtime dependencies live on the real system, not in that root.
droot="$work/root"
mkdir -p "$droot/var/lib/dpkg/info" "$droot/var/lib/dpkg/updates"
touch "$droot/var/lib/dpkg/status"
dpkg --root="$droot" --force-depends --force-not-root --force-script-chrootless \
  --log=/dev/null -i "$deb" >/dev/null 2>"$work/dpkg.log" || { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; }
[[ -e "$droot/$libdir/libdeskvid.so.0" ]] || fail "dpkg did not install the library"
dpkg --root="$droot" --force-not-root --force-script-chrootless --log=/dev/null -r deskvid >/dev/null
left=$(find "$droot/usr" -type f 2>/dev/null | head -n 5 || true)
[[ -z "$left" ]] || fail "dpkg left files behind: $left"
echo "install test: passed (pkg-config, find_package, .deb install and removal)"
