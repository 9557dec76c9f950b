# Sourced by the app scenario and the app benchmark: the Pelorin app on a throw-away X display
# with openbox, a receiver on the private avahi-daemon with a TCP listener, and a sender that
# records its command line, then relays to the loopback sender or fails as $work/behaviour says.
# stage_start BUILD_DIR sets build, work, log, app and window; stage_stop ends exactly what the
# stage started.
source "$(dirname "${BASH_SOURCE[0]}")/display.sh"
source "$(dirname "${BASH_SOURCE[0]}")/avahi.sh"

stage_pids=()

# Waits up to 10 s for the command to succeed.
eventually() { for _ in $(seq 1 100); do "$@" && return 0; sleep 0.1; done; return 1; }

stage_stop() {
  kill "${stage_pids[@]}" 2>/dev/null || true
  wait "${stage_pids[@]}" 2>/dev/null || true
  stop_display
  [[ -n "${stage_own_avahi:-}" ]] && stop_avahi
  [[ -n "${work:-}" ]] && rm -rf "$work"
}

# The listener behind the receiver; the app is installed as a user would have it: its executable
# beside share/pelorin/VantrelCA.pem.
stage_files() {
  python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(16); print(s.getsockname()[1], flush=True)
while True: s.accept()[0].close()' >"$work/port" &
  stage_pids+=($!)
  eventually test -s "$work/port" || return 1
  port=$(cat "$work/port")
  mkdir -p "$work/bin" "$work/share/pelorin"
  cp "$build/bin/Pelorin" "$work/bin/Pelorin"
  echo "test authority" >"$work/share/pelorin/VantrelCA.pem"
  # "linger" outlives its input by 4 s, so the app's next stop waits behind it.
  cat >"$work/sender" <<SENDER
#!/usr/bin/env bash
printf '%s\n' "\$@" >"$work/arguments"
case "\$(cat "$work/behaviour" 2>/dev/null)" in
  error) env printf 'pairing result=accepted\nerror: code refusé\n' >&2; sleep 0.3; exit 1 ;;  # one write
  exit) exit 3 ;;
  linger) "$build/bin/loopback-sender" "\$@"; sleep 4; exit 0 ;;
esac
exec "$build/bin/loopback-sender" "\$@"
SENDER
  chmod +x "$work/sender"
}

stage_start() {
  build=$(cd "$1" && pwd) work=$(mktemp -d)
  start_display
  xsetroot -solid '#ff0000'
  if [[ -z "${DBUS_SYSTEM_BUS_ADDRESS:-}" ]] || ! avahi_daemon_ready; then start_avahi; stage_own_avahi=1; fi
  stage_files || return 1
  export PELORIN_SENDER="$work/sender" PELORIN_VIDEO_ENCODER=software XDG_STATE_HOME="$work/state"
  export XDG_RUNTIME_DIR="$work" PELORIN_LOOPBACK_OUTPUT="$work/stream.pln" PELORIN_LOOPBACK_TIMES="$work/times"
  log="$work/state/Pelorin/Pelorin.log"
  "$work/bin/Pelorin" >"$work/app.out" 2>&1 &
  app=$!
  stage_pids+=($app)
  window=$(eventually xdotool search --sync --onlyvisible --name '^Pelorin$' | head -n1) || return 1
  sleep 0.5
  xdotool windowmove --sync "$window" 1300 820
}

# Announces the receiver "Salon".
stage_publish() {
  avahi-publish -s "Salon" _vantrel-cast._tcp "$port" >/dev/null 2>&1 &
  stage_pids+=($!)
}

# Types the code into its field, then presses the nth widget after it in the tab order.
press_tab() {
  xdotool mousemove --window "$window" 260 125 click 1
  xdotool key --clearmodifiers ctrl+a BackSpace
  xdotool type "$1"
  for _ in $(seq 1 "$2"); do xdotool key Tab; done
  xdotool key space
}
