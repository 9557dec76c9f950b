#!/usr/bin/env bash
# Runs its arguments on a fresh headless Wayland session of wayland.sh (without the caller's X
# display), ended afterwards whatever happened; exits 3 when the session cannot start.
source "$(dirname "${BASH_SOURCE[0]}")/wayland.sh"
trap stop_wayland EXIT
unset DISPLAY
start_wayland || exit 3
"$@"
