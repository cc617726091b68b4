#!/usr/bin/env bash
# A board that never answers: the session gives up with a time-out.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_setup board_timeout "$@"

start_xvfb
start_sim --never-answer
image=$E2E_WORK/firmware.bin
write_image "$image" 20 0
start_app

choose_image "$image"
click "$DOWNLOAD_BTN_X" "$DOWNLOAD_BTN_Y"
expect_outcome "Download TimeOut" 30
has_end_frame && e2e_fail "an end frame was sent to a silent board"
log PASS
