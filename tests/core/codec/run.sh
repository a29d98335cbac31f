#!/usr/bin/env bash
# The codec tests, each in its own folder DIR:
#   run.sh identity DIR OURS SYSTEM  the same packets from our encoder without
#                                    a map as from the system's, at a fixed
#                                    quantiser and under rate control, whether
#                                    it copies its input or takes it as it is
#   run.sh skip DIR OURS CHECK       a file encoded with maps decodes right
#                                    (CHECK), and ffmpeg and GStreamer read
#                                    it without an error; taking the input
#                                    without a copy (and so reconstructing
#                                    only what changed) writes the same
set -euo pipefail
mode=$1 dir=$2 ours=$3 other=$4
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"

case $mode in
identity)
  for rate in "" --bitrate=400000; do
    "$ours" ours.asf $rate >ours.txt
    "$other" system.asf $rate >system.txt
    "$ours" direct.asf --direct $rate >direct.txt
    diff system.txt ours.txt || {
      echo "identity: our encoder's packets differ from the system's (${rate:-fixed quantiser})" >&2
      exit 1
    }
    diff system.txt direct.txt || {
      echo "identity: our encoder's packets differ from the system's when it takes its" \
        "input without a copy (${rate:-fixed quantiser})" >&2
      exit 1
    }
  done
  echo "identity: $(wc -l <ours.txt) packets alike"
  ;;
skip)
  "$ours" skip.asf --map >packets.txt
  "$ours" direct.asf --map --direct >direct.txt
  diff packets.txt direct.txt || {
    echo "skip: the packets change when the encoder takes its input without a copy" >&2
    exit 1
  }
  "$other" skip.asf
  if ! ffmpeg -nostdin -v error -err_detect explode -xerror -i file:skip.asf -f null - \
    2>ffmpeg.log || [[ -s ffmpeg.log ]]; then
    echo "skip: ffmpeg reports:" >&2
    cat ffmpeg.log >&2
    exit 1
  fi
  if ! gst-launch-1.0 -q filesrc location=skip.asf ! asfdemux ! avdec_wmv2 ! fakesink \
    >gst.log 2>&1 || grep -qiE 'error|warn' gst.log; then
    echo "skip: GStreamer reports:" >&2
    cat gst.log >&2
    exit 1
  fi
  ;;
*)
  echo "usage: run.sh identity|skip DIR OURS OTHER" >&2
  exit 2
  ;;
esac
