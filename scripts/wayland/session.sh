# scripts/session's Wayland modes (sourced): prepares the session's user,
# folders and configuration, then runs session-inner under a bus of its own.
# Uses scripts/session's $dir (removed on exit), $desktop (sway or gnome),
# $size, $monitors, $stage and $out, and sets $group so that its cleanup ends
# whatever the session left running.

# Ends process group GROUP: TERM, then KILL what has not gone within 2 s.
end_group() {
  kill -TERM -- "-$1" 2>/dev/null || return 0
  for _ in $(seq 20); do
    kill -0 -- "-$1" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL -- "-$1" 2>/dev/null || true
}

run_wayland() {
  local here root user as=() name status
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  root=$(dirname "$(dirname "$here")")

  user=$(id -un)
  if (($(id -u) == 0)); then
    user=${DESKVID_SESSION_USER:-deskvid-session}
    id -u "$user" >/dev/null 2>&1 ||
      useradd --system --user-group --no-create-home --home-dir /nonexistent \
        --shell /usr/sbin/nologin "$user"
    as=(runuser -u "$user" --)
  fi

  # $dir is private to us; the user may pass through it to its own folders
  # and to bin/, which holds what it runs: nothing else is opened up.
  chmod 0711 "$dir"
  mkdir -p "$dir/bin" "$dir/portals" "$dir/config/pipewire/pipewire.conf.d" \
    "$dir/run" "$dir/home" "$dir/work" "$dir/logs"
  cp "$here/session-inner" "$dir/bin/"
  for name in "${stage[@]}"; do
    cp -L "$name" "$dir/bin/"
  done
  if [[ $desktop == gnome ]]; then
    cp "$here/gnome-consent" "$here/gnome-scene" "$dir/bin/"
    cp /usr/share/xdg-desktop-portal/portals/gnome.portal "$dir/portals/"
  else
    prepare_sway
  fi
  chmod -R a+rX "$dir/bin" "$dir/portals"
  # Without realtime scheduling the default quantum leaves gaps in the sound.
  cat >"$dir/config/pipewire/pipewire.conf.d/deskvid-quantum.conf" <<'EOF'
context.properties = {
    default.clock.quantum = 8192
    default.clock.min-quantum = 8192
    default.clock.max-quantum = 8192
}
EOF
  chown -R "$user:" "$dir/config" "$dir/run" "$dir/home" "$dir/work" "$dir/logs"
  chmod 0700 "$dir/run"

  # The test tools' settings pass through the cleared environment.
  local pass=()
  for name in $(compgen -e); do
    case "$name" in
      DESKVID_SESSION*) ;;
      DESKVID_* | GTEST_* | ASAN_OPTIONS | LSAN_OPTIONS | UBSAN_OPTIONS | TSAN_OPTIONS)
        pass+=("$name=${!name}") ;;
    esac
  done

  # A process group of its own, so that cleanup reaches what the bus started.
  setsid "${as[@]}" env -i HOME="$dir/home" USER="$user" LOGNAME="$user" LANG=C.UTF-8 \
    PATH="$dir/bin:/usr/local/bin:/usr/bin:/bin" \
    XDG_RUNTIME_DIR="$dir/run" XDG_CONFIG_HOME="$dir/config" \
    XDG_CURRENT_DESKTOP="${desktop/gnome/GNOME}" XDG_SESSION_TYPE=wayland \
    XDG_DESKTOP_PORTAL_DIR="$dir/portals" DESKVID_SESSION_DESKTOP="$desktop" \
    DESKVID_SESSION_MONITORS="$monitors" DESKVID_SESSION_WORK="$dir/work" \
    DESKVID_SESSION_LOGS="$dir/logs" "${pass[@]}" \
    dbus-run-session -- "$dir/bin/session-inner" "$size" "$@" &
  group=$!
  status=0
  wait "$group" || status=$?
  end_group "$group"
  group=
  if [[ -n $out ]]; then
    mkdir -p "$out"
    cp -r "$dir/work/." "$out/"
  fi
  return "$status"
}

# sway's part: the wlroots backend rebuilt to cast without a GPU, its
# configuration, and the script that answers its "share the screen?".
prepare_sway() {
  local xdpw
  xdpw=$("$here/build-xdpw" "${DESKVID_XDPW_DIR:-$root/build/xdg-desktop-portal-wlr}")
  cp "$xdpw" "$dir/bin/"
  cp /usr/share/xdg-desktop-portal/portals/wlr.portal "$dir/portals/"
  cat >"$dir/bin/deskvid-chooser" <<'EOF'
#!/bin/sh
# The user's answer when the portal asks to share the screen: the output
# named in deskvid-chooser.output, by default the first, after as many
# seconds as deskvid-chooser.delay holds (a person taking their time).
echo asked >>"$XDG_RUNTIME_DIR/deskvid-chooser.log"
[ -e "$XDG_RUNTIME_DIR/deskvid-chooser.delay" ] && sleep "$(cat "$XDG_RUNTIME_DIR/deskvid-chooser.delay")"
[ -e "$XDG_RUNTIME_DIR/deskvid-chooser.refuse" ] && exit 0
cat "$XDG_RUNTIME_DIR/deskvid-chooser.output" 2>/dev/null || echo HEADLESS-1
EOF
  chmod a+x "$dir/bin/deskvid-chooser"
  mkdir -p "$dir/config/sway" "$dir/config/xdg-desktop-portal-wlr"
  cat >"$dir/config/sway/config" <<EOF
output HEADLESS-1 mode ${size}@60Hz
xwayland disable
default_border none
EOF
  cat >"$dir/config/xdg-desktop-portal-wlr/config" <<EOF
[screencast]
output_name=HEADLESS-1
chooser_type=simple
chooser_cmd=$dir/bin/deskvid-chooser
max_fps=30
EOF
}
