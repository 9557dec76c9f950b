# Sourced by the scripts: a throw-away X display with two virtual monitors and a window manager.
# start_display sets DISPLAY and remembers the process ids; stop_display ends exactly those.
source "$(dirname "${BASH_SOURCE[0]}")/process.sh"

PELORIN_STARTED_PIDS=()

display_has_window_manager() {  # it owns the EWMH check window
  xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'
}

start_display() {
  # The server takes the first free number itself (its lock file is made atomically) and writes it
  # to the descriptor: two runs at once never race for one number.
  local numbers
  numbers=$(mktemp)
  Xvfb -displayfd 3 -screen 0 3840x1200x24 -nolisten tcp -noreset 3>"$numbers" >/dev/null 2>&1 &
  PELORIN_STARTED_PIDS+=($!)
  wait_until 10 test -s "$numbers" || { echo "cannot start Xvfb" >&2; rm -f "$numbers"; return 1; }
  export DISPLAY=":$(head -n1 "$numbers")"
  rm -f "$numbers"
  xrandr --setmonitor LEFT 1920/508x1200/317+0+0 screen >/dev/null
  xrandr --setmonitor RIGHT 1920/508x1080/286+1920+0 none >/dev/null
  openbox --sm-disable >/dev/null 2>&1 &
  PELORIN_STARTED_PIDS+=($!)
  wait_until 10 display_has_window_manager
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
