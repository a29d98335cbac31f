#!/usr/bin/env bash
# Builds the engine's own FFmpeg: Debian's source package of the FFmpeg
# version the system has, our patches applied, configured with only what the
# engine uses (the WMV2 and WMA2 encoders, the ASF muxer, and libswresample
# for the sound's rate correction; the engine writes
# through an I/O context of its own, so no protocol),
# static and position-independent, installed into CACHE/prefix.
#
# Usage: build-ffmpeg.sh CACHE
#   CACHE  a folder shared by every build tree of a checkout (build/,
#          build-asan/, build-tsan/ all use the same static libraries)
#
# Rebuilds only when the source version, a patch or this script changed;
# otherwise it returns at once. Environment: FFMPEG_CC (the C compiler
# command, e.g. "ccache cc"), FFMPEG_JOBS (parallel jobs, default nproc),
# FFMPEG_CROSS (a mingw-w64 triple, i686-w64-mingw32: a cross build for
# Windows with that triple's tools and x86 assembly; give it a cache of its
# own).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=$1
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
jobs=${FFMPEG_JOBS:-$(nproc)}
cc=${FFMPEG_CC:-cc}
cross=${FFMPEG_CROSS:-}

# Only one build at a time per cache (build trees may be built in parallel).
exec 9>"$cache/lock"
flock 9

# The system's FFmpeg version; the source package of the same version.
version=$(dpkg-query -W -f='${Version}' libavutil-dev 2>/dev/null || true)
if [[ -z $version ]]; then
  version=$(apt-cache showsrc ffmpeg 2>/dev/null | sed -n 's/^Version: //p' | head -n1)
fi
[[ -n $version ]] || {
  echo "build-ffmpeg: no FFmpeg version known: run scripts/deps first" >&2
  exit 1
}

# shellcheck disable=SC2054 # the commas separate configure's own lists
configure_flags=(
  --disable-everything --disable-autodetect
  --disable-programs --disable-doc --disable-network --disable-debug
  --disable-avdevice --disable-avfilter --disable-swscale
  --disable-postproc
  --enable-static --disable-shared --enable-pic
  --enable-encoder=wmv2,wmav2 --enable-muxer=asf
)
# The same FFmpeg for Windows. Its random seed imports bcrypt.dll, a system
# DLL (FFmpeg 5.1 has no switch against it).
case $cross in
  '') ;;
  i686-w64-mingw32)
    configure_flags+=(--enable-cross-compile --target-os=mingw32 --arch=x86
      --cross-prefix="$cross-")
    ;;
  *)
    echo "build-ffmpeg: no cross build known for '$cross'" >&2
    exit 1
    ;;
esac

key=$( (
  echo "$version"
  echo "${configure_flags[*]}"
  cat "$0" "$here"/*.patch
) | sha256sum | cut -c1-16)
prefix=$cache/prefix

up_to_date() {
  [[ -f $cache/key && $(<"$cache/key") == "$key" ]] || return 1
  for lib in avformat avcodec avutil swresample; do
    [[ -f $prefix/lib/lib$lib.a ]] || return 1
  done
}
if up_to_date; then
  exit 0
fi

start=$(date +%s)
rm -rf "$cache/key" "$prefix" "$cache/src" "$cache/build"

# The Debian source package, downloaded once per version and kept.
upstream=${version#*:}
upstream=${upstream%-*}
downloads=$cache/downloads/$version
if [[ ! -f $downloads/done ]]; then
  rm -rf "$downloads"
  mkdir -p "$downloads"
  # (apt notes on stderr that root downloads unsandboxed: shown only on failure)
  if ! (cd "$downloads" && apt-get source --download-only -qq "ffmpeg=$version" \
    >"$cache/apt.log" 2>&1); then
    cat "$cache/apt.log" >&2
    echo "build-ffmpeg: the source of ffmpeg $version is not available (deb-src entries" \
      "missing? run scripts/deps); trying the archive's current version" >&2
    (cd "$downloads" && apt-get source --download-only -qq ffmpeg >/dev/null)
  fi
  touch "$downloads/done"
fi
dscs=("$downloads"/ffmpeg_*.dsc)
dsc=${dscs[0]}

# Unpacked with Debian's own patches, then ours.
dpkg-source --no-check -x "$dsc" "$cache/src" >/dev/null
rm -f "$cache"/ffmpeg_*.orig.tar.* # the link dpkg-source leaves beside the tree
for patch in "$here"/*.patch; do
  patch -d "$cache/src" -p1 --quiet --forward <"$patch"
done

mkdir -p "$cache/build"
cd "$cache/build"
"$cache/src/configure" --prefix="$prefix" --cc="$cc" "${configure_flags[@]}" \
  >configure.log 2>&1 || {
  tail -n 30 configure.log ffbuild/config.log >&2
  exit 1
}
make -j"$jobs" >build.log 2>&1 || {
  tail -n 40 build.log >&2
  exit 1
}
make install >install.log 2>&1
echo "$key" >"$cache/key"
echo "$version" >"$cache/version"
echo "build-ffmpeg: FFmpeg $version ($upstream) built in $(($(date +%s) - start)) s into $prefix"
