#!/usr/bin/env bash
# The Debian package as a desktop user meets it, on the display in DISPLAY. check_package.sh DEB
# [--installed|--wayland]: lintian, then the package unpacked into a temporary root (never
# installed) and checked there; --installed checks the installed package's files in /usr instead;
# --wayland runs on a sway session of scripts/lib/on_wayland.sh (the portal, a native Wayland app).
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/process.sh"
deb=$1 mode=${2:-} root="" work=$(mktemp -d) window=""
trap 'rm -rf "$work"' EXIT
if [[ $mode != --installed ]]; then
  [[ $mode == --wayland ]] || lintian --fail-on error,warning "$deb"
  root=$work/root && dpkg-deb -x "$deb" "$root"
fi
version=$(dpkg-deb -f "$deb" Version) bin=$root/usr/bin share=$root/usr/share
fail() { echo "package check failed: $*" >&2; exit 1; }

if [[ $mode == --wayland ]]; then
  "$bin/pelorin-encoder" --request-permission | grep -q '^screen_capture_request allowed=true ' ||
    fail "the encoder's permission through the portal"
  # Without DISPLAY, as on a desktop without XWayland: nothing but the Wayland platform can show it.
  XDG_STATE_HOME=$work/state timeout 60 env -u DISPLAY "$bin/Pelorin" >"$work/app.out" 2>&1 &
  app=$!
  native_window() { swaymsg '[shell="xdg_shell" title="^Pelorin$"] focus'; }  # fails while none matches
  wait_until 30 native_window || { kill "$app"; fail "no native Wayland window of the app: $(cat "$work/app.out")"; }
  swaymsg '[title="^Pelorin$"] kill' >/dev/null  # the window's close, as its title bar's button
  wait "$app" || fail "the app ended with status $?: $(cat "$work/app.out")"
  echo "package checks passed on Wayland: $(basename "$deb")"
  exit 0
fi

[[ "$("$bin/pelorin-encoder" --help | head -n1)" == "pelorin-encoder $version" ]] || fail "encoder --help version"
[[ "$("$bin/pelorin-probe" --help | head -n1)" == "pelorin-probe $version" ]] || fail "probe --help version"
"$bin/pelorin-encoder" --list-sources >"$work/sources"
grep -q '"name":"LEFT"' "$work/sources" && grep -q '"name":"RIGHT"' "$work/sources" || fail "--list-sources: $(head -c 300 "$work/sources")"
PELORIN_VIDEO_ENCODER=software "$bin/pelorin-encoder" --source synthetic --width 320 --height 240 --duration 1 2>/dev/null |
  "$bin/pelorin-probe" >"$work/probe"
grep -Eq '^records=[1-9][0-9]+ .* decode_errors=0 ' "$work/probe" || fail "synthetic capture: $(cat "$work/probe")"
# The selection window comes from the module; with its parent gone (no input) it ends at once.
"$bin/pelorin-encoder" --select-portion </dev/null 2>"$work/portion" && fail "--select-portion without input succeeded"
grep -q 'reason=portion_parent_gone' "$work/portion" || fail "portion windows: $(cat "$work/portion")"

XDG_STATE_HOME=$work/state timeout 60 "$bin/Pelorin" >"$work/app.out" 2>&1 &
app=$!
# A search dies on an X error when another window vanishes during its walk: that is no answer yet.
app_window() { window=$(xdotool search --onlyvisible --name '^Pelorin$' | head -n1) && [[ -n $window ]]; }
wait_until 30 app_window && xdotool windowfocus --sync "$window" ||
  { kill "$app"; fail "the app's window did not show: $(cat "$work/app.out")"; }
# Ctrl+Q through XTest to the focused window: a key sent to the window itself can outlive it.
xdotool key ctrl+q
wait "$app" || fail "the app ended with status $?: $(cat "$work/app.out")"

entry=$share/applications/pelorin.desktop
desktop-file-validate "$entry"
[[ -x "$bin/$(sed -n 's/^Exec=//p' "$entry")" ]] || fail "the menu entry's Exec is not in /usr/bin"
icon=$(sed -n 's/^Icon=//p' "$entry") icons=$share/icons/hicolor
[[ -s "$icons/scalable/apps/$icon.svg" ]] || fail "no scalable icon $icon"
for size in 48 128; do
  file "$icons/${size}x$size/apps/$icon.png" | grep -q "PNG image data, $size x $size," || fail "no $size px icon"
done
metainfo=$share/metainfo/org.pelorin.Pelorin.metainfo.xml
appstreamcli validate --no-net "$metainfo"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo's release is not $version"
grep -q '<launchable type="desktop-id">pelorin.desktop</launchable>' "$metainfo" || fail "metainfo launchable"
for page in pelorin-encoder Pelorin pelorin-probe; do
  [[ "$(MANPATH=$share/man man -w "$page")" == "$share/man/man1/$page.1.gz" ]] || fail "man $page"
done
echo "package checks passed: $(basename "$deb"), ${2:-unpacked}"
