#!/usr/bin/env bash
# The Pelorin app on a throw-away X display, its accessibility tree on a private session bus, a green
# xlogo on the right monitor, a receiver "Salon" on the private avahi-daemon, and a sender that records
# its command line, then relays to the loopback sender or fails as $work/behaviour says. Sourced:
# stage_start BUILD_DIR exports build, work, log, port and the pids app and logo; stage_stop ends what it
# started, by pid. Run: app_stage.sh BUILD_DIR COMMAND... runs the command, which ends the app; its status.
# Within a session of wayland.sh the app captures through its portal, and its own bus is the session's.
source "$(dirname "${BASH_SOURCE[0]}")/display.sh"
source "$(dirname "${BASH_SOURCE[0]}")/avahi.sh"

stage_spawn() { "${@:2}" >"$work/$1.out" 2>&1 </dev/null & echo $! >"$work/$1.pid"; }  # name command...

stage_stop() {
  local name
  for name in app receiver receiver2 listener logo registry launcher bus; do stop_pid_file "$work/$name.pid"; done
  stop_display; rm -rf "$work"
  [[ -z "${stage_own_avahi:-}" ]] || stop_avahi
}

stage_start() {
  build=$(cd "$1" && pwd) work=$(mktemp -d)
  export build work log="$work/state/Pelorin/Pelorin.log" XDG_STATE_HOME="$work/state"
  [[ -n "${PELORIN_WAYLAND_DIR:-}" ]] || export XDG_RUNTIME_DIR=$work
  # PELORIN_STAGE_XWAYLAND=1: the app on the session's XWayland, as on a Wayland desktop.
  if [[ -n "${PELORIN_STAGE_XWAYLAND:-}" ]]; then :; else start_display && xsetroot -solid '#ff0000'; fi
  if [[ -z "${DBUS_SYSTEM_BUS_ADDRESS:-}" ]] || ! avahi_daemon_ready; then start_avahi; stage_own_avahi=1; fi
  # The app and the driver meet on a bus that activates nothing: every daemon on it is the stage's.
  # Qt 6.4 finds the a11y bus only through org.a11y.Bus (it ignores AT_SPI_BUS_ADDRESS); the launcher,
  # which signals its whole process group when it never started a bus, runs in a session of its own.
  echo "<busconfig><type>session</type><listen>unix:path=$work/bus</listen><auth>EXTERNAL</auth>" \
    '<policy context="default"><allow send_destination="*"/><allow receive_sender="*"/><allow own="*"/></policy>' \
    "</busconfig>" >"$work/bus.conf"
  unset AT_SPI_BUS_ADDRESS && export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
  if [[ -z "${PELORIN_WAYLAND_DIR:-}" ]]; then
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
    stage_spawn bus dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile
  fi
  wait_until 10 busctl --user status org.freedesktop.DBus || return 1
  stage_spawn launcher setsid /usr/libexec/at-spi-bus-launcher
  wait_until 10 busctl --user status org.a11y.Bus || return 1
  # Asked for its address, the launcher starts the a11y bus; the registry on it is ours.
  local a11y && a11y=$(busctl --user call org.a11y.Bus /org/a11y/bus org.a11y.Bus GetAddress | cut -d'"' -f2)
  stage_spawn registry env AT_SPI_BUS_ADDRESS="$a11y" /usr/libexec/at-spi2-registryd
  wait_until 10 busctl --address="$a11y" status org.a11y.atspi.Registry || return 1
  stage_spawn listener python3 -u -m http.server --bind 127.0.0.1 0  # the receiver's TCP end
  wait_until 10 grep -q port "$work/listener.out" || return 1
  port=$(grep -o 'port [0-9]*' "$work/listener.out" | cut -d' ' -f2) && export port
  stage_spawn receiver avahi-publish -s Salon _vantrel-cast._tcp "$port"
  stage_spawn logo xlogo -title pelorin-logo -geometry 640x400+2560+340 -bg '#00ff00' -fg '#00ff00'
  # "linger" outlives its input, deaf to SIGTERM, until $work/release exists: the app's next stop waits.
  cat >"$work/sender" <<SENDER
#!/usr/bin/env bash
printf '%s\n' "\$@" >"$work/arguments"
case "\$(cat "$work/behaviour" 2>/dev/null)" in
  error) env printf 'pairing result=accepted\nerror: code refusé\n' >&2; cat >/dev/null; exit 1 ;;  # one write
  exit) exit 3 ;;
  linger) trap '' TERM; "$build/bin/loopback-sender" "\$@"
    until [[ -e "$work/release" ]]; do sleep 0.1; done; exit 0 ;;
esac
exec "$build/bin/loopback-sender" "\$@"
SENDER
  # Installed as a user would have it: the executable beside share/pelorin/VantrelCA.pem.
  mkdir -p "$work/bin" "$work/share/pelorin" && cp "$build/bin/Pelorin" "$work/bin/" && chmod +x "$work/sender"
  echo "test authority" >"$work/share/pelorin/VantrelCA.pem"
  export PELORIN_SENDER="$work/sender" PELORIN_VIDEO_ENCODER=software PELORIN_LOOPBACK_OUTPUT="$work/stream.pln" \
    PELORIN_LOOPBACK_TIMES="$work/times"
  stage_spawn app "$work/bin/Pelorin" -qwindowgeometry +1300+820  # off the middle of the left monitor
  app=$(cat "$work/app.pid") logo=$(cat "$work/logo.pid") && export app logo
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  set -euo pipefail
  trap stage_stop EXIT
  stage_start "$1"
  "${@:2}"
  rm "$work/app.pid" && wait "$app"
fi
