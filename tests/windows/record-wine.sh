#!/usr/bin/env bash
# Our own engine inside deskvid.dll records for real under Wine. Run inside
# scripts/session --private (a private Xvfb with a moving pattern, a private
# PulseAudio), in a Wine prefix of its own where no encoder is registered.
#
# record-wine.sh HOST.exe deskvid.dll deskvid-record.exe PREFIX WORKDIR
set -euo pipefail
host=$1 dll=$2 cli=$3
export DESKVID_WINEPREFIX=$4
work=$5
here=$(cd "$(dirname "$0")" && pwd)
source "$here/pulse.sh"
wine_run=$here/../../cmake/wine-run.sh
check=$here/check-recording.py
size=$(xdpyinfo | sed -n 's/^ *dimensions: *\([0-9]*x[0-9]*\) .*/\1/p')

# A wineserver left from another display would show that display.
end_wine() { WINEPREFIX=$DESKVID_WINEPREFIX wineserver -k >/dev/null 2>&1 || true; }
tone=
restarted=
cleanup() {
  [[ -z $tone ]] || kill "$tone" 2>/dev/null || true
  [[ -z $restarted ]] || kill "$restarted" 2>/dev/null || true
  end_wine
}
end_wine
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work"
status=0
run() { "$wine_run" "$host" "$dll" "$@" || status=1; }
fail() { echo "FAILED: $*" >&2; status=1; }
# Waits up to 30 s for a line matching TEXT in FILE, which a program started in
# the background writes.
wait_for_text() { # TEXT FILE
  for _ in $(seq 300); do
    grep -q "$1" "$2" && return
    sleep 0.1
  done
}

# A 1 kHz tone into the null sink whose monitor is the default source.
gst-launch-1.0 -q audiotestsrc freq=1000 volume=0.5 is-live=true ! pulsesink >/dev/null 2>&1 &
tone=$!

echo "== 6 s with a 2 s pause in the middle: one file, without the paused time"
run record "$work/rec.wmv"
python3 "$check" "$work/rec.wmv" --size "$size" --seconds 6 --tone 1000 --moving || status=1

echo "== a second instance may not record the same file"
run second "$work/second.wmv"
python3 "$check" "$work/second.wmv" || status=1

echo "== deskvid-record on Windows: 3 s with --duration"
"$wine_run" "$cli" --library "$dll" -o "$work/cli.wmv" --duration 3 || status=1
python3 "$check" "$work/cli.wmv" --seconds 3 || status=1
echo "== deskvid-record --help speaks Windows: deskvid.dll and Ctrl-Break, no signals"
help=$("$wine_run" "$cli" --help) || fail "deskvid-record --help failed"
grep -q 'deskvid\.dll' <<<"$help" && grep -q 'Ctrl-Break' <<<"$help" ||
  fail "deskvid-record --help names neither deskvid.dll nor Ctrl-Break"
! grep -E 'SIG[A-Z]|\.so\b|terminal' <<<"$help" >&2 || fail "deskvid-record --help speaks Linux"
echo "== deskvid-record stopped by Ctrl-C (Wine turns SIGINT into it): a finalised file"
"$wine_run" "$cli" --library "$dll" -o "$work/ctrl-c.wmv" 2>"$work.cli.log" &
cli_pid=$!
# Once it records (Wine may take a while to start it).
wait_for_text "recording to" "$work.cli.log"
sleep 1
kill -INT "$cli_pid"
wait "$cli_pid" || fail "deskvid-record did not stop cleanly on Ctrl-C"
grep -v ALSA "$work.cli.log" >&2 || true
rm -f "$work.cli.log"
python3 "$check" "$work/ctrl-c.wmv" || status=1

echo "== COM not initialised: its own answer, as with the automation engine"
run nocom "$work/nocom.wmv"

echo "== NUL and a folder are refused"
run start NUL 80040202
run start "$work" 80040202

echo "== no audio server: refused at the start, a file there kept, nothing left behind"
printf 'kept as it was' >"$work/kept.wmv"
PULSE_SERVER=unix:$work/no-server run start "$work/kept.wmv" 80040204
PULSE_SERVER=unix:$work/no-server run start "$work/new.wmv" 80040204
# What the output plays: Wine offers no loopback capture, and says so.
DESKVID_AUDIO=output run start "$work/output.wmv" 80040204
[[ $(<"$work/kept.wmv") == "kept as it was" ]] || fail "the existing file changed"
leftover=$(cd "$work" && ls -A | grep -v -x -e rec.wmv -e second.wmv -e cli.wmv -e ctrl-c.wmv -e kept.wmv || true)
[[ -z $leftover ]] || fail "left behind: $leftover"

echo "== DESKVID_SCREEN and DESKVID_AUDIO set by the host at run time are honoured"
PULSE_SERVER=unix:$work/no-server run environment "$work/environment.wmv"
python3 "$check" "$work/environment.wmv" --size 320x240 --seconds 1 || status=1

# Starts the host in MODE recording FILE in the background, and waits until its
# start has answered and sound has come (an idle server's first may take 2 s).
record_then_wait() {
  "$wine_run" "$host" "$dll" "$1" "$2" >"$work.$1.log" &
  recording=$!
  wait_for_text "^start:" "$work.$1.log"
  sleep 2.5
}

echo "== the audio server killed and started again mid-recording: sound after its return"
server=$(audio_server)
[[ -n $server ]] || fail "no audio server"
record_then_wait restart "$work/restart.wmv"
restart_audio_server "$server" 1.5
gst-launch-1.0 -q audiotestsrc freq=1000 volume=0.5 is-live=true ! pulsesink >/dev/null 2>&1 &
tone=$!
wait "$recording" || status=1
cat "$work.restart.log"
rm -f "$work.restart.log"
# Back within two seconds of its return, at 4 s: the tone from 7 s on.
python3 "$check" "$work/restart.wmv" --seconds 9 --tone 1000 --tone-at 7 || status=1

echo "== the audio server killed mid-recording: the stop reports it, the file plays"
record_then_wait lost "$work/lost.wmv"
server=$(audio_server)
[[ -n $server ]] && kill -KILL $server || fail "no audio server to kill"
tone=
wait "$recording" || status=1
cat "$work.lost.log"
rm -f "$work.lost.log"
python3 "$check" "$work/lost.wmv" || status=1

((status == 0)) && echo "record-wine: all checks passed"
exit "$status"
