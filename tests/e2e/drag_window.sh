#!/usr/bin/env bash
# Dragging the background with the left button moves the window by the
# pointer's travel; with the right button it stays put.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_setup drag_window "$@"

start_xvfb
start_app

# drag BUTTON DX DY: press on the background, travel in steps, release.
drag() {
    local button=$1 dx=$2 dy=$3 _
    xdotool mousemove --window "$WID" "$BACKGROUND_X" "$BACKGROUND_Y" mousedown "$button"
    for _ in 1 2 3 4 5; do
        xdotool mousemove_relative -- $((dx / 5)) $((dy / 5))
    done
    xdotool mouseup "$button"
}

moved_to() { [ "$(window_position)" = "$1" ]; }

read -r x0 y0 <<<"$(window_position)"
drag 1 150 100
poll 5 moved_to "$((x0 + 150)) $((y0 + 100))" ||
    e2e_fail "after a left drag by 150,100 from $x0,$y0 the window is at $(window_position)"

drag 3 100 50
# A drag that would move the window does so within moments; give it time.
poll 1 moved_to "$((x0 + 250)) $((y0 + 150))" && e2e_fail "a right-button drag moved the window"
moved_to "$((x0 + 150)) $((y0 + 100))" || e2e_fail "a right-button drag moved the window to $(window_position)"
log PASS
