#!/usr/bin/env python3
"""Checks a recording made under Wine, on Linux's own tools.

check-recording.py FILE [--size WxH] [--seconds S] [--tone HZ [--tone-at S]] [--moving]

Always: WMV2 + WMA2 in the file, a clean decode by `ffmpeg -xerror` and by
GStreamer. --size: the video's size. --seconds: its length, within half a
second. --moving: the pictures are not black and change (sampled twice a
second). --tone: the sound track carries that frequency well above others,
in the second from --tone-at (1 by default).
"""
import argparse
import json
import math
import subprocess
import sys

failures = []


def expect(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED: " + what, file=sys.stderr)


def run(args):
    try:
        return subprocess.run(args, check=False, capture_output=True, timeout=120)
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess(args, 124, b"", b"")


def probe(path):
    out = run(["ffprobe", "-v", "error", "-show_entries",
               "stream=codec_type,codec_name,width,height:format=duration",
               "-of", "json", path]).stdout
    media = json.loads(out or b"{}")
    fields = {"duration": media.get("format", {}).get("duration", "0")}
    for stream in media.get("streams", []):
        for key, value in stream.items():
            fields["%s.%s" % (stream.get("codec_type"), key)] = str(value)
    return fields


def goertzel(samples, rate, hz):
    coeff = 2 * math.cos(2 * math.pi * hz / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    return s1 * s1 + s2 * s2 - coeff * s1 * s2


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("--size")
    parser.add_argument("--seconds", type=float)
    parser.add_argument("--tone", type=float)
    parser.add_argument("--tone-at", type=float, default=1)
    parser.add_argument("--moving", action="store_true")
    args = parser.parse_args()
    path = args.file

    media = probe(path)
    expect(media.get("video.codec_name") == "wmv2", "WMV2 video: %s" % media)
    expect(media.get("audio.codec_name") == "wmav2", "WMA2 audio: %s" % media)
    expect(run(["ffmpeg", "-v", "error", "-xerror", "-i", path, "-f", "null", "-"]).returncode
           == 0, "decodes with ffmpeg -xerror")
    expect(run(["gst-launch-1.0", "-q", "filesrc", "location=" + path, "!", "decodebin",
                "name=d", "d.", "!", "queue", "!", "fakesink", "d.", "!", "queue", "!",
                "fakesink"]).returncode == 0, "decodes with GStreamer")
    if args.size:
        expect("%sx%s" % (media.get("video.width"), media.get("video.height")) == args.size,
               "size %s" % args.size)
    if args.seconds is not None:
        duration = float(media.get("duration", "0"))
        expect(abs(duration - args.seconds) <= 0.5,
               "lasts %.3f s, expected %.1f s" % (duration, args.seconds))
    if args.moving:
        w, h = 32, 18
        raw = run(["ffmpeg", "-v", "error", "-i", path, "-vf", "fps=2,scale=%d:%d" % (w, h),
                   "-f", "rawvideo", "-pix_fmt", "gray", "-"]).stdout
        frames = [raw[i:i + w * h] for i in range(0, len(raw) - w * h + 1, w * h)]
        expect(len(frames) >= 4, "pictures to compare")
        expect(all(max(f) > 64 for f in frames), "no black picture")
        changes = [sum(abs(a - b) for a, b in zip(f, g)) for f, g in zip(frames, frames[1:])]
        expect(sum(1 for c in changes if c > 0) >= len(changes) * 3 // 4,
               "pictures change: %s" % changes)
    if args.tone:
        rate = 48000
        raw = run(["ffmpeg", "-v", "error", "-ss", str(args.tone_at), "-i", path, "-t", "1", "-ac", "1",
                   "-ar", str(rate), "-f", "s16le", "-"]).stdout
        samples = [int.from_bytes(raw[i:i + 2], "little", signed=True)
                   for i in range(0, len(raw) - 1, 2)]
        expect(len(samples) > rate // 2, "a second of sound")
        tone = goertzel(samples, rate, args.tone)
        other = max(goertzel(samples, rate, args.tone * f) for f in (0.5, 0.7, 1.4, 2.3))
        expect(tone > 100 * max(other, 1.0), "tone %.0f Hz: %.3g against %.3g" %
               (args.tone, tone, other))
    print("%s: %s" % (path, "ok" if not failures else "%d failures" % len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
