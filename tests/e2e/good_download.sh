#!/usr/bin/env bash
# A whole download: the board ends up with the image's data blocks.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_setup good_download "$@"

start_xvfb
# shellcheck disable=SC2119 # the board with its default behaviour
start_sim
image=$E2E_WORK/firmware.bin
write_image "$image" 300 17
image_data "$image" "$E2E_WORK/expected.bin"
start_app

choose_image "$image"
click "$DOWNLOAD_BTN_X" "$DOWNLOAD_BTN_Y"
expect_outcome "Download Success" 60

# The host does not wait for the end frame, so the board may write its copy
# a moment after the outcome shows.
poll 10 has_end_frame || e2e_fail "no end frame reached the board"
poll 5 test -s "$E2E_BOARD" || e2e_fail "the board kept no copy"
cmp "$E2E_BOARD" "$E2E_WORK/expected.bin" || e2e_fail "the board's copy differs from the image's data"
log "board copy matches the image's $(($(stat -c %s "$E2E_WORK/expected.bin") / 64)) data blocks"

click "$CLOSE_BTN_X" "$CLOSE_BTN_Y"
wait_exit "$APP_PID" 5
[ "$EXIT_STATUS" = 0 ] || e2e_fail "exit status $EXIT_STATUS after the close button"
log PASS
