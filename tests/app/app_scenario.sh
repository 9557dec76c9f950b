#!/usr/bin/env bash
# The Pelorin app end to end, driven through the keyboard and the mouse as a user would, on the
# stage of scripts/lib/app_stage.sh. Screenshots go to $OUT.
# usage: app_scenario.sh BUILD_DIR OUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd) out=$2
mkdir -p "$out" && rm -f "$out"/*.png
source "$here/scripts/lib/app_stage.sh"
trap stage_stop EXIT

fail() { echo "FAIL: $*" >&2; shot failure; tail -n 30 "$log" >&2 || true; exit 1; }
# x11grab reads the screen as shown; xwd paints the holes of shaped Qt windows black.
shot() { ffmpeg -loglevel error -y -f x11grab -i "$DISPLAY" -frames:v 1 "$out/$1.png" || true; }
# The colour at x y of the screen, or of the window given after -window_id, into `pixel`.
read_pixel() { read -r -a pixel < <(ffmpeg -loglevel error -f x11grab -draw_mouse 0 "${@:3}" -i "$DISPLAY" \
  -frames:v 1 -vf "crop=1:1:$1:$2" -f rawvideo -pix_fmt rgb24 - | od -An -tu1); }
# Waits for the log line, then takes the screenshot named second, if any.
expect_log() { eventually grep -qsF -- "$1" "$log" || fail "no log line: $1"; [[ -z "${2:-}" ]] || shot "$2"; }

stage_start "$1" || fail "the app did not start"
shot searching
stage_publish
sleep 1.5
shot receiver_found

# A bad code: the error, and no sender.
press_tab 12345 1
expect_log "status failure: Erreur : le code doit contenir exactement 6 chiffres." bad_code
[[ ! -e "$work/arguments" ]] || fail "a sender was launched with a bad code"

# Stops the share and checks its stream, whose first picture is centred on the colour named third:
# the centre colours of its first and last pictures go into `first` and `last`.
red() { (($1 > 200 && $2 < 60 && $3 < 60)); }
green() { (($1 < 60 && $2 > 200 && $3 < 60)); }
stop_and_probe() {
  press_tab "" 3
  expect_log "status: Partage arrêté."
  eventually test "$(grep -c 'sender_exit status=0' "$log")" -ge "$1" || fail "the sender did not stop"
  "$build/bin/pelorin-probe" --annexb "$work/stream.h264" "$work/stream.pln" >"$out/$2_probe.txt" ||
    fail "probe: $(cat "$out/$2_probe.txt")"
  ffmpeg -loglevel error -y -i "$work/stream.h264" -vf crop=100:100,scale=1:1 -f rawvideo -pix_fmt rgb24 "$work/centres.rgb"
  read -r -a first < <(head -c 3 "$work/centres.rgb" | od -An -tu1)
  read -r -a last < <(tail -c 3 "$work/centres.rgb" | od -An -tu1)
  echo "first=${first[*]} last=${last[*]}" >>"$out/$2_probe.txt"
  "$3" "${first[@]}" || fail "first picture not $3: ${first[*]}"
}
check_arguments() {
  mapfile -t arguments <"$work/arguments"
  local expected=(--frames-stdin --pairing-code "$1" --public-ip 127.0.0.1 --tls-ca "$work/share/pelorin/VantrelCA.pem"
    --width "$2" --height "$3" --fps 30 --duration 86400)
  # Other receivers on this machine's loopback may be listed too: ours must be among them.
  [[ "${arguments[*]:0:15}" == "${expected[*]}" && " ${arguments[*]:15} " == *" --destination 127.0.0.1:$port "* ]] ||
    fail "sender command line: ${arguments[*]}"
}

# A display share: the picker opens on the first display; Return chooses it.
press_tab 135790 1
expect_log "status: Sélectionnez l’écran ou la fenêtre à partager."
sleep 1
shot picker
xdotool key Return
eventually test -s "$work/stream.pln" || fail "no display stream at the sender"
sleep 1
shot display_sharing
check_arguments 135790 1920 1200
stop_and_probe 1 display red

# A portion share: Return confirms the selection window.
rm -f "$work/stream.pln"
press_tab 654321 2
expect_log "status: Ajustez la portion à partager."
sleep 0.5
shot portion_selection
read_pixel 700 500  # cut down to its edge and buttons without a compositing manager
red "${pixel[@]}" || fail "the selection window hides what it frames: ${pixel[*]}"
xdotool key Return
expect_log "status: Appairage en cours…"
eventually test -s "$work/stream.pln" || fail "no stream at the sender"
sleep 1.5
shot portion_sharing
check_arguments 654321 1920 1200

# Dragging the frame's top edge over the app's window moves the picture there.
drag="mousemove 960 418 mousedown 1"
for step in $(seq 1 10); do drag+=" mousemove $((960 + step * 60)) $((418 + step * 45)) sleep 0.05"; done
xdotool $drag mouseup 1
sleep 1.5
shot portion_moved

# The stream decodes: red first, the app's grey once the frame was moved.
stop_and_probe 2 portion red
((last[0] > 150 && last[1] > 150 && last[2] > 150)) || fail "moved picture not the app's window: ${last[*]}"
shot stopped

# The sender's "error:" line, then a non-zero exit.
share_portion() { echo "$1" >"$work/behaviour"; press_tab 654321 2; xdotool key Return; }
share_portion error
expect_log "status failure: Erreur : error: code refusé" sender_error
share_portion exit
expect_log "status failure: Erreur du sender (code 3)." sender_exit

# A window chosen in the picker with a double click: its green picture reaches the sender.
xlogo -geometry 640x400+200+200 -bg '#00ff00' -fg '#00ff00' 2>/dev/null &
logo=$!
stage_pids+=($logo)
eventually xdotool search --onlyvisible --class XLogo >/dev/null || fail "no window to share"
share_window() {
  rm -f "$work/stream.pln" && echo relay >"$work/behaviour"
  press_tab 135790 1
  picker=$(eventually xdotool search --onlyvisible --name '^Choisir le contenu' | head -n1) || fail "no picker"
  sleep 1  # listed; the window is the fourth entry, first of the second row, its application the third
  [[ -z "${1:-}" ]] || "$1"
  xdotool mousemove --window "$picker" "${2:-134}" "${3:-235}" click --repeat 2 1
  eventually test -s "$work/stream.pln" || fail "no window stream at the sender"
}
share_window
sleep 1
shot window_sharing
stop_and_probe 3 window green
green "${last[@]}" || fail "last window picture not green: ${last[*]}"

# The application chosen in the picker: its thumbnail and its stream show its window alone.
xdotool windowmove --sync "$(xdotool search --onlyvisible --class XLogo | head -n1)" 660 420
app_thumbnail() { sleep 1 && read_pixel 626 78 -window_id "$picker" && green "${pixel[@]}" || fail "thumbnail ${pixel[*]}"; }
share_window app_thumbnail 626 78
stop_and_probe 4 application green

# A share stopped while an earlier stop still waits for its sender keeps its stream until its own
# stop runs: the window closing then ends that stream, and nothing may act on the stopped share.
rm -f "$work/stream.pln"
share_portion linger
eventually test -s "$work/stream.pln" || fail "no stream of the lingering sender"
press_tab "" 3
share_window
press_tab "" 3
kill "$logo"
expect_log "share_stream_stopped current=false"
[[ $(grep -E '^\S+ status' "$log" | tail -n1) == *" status: Partage arrêté." ]] || fail "the stopped share's end showed"

# Quitting while sharing waits for the stop sequence.
rm -f "$work/stream.pln"
share_portion relay
eventually test -s "$work/stream.pln" || fail "no second stream"
xdotool windowactivate --sync "$window" key ctrl+q
expect_log "status: Arrêt du partage…" quitting
ended() { ! running "$app"; }
eventually ended || { gdb -batch -p "$app" -ex "thread apply all bt" >"$out/hang.txt" 2>&1 || true; fail "the app did not end"; }
wait "$app" || fail "the app ended with status $?"
echo "PASS"
