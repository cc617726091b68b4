#!/usr/bin/env bash
# A second click on the download button mid-transfer cancels the session.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_setup cancel "$@"

blocks=400
start_slow_transfer "$blocks"
click "$DOWNLOAD_BTN_X" "$DOWNLOAD_BTN_Y"
expect_outcome "Download Cancel" 30

sent=$(blocks_sent)
[ "$sent" -lt "$blocks" ] || e2e_fail "all $sent blocks went out despite the cancel"
has_end_frame && e2e_fail "an end frame followed the cancel"
log "cancelled after $sent of $blocks blocks"
log PASS
