# Sourced by the scripts (or run as `wayland.sh set-colour|stop-compositor ...` by tests): a
# throw-away headless Wayland session with the ScreenCast portal: sway (headless, pixman), a private
# session bus, PipeWire + WirePlumber, xdg-permission-store, xdg-desktop-portal and a patched
# xdg-desktop-portal-wlr that this script builds from Debian's source package into a cache folder.
# With PELORIN_WAYLAND_DESKTOP=gnome the compositor is GNOME Shell (headless, one 1280x720 virtual
# monitor, no XWayland), the backend the stock xdg-desktop-portal-gnome, whose share dialog is a GTK
# window on that compositor (answered by `wayland.sh choose` once it shows, through its accessibility
# tree: gnome_dialog.py), and a window the tests share (wayland_window.py, told what to do by
# `wayland.sh window` and `set-colour`).
# start_wayland exports WAYLAND_DISPLAY, XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS,
# XDG_SESSION_TYPE=wayland, SWAYSOCK and DISPLAY (sway's XWayland, open to the caller's uid; sway
# only) and PELORIN_WAYLAND_DIR (configuration, logs, process ids);
# stop_wayland ends exactly the processes it started. As root sway's daemons run as uid 65534 (sway
# refuses root), GNOME's as root; as any other user they run as that user.

source "$(dirname "${BASH_SOURCE[0]}")/process.sh"

WAYLAND_XDPW_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/pelorin/xdg-desktop-portal-wlr"
WAYLAND_EXTRA_CAPS=()  # capabilities the next wayland_spawn keeps (as root)

wayland_log() { echo "wayland.sh: $*" >&2; }

# The stock backend refuses every Start without a GPU: from interface version 3 on it demands a
# DMA-BUF format as well, which pixman never offers although its shared-memory path works. The
# deb-src entries (made from this machine's own deb entries) live in a temporary apt state used
# for this one download only.
# Built once per version of the package in this machine's lists (an update rebuilds it); without
# lists, the newest source once.
build_patched_xdpw() {  # → $WAYLAND_XDPW_PROGRAM
  local version
  version=$(apt-cache policy xdg-desktop-portal-wlr 2>/dev/null | awk '$1 == "Candidate:" && $2 != "(none)" { print $2 }')
  local dir=$WAYLAND_XDPW_CACHE/${version:-newest}
  WAYLAND_XDPW_PROGRAM=$dir/xdg-desktop-portal-wlr
  [[ -x "$WAYLAND_XDPW_PROGRAM" ]] && return 0
  local work codename status=0
  work=$(mktemp -d)
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial"
  cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v RS= -v ORS='\n\n' -v c="$codename" \
    '/(^|\n)Types:[^\n]*deb/ && $0 ~ ("\nSuites:[^\n]*[ \t]" c "([ \t\n]|$)") { sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
    >"$work/parts/src.sources"
  cat /etc/apt/sources.list 2>/dev/null | awk -v c="$codename" '$1 == "deb" && $3 == c { $1 = "deb-src"; print }' \
    >"$work/parts/src.list"
  local apt=(apt-get -qq -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/parts"
    -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" -o Debug::NoLocking=1
    -o APT::Sandbox::User="$(id -un)")
  # One && chain: errexit does not hold in a subshell whose status is tested.
  (
    cd "$work" &&
      "${apt[@]}" update </dev/null &&
      "${apt[@]}" source "xdg-desktop-portal-wlr${version:+=$version}" </dev/null >/dev/null &&
      cd xdg-desktop-portal-wlr-*/ &&
      perl -0pi -e 's/\s*\|\|\s*\(cast->ctx->state->screencast_version >= 3 &&\s*cast->screencopy_frame_info\[DMABUF\]\.format == DRM_FORMAT_INVALID\)// or exit 1' \
        src/screencast/screencast.c &&
      meson setup build -Dman-pages=disabled -Dsystemd=disabled -Dsd-bus-provider=libsystemd >/dev/null &&
      ninja -C build >/dev/null &&
      mkdir -p "$dir" &&
      # Renamed into place: a concurrent run sees the whole program or none.
      cp build/xdg-desktop-portal-wlr "$dir/.new.$$" &&
      mv "$dir/.new.$$" "$WAYLAND_XDPW_PROGRAM"
  ) >"$work/build.log" 2>&1 || status=$?
  [[ $status -eq 0 ]] || { cat "$work/build.log" >&2; wayland_log "cannot build the patched xdg-desktop-portal-wlr"; }
  rm -rf "$work"
  return "$status"
}

