#!/usr/bin/env bash
# The Pelorin app's CPU while it shares a 1920x1080 output through the ScreenCast portal on a
# headless sway (a session of scripts/lib/wayland.sh, the output HEADLESS-1), against the same share
# on X11 (the app scenario's stage, its own Xvfb, the monitor RIGHT) in the same run: idle (a still
# output) and busy (ffplay's moving test pattern filling the output at 60 pictures a second). The
# app is driven as the scenarios drive it, through its accessibility tree; on Wayland the portal's
# chooser answers what `wayland.sh choose` told it. Exits 1 when a goal is missed: on Wayland at
# most 1.3 times the app's CPU on X11, idle and busy.
set -euo pipefail
source "@PROJECT_SOURCE_DIR@/scripts/lib/app_stage.sh"
source "@PROJECT_SOURCE_DIR@/scripts/lib/wayland.sh"
source "@PROJECT_SOURCE_DIR@/bench/support/app_bench.sh"
trap stop_wayland EXIT
rounds=3 seconds=10 goal=1.3

fail() { echo "app wayland bench: $*" >&2; tail -n 20 "$log" >&2 || true; exit 1; }
# "x11" or "wayland ROUND" shares the output and waits for a record at the sender; "stop" stops it.
drive() {
  /usr/bin/python3 - "$@" <<'PY'
import os, sys
sys.path.insert(0, "@PROJECT_SOURCE_DIR@/tests/app")
from app_scenario import SHARE, STOP, ask, press, share, stream, wait
if sys.argv[1] == "x11":
    share("Écran : RIGHT")
elif sys.argv[1] == "wayland":
    from wayland_scenario import session, streams
    session("choose", "HEADLESS-1")
    ask(SHARE, "135790")
    wait("the app's stream running", streams)
    # A stream gets no picture of a still output: each round's colour is another.
    session("set-colour", ["#0000ff", "#ff0000"][int(sys.argv[2]) % 2], "HEADLESS-1")
    wait("a record at the sender", lambda: os.path.getsize(stream))
else:
    press(STOP)
PY
}
# The app's CPU over $seconds, in % of a core (the kernel counts in ticks of 10 ms: 0.1 % over 10 s).
app_cpu() {
  local ticks since
  ticks=$(cpu_ticks "$app") since=$(now_ns)
  sleep "$seconds"
  awk -v t=$(($(cpu_ticks "$app") - ticks)) -v hz="$(getconf CLK_TCK)" -v ns=$(($(now_ns) - since)) \
    'BEGIN { printf "%.2f", t / hz / (ns / 1e9) * 100 }'
}
recorded() { [[ $(stat -c %s "$work/stream.pln") -gt $1 ]]; }
# On a stage of its own, shares with the capture backend named (x11, portal); prints the app's CPU
# idle, then busy, and the records its sender received.
measure() (  # backend round
  exec 3>&1 1>&2
  player=
  trap 'kill $player 2>/dev/null || true; stage_stop' EXIT
  export PELORIN_CAPTURE=$1
  # The X11 share's stage is the one of the app scenario, outside the session.
  [[ $1 == portal ]] || unset PELORIN_WAYLAND_DIR WAYLAND_DISPLAY XDG_SESSION_TYPE DBUS_SESSION_BUS_ADDRESS SWAYSOCK
  stage_start "@CMAKE_BINARY_DIR@" || fail "the stage did not start"
  if [[ $1 == x11 ]]; then drive x11 && place=(-noborder -left 1920 -top 0); else drive wayland "$2" && place=(-fs); fi
  sleep 1  # past the share's start-up
  idle=$(app_cpu)
  SDL_VIDEODRIVER=${1/portal/wayland} ffplay -loglevel quiet -an -f lavfi -i testsrc2=size=1920x1080:rate=60 \
    "${place[@]}" </dev/null >/dev/null 2>&1 &
  player=$!
  # Its pictures reach the sender: some megabytes of them.
  wait_until 20 recorded $(($(stat -c %s "$work/stream.pln") + 4000000)) || fail "no moving picture is shared"
  busy=$(app_cpu)
  drive stop
  wait_until 20 log_reaches loopback_end 1 || fail "the sender did not end"
  echo "$idle $busy $(grep -o 'loopback_end records=[0-9]*' "$log" | cut -d= -f2)" >&3
)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : (a > 0 ? 99 : 1)) }'; }
report() {  # name ours baseline
  local r
  r=$(ratio "$2" "$3")
  echo "$1 ours=$2% baseline=$3% ratio=$r goal<=$goal $(awk -v r="$r" -v g="$goal" 'BEGIN { print (r <= g) ? "met" : "MISSED" }')"
  awk -v r="$r" -v g="$goal" 'BEGIN { exit !(r <= g) }'
}

start_wayland || fail "the Wayland session did not start"
# Rounds taking turns, so a load from elsewhere weighs on both alike; each figure is the median.
declare -A runs
for round in $(seq 1 "$rounds"); do
  for backend in x11 portal; do
    result=$(measure "$backend" "$round")
    read -r idle busy records <<<"$result"
    runs[$backend.idle]+=" $idle" runs[$backend.busy]+=" $busy" runs[$backend.records]+=" $records"
    echo "app_wayland_share round: $backend idle=$idle% busy=$busy% records=$records" >&2
  done
done
for figure in "${!runs[@]}"; do runs[$figure]=$(median ${runs[$figure]}); done
x11_idle=${runs[x11.idle]} x11_busy=${runs[x11.busy]} x11_records=${runs[x11.records]}
wayland_idle=${runs[portal.idle]} wayland_busy=${runs[portal.busy]} wayland_records=${runs[portal.records]}
# The compositor may show fewer pictures than the X server in the same time: the CPU per record says
# how much of a difference that is.
echo "app_wayland_share: records of a share portal=$wayland_records x11=$x11_records; busy cpu per record" \
  "ratio=$(ratio "$(awk -v c="$wayland_busy" -v x="$x11_records" 'BEGIN { print c * x }')" \
    "$(awk -v c="$x11_busy" -v w="$wayland_records" 'BEGIN { print c * w }')")" >&2
met=0
report app_wayland_idle_share_cpu "$wayland_idle" "$x11_idle" || met=1
report app_wayland_busy_share_cpu "$wayland_busy" "$x11_busy" || met=1
exit $met
