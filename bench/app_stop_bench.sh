#!/usr/bin/env bash
# The Pelorin app's stop on the app scenario's stage (its own Xvfb): from the press of "Arrêter"
# to the last byte its sender receives,
#  ours: while the stop of an earlier share still waits for a sender that will not leave (it
#        ignores the end of its input and SIGTERM, so it is killed 7 s later);
#  baseline: the same stop with no other stop pending.
# Exits 1 when the goal is missed: 200 ms at most with the earlier stop pending.
set -euo pipefail
source "@PROJECT_SOURCE_DIR@/scripts/lib/app_stage.sh"
trap stage_stop EXIT
rounds=3 goal_ms=200

fail() { echo "app stop bench: $*" >&2; tail -n 20 "$log" >&2 || true; exit 1; }
now_ns() { echo $((${EPOCHREALTIME/./} * 1000)); }
log_reaches() { [[ $(grep -cF -- "$1" "$log" 2>/dev/null || true) -ge $2 ]]; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
in_ms() { awk -v ns="$1" 'BEGIN { printf "%.1f", ns / 1e6 }'; }

stage_start "@CMAKE_BINARY_DIR@" || fail "the app did not start"
# Each share's sender keeps its own times; "deaf" outlives its input and ignores SIGTERM.
cat >"$work/sender" <<SENDER
#!/usr/bin/env bash
b=\$(cat "$work/behaviour")
export PELORIN_LOOPBACK_TIMES="$work/times-\$b"
[[ \$b == deaf ]] && trap '' TERM && { "$build/bin/loopback-sender" "\$@"; exec sleep 60; }
exec "$build/bin/loopback-sender" "\$@"
SENDER
stage_publish
sleep 2  # the receiver is found and the share buttons enable
launches=0 stops=0

# Types the code, then presses the widget n tabs after the code field (1 share, 2 portion, 3 stop).
press() {
  xdotool mousemove --window "$window" 260 125 click 1 key --clearmodifiers ctrl+a BackSpace
  [[ -z $1 ]] || xdotool type "$1"
  for _ in $(seq 1 "$2"); do xdotool key Tab; done
}
# Starts a display share whose sender behaves as told, and waits for its first record.
share() {
  rm -f "$work/times-$1" && echo "$1" >"$work/behaviour"
  launches=$((launches + 1))
  press 135790 1 && xdotool key space
  eventually log_reaches "status: Sélectionnez" "$launches" || fail "no picker"
  sleep 1 && xdotool key Return  # the first display, once listed
  eventually grep -qs first_record_ns "$work/times-$1" || fail "no record at the $1 sender"
}
# Presses "Arrêter"; sets `took` to the time from the press to the last record at the sender.
stop() {
  stops=$((stops + 1))
  press "" 3
  local pressed
  pressed=$(now_ns)
  xdotool key space
  eventually log_reaches "status: Partage arrêté." "$stops" || fail "no stop"
  [[ $1 == deaf ]] && return
  eventually grep -qs last_record_ns "$work/times-$1" || fail "the $1 sender's input did not end"
  took=$(($(sed -n 's/^last_record_ns=//p' "$work/times-$1") - pressed))
}

alone=() behind=()
for _ in $(seq 1 "$rounds"); do
  share relay && sleep 1 && stop relay && alone+=("$took")
  share deaf && stop deaf
  share relay && sleep 1 && stop relay && behind+=("$took")
  eventually log_reaches "sender_exit status=9" "${#behind[@]}" || fail "the deaf sender was not killed"
done
ours=$(median "${behind[@]}") baseline=$(median "${alone[@]}")
met=$( ((ours <= goal_ms * 1000000)) && echo met || echo MISSED)
echo "app_stop_last_byte ours=$(in_ms "$ours")ms baseline=$(in_ms "$baseline")ms" \
  "ratio=$(awk -v a="$ours" -v b="$baseline" 'BEGIN { printf "%.2f", a / b }') goal<=${goal_ms}ms $met"
[[ $met == met ]]