# sway refuses root: as root its session runs as uid 65534. GNOME's runs as the caller, whose
# accessibility bus (a bus of the caller's uid alone) then reaches the GNOME share dialog.
wayland_drops_root() { [[ $(id -u) -eq 0 && $WAYLAND_DESKTOP != GNOME ]]; }

wayland_spawn() {  # name command...: a daemon in the background, its pid in DIR/name.pid
  local name=$1
  shift
  local as=()
  wayland_drops_root && as=(setpriv --reuid=65534 --regid=65534 --clear-groups "${WAYLAND_EXTRA_CAPS[@]}")
  env -i PATH="$PATH" HOME="$PELORIN_WAYLAND_DIR/home" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" \
    XDG_CONFIG_HOME="$PELORIN_WAYLAND_DIR/config" XDG_DATA_HOME="$PELORIN_WAYLAND_DIR/home/data" \
    XDG_STATE_HOME="$PELORIN_WAYLAND_DIR/home/state" XDG_CURRENT_DESKTOP="$WAYLAND_DESKTOP" XDG_SESSION_TYPE=wayland \
    DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" WAYLAND_DISPLAY="${WAYLAND_DISPLAY:-}" \
    SWAYSOCK="$SWAYSOCK" XDG_DESKTOP_PORTAL_DIR="$PELORIN_WAYLAND_DIR/portals" \
    WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 WLR_HEADLESS_OUTPUTS=2 \
    "${as[@]}" "$@" >"$PELORIN_WAYLAND_DIR/$name.log" 2>&1 </dev/null &
  echo $! >"$PELORIN_WAYLAND_DIR/$name.pid"
  WAYLAND_EXTRA_CAPS=()
}

wayland_on_bus() {  # bus-name
  busctl --user status "$1"
}

# WirePlumber links the portal's stream to its client: ready once its export connection is there.
wayland_wireplumber_ready() {
  pw-cli ls Client | grep -q 'application.name = "WirePlumber \[export\]"'
}

wayland_screencast_version() {
  busctl --user get-property org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop \
    org.freedesktop.portal.ScreenCast version
}

wayland_write_config() {
  local d=$PELORIN_WAYLAND_DIR
  mkdir -p "$d/home" "$d/config/sway" "$d/config/xdg-desktop-portal-wlr" "$d/portals" \
    "$d/config/wireplumber/main.lua.d" "$d/config/wireplumber/bluetooth.lua.d"
  # Two monitors side by side: the portal shares the first, the second is a display the token lacks.
  cat >"$d/config/sway/config" <<'CONF'
xwayland force
output HEADLESS-1 mode 1920x1080 position 0 0 bg #000000 solid_color
output HEADLESS-2 mode 1280x720 position 1920 0 bg #000000 solid_color
CONF
  # The chooser is a command answering what the file "chooser" holds: an output's name, or
  # nothing for a user who cancels (wayland.sh choose NAME|'').
  printf '[screencast]\nchooser_type=simple\nchooser_cmd=cat %s/chooser\n' "$d" >"$d/config/xdg-desktop-portal-wlr/config"
  echo HEADLESS-1 >"$d/chooser"
  printf '[portal]\nDBusName=org.freedesktop.impl.portal.desktop.%s\nInterfaces=org.freedesktop.impl.portal.ScreenCast;\nUseIn=%s;\n' \
    "$WAYLAND_BACKEND" "$WAYLAND_DESKTOP" >"$d/portals/backend.portal"
  # A bare machine has no sound, camera or Bluetooth: their monitors would make WirePlumber exit.
  printf 'alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n' \
    >"$d/config/wireplumber/main.lua.d/60-pelorin.lua"
  echo 'bluez_monitor.enabled = false' >"$d/config/wireplumber/bluetooth.lua.d/60-pelorin.lua"
  # Any uid may connect: the clients may be root while the daemons run as 65534.
  cat >"$d/session.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$d/run/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
}

