# Sourced by the scripts: a throw-away X display with two virtual monitors and a window manager.
# start_display sets DISPLAY and remembers the process ids; stop_display ends exactly those.

PELORIN_STARTED_PIDS=()

free_display_number() {
  local n=99
  while [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
  echo "$n"
}

start_display() {
  local n
  n=$(free_display_number)
  Xvfb ":$n" -screen 0 3840x1200x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  PELORIN_STARTED_PIDS+=($!)
  export DISPLAY=":$n"
  local i
  for i in $(seq 1 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done
  xdpyinfo >/dev/null 2>&1 || { echo "cannot start Xvfb on $DISPLAY" >&2; return 1; }
  xrandr --setmonitor LEFT 1920/508x1200/317+0+0 screen >/dev/null
  xrandr --setmonitor RIGHT 1920/508x1080/286+1920+0 none >/dev/null
  openbox --sm-disable >/dev/null 2>&1 &
  PELORIN_STARTED_PIDS+=($!)
  # The window manager is ready once it owns the EWMH check window.
  for i in $(seq 1 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done
}

stop_display() {
  local pid
  for pid in "${PELORIN_STARTED_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${PELORIN_STARTED_PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  PELORIN_STARTED_PIDS=()
}
