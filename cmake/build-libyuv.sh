#!/usr/bin/env bash
# Cross-builds libyuv for the Windows DLL: Debian's source package of the
# version the system has, with Debian's patches, built by its own CMake file
# with our tool chain file, as a static library with its x86 SIMD paths
# (chosen at run time by CPU), installed into CACHE/prefix.
#
# Usage: build-libyuv.sh CACHE TOOLCHAIN_FILE
#   CACHE  a folder shared by every Windows build tree of a checkout
#
# Rebuilds only when the source version or this script changed; otherwise it
# returns at once. Environment: LIBYUV_JOBS (parallel jobs, default nproc).
set -euo pipefail

cache=$1
toolchain=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
jobs=${LIBYUV_JOBS:-$(nproc)}

# Only one build at a time per cache (build trees may be built in parallel).
exec 9>"$cache/lock"
flock 9

version=$(dpkg-query -W -f='${Version}' libyuv-dev 2>/dev/null || true)
if [[ -z $version ]]; then
  version=$(apt-cache showsrc libyuv 2>/dev/null | sed -n 's/^Version: //p' | head -n1)
fi
[[ -n $version ]] || {
  echo "build-libyuv: no libyuv version known: run scripts/deps first" >&2
  exit 1
}

# libyuv's headers leave out every x86 path on 32-bit x86 unless the compiler
# may use SSE: then it is plain C, about fifteen times slower. SSE2 is the
# floor of every Windows this DLL runs on; SSSE3 and AVX2 are chosen at run
# time.
flags="-O2 -msse2"

key=$( (
  echo "$version"
  echo "$flags"
  cat "$0" "$toolchain"
) | sha256sum | cut -c1-16)
prefix=$cache/prefix

if [[ -f $cache/key && $(<"$cache/key") == "$key" && -f $prefix/lib/libyuv.a ]]; then
  exit 0
fi

start=$(date +%s)
rm -rf "$cache/key" "$prefix" "$cache/src" "$cache/build"

# The Debian source package, downloaded once per version and kept.
downloads=$cache/downloads/$version
if [[ ! -f $downloads/done ]]; then
  rm -rf "$downloads"
  mkdir -p "$downloads"
  if ! (cd "$downloads" && apt-get source --download-only -qq "libyuv=$version" \
    >"$cache/apt.log" 2>&1); then
    cat "$cache/apt.log" >&2
    echo "build-libyuv: the source of libyuv $version is not available (deb-src entries" \
      "missing? run scripts/deps)" >&2
    exit 1
  fi
  touch "$downloads/done"
fi
dscs=("$downloads"/libyuv_*.dsc)
dpkg-source --no-check -x "${dscs[0]}" "$cache/src" >/dev/null
rm -f "$cache"/libyuv_*.orig.tar.*

# Only the static library: no tools, no JPEG (the engine converts raw pixels).
cmake -S "$cache/src" -B "$cache/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=None -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_DISABLE_FIND_PACKAGE_JPEG=ON -Wno-dev >"$cache/configure.log" 2>&1 || {
  tail -n 30 "$cache/configure.log" >&2
  exit 1
}
cmake --build "$cache/build" --target yuv -j "$jobs" >"$cache/build.log" 2>&1 || {
  tail -n 40 "$cache/build.log" >&2
  exit 1
}
mkdir -p "$prefix/lib" "$prefix/share/libyuv"
cp "$cache/build/libyuv.a" "$prefix/lib/"
cp -r "$cache/src/include" "$prefix/"
# Its licence asks that binary copies carry the notice: the Windows zip does.
cp "$cache/src/LICENSE" "$cache/src/PATENTS" "$prefix/share/libyuv/"
echo "$key" >"$cache/key"
echo "$version" >"$cache/version"
echo "build-libyuv: libyuv $version built in $(($(date +%s) - start)) s into $prefix"
