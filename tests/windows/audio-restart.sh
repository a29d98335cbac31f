#!/usr/bin/env bash
# Runs the Windows audio source's restart case under Wine (in-session.sh),
# ending the session's PulseAudio when the test asks, as a crash would, and
# starting the same server again on the same socket two seconds later.
#   audio-restart.sh PREFIX PROGRAM
set -u
prefix=$1 program=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
source "$here/pulse.sh"
server=$(audio_server)
[[ -n $server ]] || { echo "no audio server" >&2; exit 1; }
restarted=
trap '[[ -n $restarted ]] && kill "$restarted" 2>/dev/null; rm -rf "$work"' EXIT
DESKVID_AUDIO_RESTART="Z:$work/restart" sh "$here/in-session.sh" "$prefix" "$program" \
  --gtest_filter='*ComesBackWithTheAudioServer*' &
test=$!
for _ in $(seq 600); do
  [[ -e $work/restart.kill ]] && break
  kill -0 "$test" 2>/dev/null || break
  sleep 0.1
done
if [[ -e $work/restart.kill ]]; then
  restart_audio_server "$server" 2
  touch "$work/restart.back"
fi
wait "$test"
