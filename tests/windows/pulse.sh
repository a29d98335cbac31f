# Sourced by the Wine tests: what they do to the session's audio server.

# The session's audio server's process id (none: empty).
audio_server() { pgrep -f -- "socket=${PULSE_SERVER#unix:}\$" || true; }

# restart_audio_server PID SECONDS: ends the server PID as a crash would and
# starts it again, with the same command line on the same socket, SECONDS
# later; `restarted` gets the new server's process id.
restart_audio_server() {
  local args socket=${PULSE_SERVER#unix:}
  mapfile -d '' args <"/proc/$1/cmdline"
  kill -KILL "$1"
  sleep "$2"
  XDG_RUNTIME_DIR=${socket%/native} HOME=${socket%/native} "${args[@]}" >/dev/null 2>&1 &
  restarted=$!
  for _ in $(seq 50); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  pactl set-default-source deskvid_null.monitor
}
