# Sourced by the scripts (or run as `avahi.sh start-daemon|stop-daemon` by tests that restart the
# daemon): a private D-Bus system bus and an avahi-daemon that publishes and browses on the
# loopback interface only. start_avahi exports DBUS_SYSTEM_BUS_ADDRESS and PELORIN_AVAHI_DIR (which
# holds the configuration and the process ids); stop_avahi ends exactly the processes it started.
source "$(dirname "${BASH_SOURCE[0]}")/process.sh"

avahi_bus_ready() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId >/dev/null 2>&1
}

avahi_daemon_ready() {
  # State 2 is AVAHI_SERVER_RUNNING: the host name is established and services can be browsed.
  dbus-send --system --print-reply --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState \
    2>/dev/null | grep -q 'int32 2'
}

start_avahi_daemon() {
  # avahi-daemon keeps its pid file at a fixed place: in a mount namespace of its own, with a private
  # /run, it starts beside a system daemon or another test run's. It insists on running as root: any
  # other user is root in a user namespace of its own, where the daemon's user must be root too (it
  # hands its runtime folder to that user). exec keeps $! the daemon.
  local unshare=(unshare --mount --propagation private) own_user=:
  if [[ $(id -u) -ne 0 ]]; then
    unshare=(unshare --user --map-root-user --mount --propagation private)
    own_user='sed "s/^avahi:x:[0-9]*:[0-9]*:/avahi:x:0:0:/" /etc/passwd >"$1/passwd" &&
      sed "s/^avahi:x:[0-9]*:/avahi:x:0:/" /etc/group >"$1/group" &&
      mount --bind "$1/passwd" /etc/passwd && mount --bind "$1/group" /etc/group'
  fi
  "${unshare[@]}" sh -c "$own_user"' &&
    mount -t tmpfs tmpfs /run && mkdir /run/avahi-daemon &&
    exec avahi-daemon -f "$1/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits' sh "$PELORIN_AVAHI_DIR" \
    >"$PELORIN_AVAHI_DIR/daemon.log" 2>&1 </dev/null &
  echo $! >"$PELORIN_AVAHI_DIR/daemon.pid"
  wait_until 10 avahi_daemon_ready
}

stop_avahi_daemon() {
  stop_pid_file "$PELORIN_AVAHI_DIR/daemon.pid"
}

start_avahi() {
  PELORIN_AVAHI_DIR=$(mktemp -d)
  export PELORIN_AVAHI_DIR
  cat >"$PELORIN_AVAHI_DIR/avahi-daemon.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=yes
allow-interfaces=lo
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
  # A bus of its own: the machine's system.conf would switch to a user that only root can become. It
  # admits anonymous clients, as a daemon in a user namespace cannot prove the uid it believes it has.
  cat >"$PELORIN_AVAHI_DIR/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$PELORIN_AVAHI_DIR/sysbus</listen>
  <auth>EXTERNAL</auth>
  <auth>ANONYMOUS</auth>
  <allow_anonymous/>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  dbus-daemon --config-file="$PELORIN_AVAHI_DIR/bus.conf" --nofork --nopidfile >/dev/null 2>&1 </dev/null &
  echo $! >"$PELORIN_AVAHI_DIR/bus.pid"
  export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$PELORIN_AVAHI_DIR/sysbus"
  wait_until 10 avahi_bus_ready
  start_avahi_daemon
}

stop_avahi() {
  [[ -n "${PELORIN_AVAHI_DIR:-}" && -d "$PELORIN_AVAHI_DIR" ]] || return 0
  stop_avahi_daemon
  stop_pid_file "$PELORIN_AVAHI_DIR/bus.pid"
  rm -rf "$PELORIN_AVAHI_DIR"
  unset PELORIN_AVAHI_DIR DBUS_SYSTEM_BUS_ADDRESS
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  set -euo pipefail
  : "${PELORIN_AVAHI_DIR:?start_avahi has not run}"
  case "${1:-}" in
    start-daemon) start_avahi_daemon ;;
    stop-daemon) stop_avahi_daemon ;;
    *) echo "usage: avahi.sh start-daemon|stop-daemon" >&2; exit 2 ;;
  esac
fi
