#!/usr/bin/env bash
# A job under wine: kavro-flash.exe --job runs a station on COM19 until the
# job's quantity, a sequence on a port without modem lines (wine's COM ports
# here are pseudo-terminals) fails that board before any frame, and wine's
# comm trace shows the Win32 calls the sequence made.
#   tests/windows/job.sh KAVRO_FLASH_EXE KAVRO_BOOTSIM KAVRO_FLASH
# with WINEPREFIX set to a prefix whose wine server runs; KAVRO_FLASH is the
# Linux flasher, which writes the job and checks the record.
set -euo pipefail
. "$(dirname "$0")/lib.sh" job "$@"

readonly PORT=COM19
link=$WINEPREFIX/dosdevices/${PORT,,}
job_cleanup() {
    local status=$?
    set +e
    stop_pid "${BOARD_PID:-}"
    rm -f "$link"
    registry "$DEVICE_MAP" "$(listed "$PORT" -)"
    (exit "$status")
    e2e_cleanup
}
trap job_cleanup EXIT

# A board behind COM19, in place of the one before.
board() {
    stop_pid "${BOARD_PID:-}"
    rm -f "$E2E_WORK/board.out"
    "$E2E_SIM" --log "$E2E_WORK/board.log" >"$E2E_WORK/board.out" 2>&1 &
    BOARD_PID=$!
    poll 10 first_line "$E2E_WORK/board.out" || e2e_fail "kavro-bootsim printed no pty path"
    ln -sfn "$(head -n 1 "$E2E_WORK/board.out")" "$link"
}

image=$E2E_WORK/firmware.bin
write_image "$image" 60 5
job=$E2E_WORK/line1.toml
# Written on Linux from a command line, as an engineer would; run on Windows
# with the station PC's own port.
"$linux_flash" --write-job "$job" --station -p /dev/null --record "$E2E_WORK/record.jsonl" \
    "$image" >/dev/null || e2e_fail "--write-job"
sed -i -e '/^ports = /d' -e '/^# The ports;/d' "$job"
printf 'quantity = 1\n' >>"$job"

board
registry "$DEVICE_MAP" "$(listed "$PORT")"
status=0
timeout 120 wine "$flash_exe" --job "Z:$job" -p "$PORT" >"$E2E_WORK/station.out" 2>&1 || status=$?
[ "$status" = 0 ] && grep -q "the job line1 has reached its quantity of 1 boards" \
    "$E2E_WORK/station.out" || e2e_fail "the job's station (status $status): $(cat "$E2E_WORK/station.out")"
grep -q '"job":"line1"' "$E2E_WORK/record.jsonl" || e2e_fail "the record: $(cat "$E2E_WORK/record.jsonl")"
"$linux_flash" --check-record "$E2E_WORK/record.jsonl" >"$E2E_WORK/check.log" 2>&1 &&
    grep -q "job line1: 1 boards, 1 succeeded, yield 100.0%, 0 of 1 left" "$E2E_WORK/check.log" ||
    e2e_fail "--check-record: $(cat "$E2E_WORK/check.log")"
log "a job's station on $PORT: one board, its quantity, then stopped as a success"

# The same job's sequence through the serial layer's Win32 calls: a
# pseudo-terminal has no modem lines, so the board fails before any frame.
board
status=0
WINEDEBUG=+comm timeout 60 wine "$flash_exe" -p "$PORT" --enter "dtr=1,rts=1 wait=10 rts=0" "Z:$image" \
    >"$E2E_WORK/enter.out" 2>"$E2E_WORK/enter.err" || status=$?
[ "$status" = 4 ] && grep -q "CanNOT Open Serial (entering the boot loader: step 1 'dtr=1,rts=1': the driver has no modem lines (GetCommModemStatus: error" \
    "$E2E_WORK/enter.out" || e2e_fail "a sequence on a pty (status $status): $(cat "$E2E_WORK/enter.out")"
! grep -q '^host' "$E2E_WORK/board.log" || e2e_fail "a frame went out: $(cat "$E2E_WORK/board.log")"
# GetCommModemStatus is wine's IOCTL_SERIAL_GET_MODEMSTATUS, its TIOCMGET
# refused by the pty; no line is set after it.
calls=$(grep -E 'IOCTL_SERIAL_(GET_MODEMSTATUS|SET_DTR|CLR_DTR|SET_RTS|CLR_RTS)|TIOCMGET' \
    "$E2E_WORK/enter.err" | sed 's/^[0-9a-f]*://')
[ "$(echo "$calls" | head -n 1 | grep -c 'IOCTL_SERIAL_GET_MODEMSTATUS')" = 1 ] &&
    [ "$(echo "$calls" | wc -l)" = 2 ] || e2e_fail "wine's comm trace of the sequence: $calls"
log "a sequence on a pty: $(grep -o 'CanNOT Open Serial (.*)' "$E2E_WORK/enter.out")"
log "wine's comm trace of it: $(echo "$calls" | tr '\n' ';')"
log PASS
