#!/usr/bin/env bash
# A second click on the download button mid-transfer cancels the session.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_setup cancel "$@"

blocks=400
start_xvfb
start_sim --delay-ms 20
image=$E2E_WORK/firmware.bin
write_image "$image" "$blocks" 0
start_app

choose_image "$image"
click "$DOWNLOAD_BTN_X" "$DOWNLOAD_BTN_Y"
poll 30 at_least_blocks 20 || e2e_fail "the transfer did not get going"
click "$DOWNLOAD_BTN_X" "$DOWNLOAD_BTN_Y"
expect_outcome "Download Cancel" 30

sent=$(count_lines '^host FE 42 ')
[ "$sent" -lt "$blocks" ] || e2e_fail "all $sent blocks went out despite the cancel"
has_end_frame && e2e_fail "an end frame followed the cancel"
log "cancelled after $sent of $blocks blocks"
log PASS
