#!/usr/bin/env bash
# The close button mid-transfer ends the program at once, with status 0,
# and the board sees no end frame.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_setup close_mid_transfer "$@"

blocks=400
start_slow_transfer "$blocks"
click "$CLOSE_BTN_X" "$CLOSE_BTN_Y"
started=$(now_ms)
# One reply time-out (about 1 s) at most, plus a busy machine's slack.
wait_exit "$APP_PID" 4
elapsed=$(($(now_ms) - started))
[ "$EXIT_STATUS" = 0 ] || e2e_fail "exit status $EXIT_STATUS"
log "exited with status 0 after $elapsed ms"

# Anything the program sent is logged by now or within moments.
poll 1 has_end_frame && e2e_fail "an end frame reached the board after the close"
sent=$(blocks_sent)
[ "$sent" -lt "$blocks" ] || e2e_fail "all $sent blocks went out despite the close"
log PASS