start_wayland() {
  WAYLAND_DESKTOP=sway WAYLAND_BACKEND=wlr
  [[ "${PELORIN_WAYLAND_DESKTOP:-sway}" == gnome ]] && WAYLAND_DESKTOP=GNOME WAYLAND_BACKEND=gnome
  [[ $WAYLAND_DESKTOP == GNOME ]] || build_patched_xdpw || return 1
  PELORIN_WAYLAND_DIR=$(mktemp -d)
  export PELORIN_WAYLAND_DIR
  WAYLAND_CALLER_RUNTIME_DIR=${XDG_RUNTIME_DIR:-}
  WAYLAND_CALLER_DISPLAY=${DISPLAY:-}
  export XDG_RUNTIME_DIR="$PELORIN_WAYLAND_DIR/run"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
  export SWAYSOCK="$XDG_RUNTIME_DIR/sway.sock"
  export XDG_SESSION_TYPE=wayland
  unset WAYLAND_DISPLAY
  mkdir -p "$XDG_RUNTIME_DIR"
  chmod 0755 "$PELORIN_WAYLAND_DIR"
  chmod 0700 "$XDG_RUNTIME_DIR"
  wayland_write_config
  # A copy uid 65534 can reach: root's home is usually closed to it.
  [[ $WAYLAND_DESKTOP == GNOME ]] || cp "$WAYLAND_XDPW_PROGRAM" "$PELORIN_WAYLAND_DIR/"
  wayland_drops_root && chown -R 65534:65534 "$PELORIN_WAYLAND_DIR"
  # XWayland's socket folder, shared by every X server: made as it would be by root if missing.
  [[ -d /tmp/.X11-unix || $(id -u) -ne 0 ]] || mkdir -m 1777 /tmp/.X11-unix

  wayland_spawn bus dbus-daemon --config-file="$PELORIN_WAYLAND_DIR/session.conf" --nofork --nopidfile
  wait_until 10 busctl --user status org.freedesktop.DBus || { wayland_failed bus; return 1; }
  if [[ $WAYLAND_DESKTOP == GNOME ]]; then
    start_wayland_gnome || return 1
  else
    start_wayland_sway || return 1
  fi
  wayland_spawn pipewire pipewire
  wait_until 10 test -S "$XDG_RUNTIME_DIR/pipewire-0" || { wayland_failed pipewire; return 1; }
  wayland_spawn wireplumber wireplumber
  wait_until 10 wayland_wireplumber_ready || { wayland_failed wireplumber; return 1; }
  wayland_spawn permission-store /usr/libexec/xdg-permission-store --replace
  wait_until 10 wayland_on_bus org.freedesktop.impl.portal.PermissionStore || { wayland_failed permission-store; return 1; }
  if [[ $WAYLAND_DESKTOP == GNOME ]]; then
    wayland_spawn portal-gnome /usr/libexec/xdg-desktop-portal-gnome
    wait_until 10 wayland_on_bus org.freedesktop.impl.portal.desktop.gnome || { wayland_failed portal-gnome; return 1; }
  else
    wayland_spawn xdpw "$PELORIN_WAYLAND_DIR/xdg-desktop-portal-wlr" -r
    wait_until 10 wayland_on_bus org.freedesktop.impl.portal.desktop.wlr || { wayland_failed xdpw; return 1; }
  fi
  # The portal opens /proc/PID/root of each caller to tell sandboxed apps from host ones; a root
  # caller's is closed to uid 65534 without this one capability.
  wayland_drops_root && WAYLAND_EXTRA_CAPS=(--inh-caps=+sys_ptrace --ambient-caps=+sys_ptrace)
  wayland_spawn portal /usr/libexec/xdg-desktop-portal -r
  # Ready once its ScreenCast interface answers, which it exports only with a backend behind it.
  wait_until 10 wayland_screencast_version || { wayland_failed portal; return 1; }
}

start_wayland_sway() {
  wayland_spawn sway sway -c "$PELORIN_WAYLAND_DIR/config/sway/config"
  wait_until 10 test -S "$SWAYSOCK" || { wayland_failed sway; return 1; }
  export WAYLAND_DISPLAY
  WAYLAND_DISPLAY=$(cd "$XDG_RUNTIME_DIR" && ls wayland-* | grep -v lock | head -n1)
  wayland_open_xwayland || { wayland_failed sway; return 1; }
}

# The portal's backend needs the Shell's screen-cast, display-configuration and window-list services
# on the bus.
start_wayland_gnome() {
  export WAYLAND_DISPLAY=wayland-pelorin
  # A session mode of the user's without the overview, which would otherwise open over every window
  # at the start; the shell reads modes from the system's data folders only.
  mkdir -p "$PELORIN_WAYLAND_DIR/share/gnome-shell/modes"
  echo '{"parentMode": "user", "hasOverview": false}' >"$PELORIN_WAYLAND_DIR/share/gnome-shell/modes/pelorin.json"
  # No system bus: the session's stands for it, where the login manager's absence is no failure.
  wayland_spawn gnome-shell env DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" \
    XDG_DATA_DIRS="$PELORIN_WAYLAND_DIR/share:/usr/local/share:/usr/share" gnome-shell --headless --wayland \
    --no-x11 --wayland-display="$WAYLAND_DISPLAY" --virtual-monitor 1280x720 --mode=pelorin
  wait_until 20 wayland_on_bus org.gnome.Mutter.ScreenCast || { wayland_failed gnome-shell; return 1; }
  wait_until 10 test -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" || { wayland_failed gnome-shell; return 1; }
  # What a test shares on GNOME: its colour is the monitor's while it is full screen.
  mkfifo "$PELORIN_WAYLAND_DIR/window"
  wayland_spawn window /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/wayland_window.py" "$PELORIN_WAYLAND_DIR/window"
}

