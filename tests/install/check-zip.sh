#!/usr/bin/env bash
# Packs the Windows build into its zip and checks the zip: the DLL that the
# Wine tests exercised, deskvid-record beside it, both headers, the .def file
# listing the exports, and the third-party notice with FFmpeg's and libyuv's
# licences and versions.
#
#   tests/install/check-zip.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
fail() { echo "zip test: $*" >&2; exit 1; }

(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(ls "$build"/packages/deskvid-*-win32.zip | head -n 1)
work=$(mktemp -d "${TMPDIR:-/tmp}/deskvid-zip.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$zip")
top=$(ls "$work")
doc=share/doc/deskvid
for f in bin/deskvid.dll bin/deskvid-record.exe include/deskvid/deskvid.h include/deskvid/deskvid_status.h lib/deskvid.def \
  $doc/THIRD-PARTY.txt $doc/ffmpeg/COPYING.LGPLv2.1 $doc/ffmpeg/VERSION $doc/libyuv/LICENSE \
  $doc/libyuv/PATENTS $doc/libyuv/VERSION; do
  [[ -f "$work/$top/$f" ]] || fail "$f is not in $(basename "$zip")"
done
cmp -s "$work/$top/bin/deskvid.dll" "$build/plugin/deskvid.dll" || fail "the zip's DLL is not the tested one"
exports=$(sed -n 's/^ *\(qm[A-Za-z]*\)$/\1/p' "$work/$top/lib/deskvid.def" | sort | tr '\n' ' ')
[[ "$exports" == "qmCreateInstance qmDestroyInstance qmGetInterfaceName qmInitialize qmUninitialize " ]] ||
  fail "the .def file lists: $exports"
echo "zip test: passed ($(basename "$zip"))"
