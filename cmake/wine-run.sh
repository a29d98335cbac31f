#!/bin/sh
# Runs a cross-built Windows program under Wine in a throwaway 32-bit prefix.
# The prefix is $DESKVID_WINEPREFIX, or "wineprefix" in the build tree that
# holds the current directory (ctest runs each test inside the build tree).
# It is created on first use; concurrent first uses wait for each other.
set -eu
if [ -z "${DESKVID_WINEPREFIX:-}" ]; then
  dir=$PWD
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do
    dir=$(dirname "$dir")
  done
  if [ "$dir" = / ]; then
    echo "wine-run: not inside a build tree; set DESKVID_WINEPREFIX" >&2
    exit 2
  fi
  DESKVID_WINEPREFIX=$dir/wineprefix
fi
export WINEPREFIX="$DESKVID_WINEPREFIX"
export WINEARCH=win32
export WINEDLLOVERRIDES=mscoree,mshtml=
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec wine "$@"