# sway names its XWayland server (the first free number) only in its children's environment. The
# server admits its own uid alone: the caller's is added to its access list.
wayland_open_xwayland() {
  local file=$PELORIN_WAYLAND_DIR/display
  # The socket is there before sway answers on it; a busy machine can take seconds between the two.
  wait_until 10 swaymsg -t get_version || return 1
  swaymsg exec "echo \$DISPLAY >$file" >/dev/null &&
    wait_until 10 test -s "$file" || return 1
  export DISPLAY
  DISPLAY=$(cat "$file")
  wayland_as_sway timeout 10 xhost "+si:localuser:$(id -un)" >/dev/null &&
    wait_until 10 xdpyinfo
}

wayland_as_sway() {  # command...: run as the daemons' uid against the session's X server
  if [[ $(id -u) -eq 0 ]]; then
    setpriv --reuid=65534 --regid=65534 --clear-groups env DISPLAY="$DISPLAY" "$@"
  else
    "$@"
  fi
}

wayland_failed() {  # name: the daemon that did not come up
  wayland_log "$1 did not start; its log:"
  cat "$PELORIN_WAYLAND_DIR/$1.log" >&2 2>/dev/null
  stop_wayland
}

stop_wayland() {
  [[ -n "${PELORIN_WAYLAND_DIR:-}" && -d "$PELORIN_WAYLAND_DIR" ]] || return 0
  local name
  for name in portal xdpw portal-gnome window permission-store wireplumber pipewire sway gnome-shell bus; do
    stop_pid_file "$PELORIN_WAYLAND_DIR/$name.pid"
  done
  rm -rf "$PELORIN_WAYLAND_DIR"
  unset PELORIN_WAYLAND_DIR WAYLAND_DISPLAY DISPLAY DBUS_SESSION_BUS_ADDRESS SWAYSOCK XDG_SESSION_TYPE XDG_RUNTIME_DIR
  [[ -z "${WAYLAND_CALLER_RUNTIME_DIR:-}" ]] || export XDG_RUNTIME_DIR=$WAYLAND_CALLER_RUNTIME_DIR
  [[ -z "${WAYLAND_CALLER_DISPLAY:-}" ]] || export DISPLAY=$WAYLAND_CALLER_DISPLAY
}

choose_wayland_output() {  # name, or '' to cancel: the chooser's next answers (on GNOME: the open dialog's)
  if [[ -p "$PELORIN_WAYLAND_DIR/window" ]]; then
    /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/gnome_dialog.py" ${1:+"$1"}
  else
    echo "$1" >"$PELORIN_WAYLAND_DIR/chooser"
  fi
}

set_wayland_colour() {  # '#rrggbb' [output]: fills the monitor with one colour (on GNOME, the window's)
  if [[ -p "$PELORIN_WAYLAND_DIR/window" ]]; then
    tell_wayland_window "$1"
  else
    swaymsg output "${2:-HEADLESS-1}" bg "$1" solid_color >/dev/null
  fi
}

tell_wayland_window() {  # 'W H' | full | close | '#rrggbb': what the GNOME session's window does next
  echo "$1" >"$PELORIN_WAYLAND_DIR/window"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  set -euo pipefail
  : "${PELORIN_WAYLAND_DIR:?start_wayland has not run}"
  case "${1:-}" in
    set-colour) set_wayland_colour "${@:2}" ;;
    choose) choose_wayland_output "${2-}" ;;
    window) tell_wayland_window "$2" ;;
    stop-compositor) stop_pid_file "$PELORIN_WAYLAND_DIR/sway.pid" && stop_pid_file "$PELORIN_WAYLAND_DIR/gnome-shell.pid" ;;
    *) echo "usage: wayland.sh set-colour '#rrggbb' [output] | choose OUTPUT|'' | window 'W H'|full|close | stop-compositor" >&2
      exit 2 ;;
  esac
fi
