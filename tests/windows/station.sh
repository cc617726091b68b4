#!/usr/bin/env bash
# Station mode under wine: kavro-flash.exe --station on two slots, COM17 and
# COM18, with boards plugged in and out as Windows shows them. A slot is a
# dosdevices link to a path in a temporary folder; plugging a board makes
# that path a link to a simulated board's pty and adds a device-map value,
# and its adapter's USB serial number is a device key under Enum naming the
# port. Unplugging takes them away again. The soak serves the live page,
# whose /state and /metrics are read from Linux, and its record makes a
# yield report under wine.
#   tests/windows/station.sh KAVRO_FLASH_EXE KAVRO_BOOTSIM KAVRO_FLASH
# with WINEPREFIX set to a prefix whose wine server runs; KAVRO_FLASH is the
# Linux flasher, which checks the record.
set -euo pipefail
. "$(dirname "$0")/lib.sh" station "$@"

readonly SLOTS="COM17 COM18" SETTLE_MS=3000
declare -A BOARD_PID

slot_path() { echo "$E2E_WORK/slot-$1"; }
slot_link() { echo "$WINEPREFIX/dosdevices/${1,,}"; }
readonly ENUM='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum'
unmap_slots() {
    local slot
    for slot in $SLOTS; do
        rm -f "$(slot_link "$slot")"
        registry "$DEVICE_MAP" "$(listed "$slot" -)"
    done
    registry "[-$ENUM\\USB\\VID_0403&PID_6015]" "[-$ENUM\\USB\\VID_1A86&PID_7523]" \
        "[-$ENUM\\FTDIBUS\\VID_0403+PID_6001+KAVFT3A]"
}
station_cleanup() {
    local status=$? pid
    set +e
    for pid in "${BOARD_PID[@]}" "${STATION_PID:-}"; do
        stop_pid "$pid"
    done
    unmap_slots
    (exit "$status")
    e2e_cleanup
}
trap station_cleanup EXIT

# board SLOT [kavro-bootsim options]: a simulated board behind SLOT's path,
# in place of the one there before.
board() {
    local slot=$1 out=$E2E_WORK/board-$1
    shift
    stop_pid "${BOARD_PID[$slot]:-}"
    # What the new board writes, it writes in its own time.
    rm -f "$out.out" "$out.bin"
    "$E2E_SIM" --image-out "$out.bin" --log "$out.log" "$@" >"$out.out" 2>"$out.err" &
    BOARD_PID[$slot]=$!
    poll 10 first_line "$out.out" || e2e_fail "kavro-bootsim printed no pty path"
    ln -sfn "$(head -n 1 "$out.out")" "$(slot_path "$slot")"
}
# plug SLOT DEVICE_KEY [kavro-bootsim options]: a board in SLOT, whose
# adapter's device key under Enum ("" for none) names the port.
plug() {
    local slot=$1 key=$2
    shift 2
    board "$slot" "$@"
    if [ -n "$key" ]; then
        registry "[$ENUM\\$key\\Device Parameters]" "\"PortName\"=\"$slot\"" \
            "$DEVICE_MAP" "$(listed "$slot")"
    else
        registry "$DEVICE_MAP" "$(listed "$slot")"
    fi
}
# unplug SLOT DEVICE_KEY
unplug() {
    if [ -n "$2" ]; then
        registry "$DEVICE_MAP" "$(listed "$1" -)" "[-$ENUM\\$2]"
    else
        registry "$DEVICE_MAP" "$(listed "$1" -)"
    fi
    rm -f "$(slot_path "$1")"
    stop_pid "${BOARD_PID[$1]}"
}

# The station's events as they come: board N has ended when its event is in.
EVENTS=$E2E_WORK/events.jsonl
board_events() { grep -c '"event":"board"' "$EVENTS" 2>/dev/null || true; }
has_boards() { [ "$(board_events)" -ge "$1" ]; }
wait_boards() { poll 30 has_boards "$1" || e2e_fail "no $1 board events: $(cat "$EVENTS" "$E2E_WORK/station.err")"; }
frames() { grep -c "^host $2" "$E2E_WORK/board-$1.log" 2>/dev/null || true; }
at_least_frames() { [ "$(frames "$1" "FE 42 ")" -ge "$2" ]; }

image=$E2E_WORK/firmware.bin
write_image "$image" 300 5
record=$E2E_WORK/record.jsonl
for slot in $SLOTS; do
    ln -sfn "$(slot_path "$slot")" "$(slot_link "$slot")"
done

# Started before the station, so that it does not hold the station's output.
wineserver -p10 </dev/null >/dev/null 2>&1 || true
wine "$flash_exe" --station -p COM17 -p COM18 --settle "$SETTLE_MS" --json \
    --record "Z:$record" "Z:$image" >"$EVENTS" 2>"$E2E_WORK/station.err" &
STATION_PID=$!

# A good board and a silent one.
plug COM17 'USB\VID_0403&PID_6015\KAVUSB1'
# Windows makes up a name, with '&' in it, for a device without a serial number.
plug COM18 'USB\VID_1A86&PID_7523\5&2A3B4C&0&2' --never-answer
wait_boards 2
# A blip shorter than the settle time after a success: the same board.
registry "$DEVICE_MAP" "$(listed COM17 -)"
sleep 0.5
registry "$DEVICE_MAP" "$(listed COM17)"
sleep $((SETTLE_MS / 1000 + 1))
[ "$(frames COM17 'FE 01 4D 10 ')" = 1 ] || e2e_fail "the board in COM17 was flashed again after a blip"
log "a blip of 0.5 s: not flashed again"
# A board swapped in within the settle time, with another serial number (an
# FTDI one this time): a new board, told by its serial number alone.
unplug COM17 'USB\VID_0403&PID_6015\KAVUSB1'
sleep 0.3
plug COM17 'FTDIBUS\VID_0403+PID_6001+KAVFT3A\0000' --delay-ms 2
# A board that hangs up, once the silent one has gone for good.
unplug COM18 'USB\VID_1A86&PID_7523\5&2A3B4C&0&2'
sleep $((SETTLE_MS / 1000 + 1))
plug COM18 '' --hangup 20
wait_boards 4
# A slow one, interrupted while it is flashed; meanwhile a second station on
# the same record is refused.
unplug COM18 ''
sleep $((SETTLE_MS / 1000 + 1))
plug COM18 '' --delay-ms 25
poll 30 at_least_frames COM18 10 || e2e_fail "board 5 did not start"
status=0
wine "$flash_exe" --station -p COM9 --record "Z:$record" "Z:$image" >"$E2E_WORK/second.log" 2>&1 ||
    status=$?
[ "$status" = 2 ] && grep -q "cannot use the record .*: in use" "$E2E_WORK/second.log" ||
    e2e_fail "a second station on the record (status $status): $(cat "$E2E_WORK/second.log")"
# The lock is on a byte past the data: the record still reads.
wine "$flash_exe" --check-record "Z:$record" >"$E2E_WORK/check.log" 2>&1 ||
    e2e_fail "--check-record while the station holds the record: $(cat "$E2E_WORK/check.log")"
log "a second station on the same record: refused; --check-record reads it"
# Wine hands a SIGINT to the console's control handlers, as Ctrl-C.
kill -INT "$STATION_PID"
status=0
wait "$STATION_PID" || status=$?
STATION_PID=""
[ "$status" = 130 ] || e2e_fail "the station's status after Ctrl-C is $status: $(cat "$E2E_WORK/station.err")"

# Every board once, each with its adapter's serial number where it has one.
# The board that hangs up fails as wine's serial layer tells it.
line_of() { grep "\"board\":$1," "$record"; }
outcome_of() { line_of "$1" | sed 's/.*"outcome":"\([^"]*\)".*/\1/'; }
for expected in 1:COM17:'Download Success' 2:COM18:'Download TimeOut' 3:COM17:'Download Success' \
    4:COM18:'!Download Success' 5:COM18:'Download Cancel'; do
    IFS=: read -r n slot outcome <<<"$expected"
    line_of "$n" | grep -q "\"slot\":\"$slot\"" || e2e_fail "board $n not in $slot: $(cat "$record")"
    if [ "${outcome#!}" != "$outcome" ]; then
        [ "$(outcome_of "$n")" != "${outcome#!}" ] || e2e_fail "board $n: $(outcome_of "$n")"
    else
        [ "$(outcome_of "$n")" = "$outcome" ] || e2e_fail "board $n: $(outcome_of "$n"), not $outcome"
    fi
done
log "boards: $(for n in 1 2 3 4 5; do printf '%s, ' "$(outcome_of "$n")"; done)"
[ "$(wc -l <"$record")" = 5 ] || e2e_fail "the record has $(wc -l <"$record") lines, not 5"
! grep -q $'\r' "$record" || e2e_fail "the record holds a carriage return"
grep -q '"usb_serial":"KAVUSB1"' "$record" && grep -q '"usb_serial":"KAVFT3"' "$record" ||
    e2e_fail "the record lacks the adapters' serial numbers: $(cat "$record")"
line_of 2 | grep -q '"usb_serial":null' || e2e_fail "board 2 has a made-up serial number: $(line_of 2)"
"$linux_flash" --check-record "$record" >"$E2E_WORK/check.log" 2>&1 ||
    e2e_fail "--check-record: $(cat "$E2E_WORK/check.log")"
grep -q "5 lines, chain intact" "$E2E_WORK/check.log" || e2e_fail "--check-record: $(cat "$E2E_WORK/check.log")"
log "record: 5 lines, chain intact, checked on Linux"

# page_answers URL BOARDS: the page's /state holds both slots' objects and
# at least BOARDS boards ended; /metrics counts boards by slot.
page_answers() {
    curl -fsS --max-time 10 "$1/state" >"$E2E_WORK/state.json" ||
        e2e_fail "GET /state from the station under wine failed"
    python3 - "$E2E_WORK/state.json" "$2" <<'CHECK' || e2e_fail "/state: $(cat "$E2E_WORK/state.json")"
import json, sys
state = json.load(open(sys.argv[1]))
slots = {s["slot"]: s for s in state["slots"]}
assert sorted(slots) == ["COM17", "COM18"], slots
assert all(s["state"] in ("waiting", "flashing", "succeeded", "failed") for s in slots.values())
assert state["succeeded"] + state["failed"] >= int(sys.argv[2]), state
CHECK
    curl -fsS --max-time 10 "$1/metrics" >"$E2E_WORK/metrics.txt" ||
        e2e_fail "GET /metrics from the station under wine failed"
    grep -q '^kavro_boards_total{slot="COM17",' "$E2E_WORK/metrics.txt" ||
        e2e_fail "/metrics has no boards for COM17: $(cat "$E2E_WORK/metrics.txt")"
    log "the live page under wine: /state with both slots, /metrics, read from Linux"
}

# A shift, scaled down, on the same record, after a crash cut its last line
# short: boards in pairs through both slots, each pair plugged and unplugged
# at once; every third board is silent, every fifth hangs up.
soak_boards=${KAVRO_WINE_SOAK_BOARDS:-30}
unplug COM17 'FTDIBUS\VID_0403+PID_6001+KAVFT3A\0000'
unplug COM18 ''
EVENTS=$E2E_WORK/soak-events.jsonl
printf '{"board":6,"time":"20' >>"$record"
image_data "$image" "$E2E_WORK/expected.bin"
# Its live page, on a free port, read from Linux while the station runs.
page_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
page=http://127.0.0.1:$page_port
wine "$flash_exe" --station -p COM17 -p COM18 --settle 300 --count "$soak_boards" --json \
    --serve "127.0.0.1:$page_port" --record "Z:$record" "Z:$image" >"$EVENTS" 2>"$E2E_WORK/soak.err" &
STATION_PID=$!
served() { grep -qs "live page at $page/" "$E2E_WORK/soak.err"; }
poll 30 served || e2e_fail "soak: the station served no page: $(cat "$E2E_WORK/soak.err")"
good=2
for ((n = 2; n <= soak_boards; n += 2)); do
    declare -A fine=()
    for slot in COM17 COM18; do
        k=$((n - 1)) fault=()
        [ "$slot" = COM17 ] || k=$n
        if ((k % 3 == 0)); then
            fault=(--never-answer)
        elif ((k % 5 == 0)); then
            fault=(--hangup $((5 + k % 20)))
        else
            fine[$slot]=1 good=$((good + 1))
        fi
        board "$slot" "${fault[@]}"
    done
    registry "$DEVICE_MAP" "$(listed COM17)" "$(listed COM18)"
    wait_boards "$n"
    [ "$n" != 2 ] || page_answers "$page" 2
    registry "$DEVICE_MAP" "$(listed COM17 -)" "$(listed COM18 -)"
    for slot in COM17 COM18; do
        [ -z "${fine[$slot]:-}" ] ||
            poll 5 cmp -s "$E2E_WORK/board-$slot.bin" "$E2E_WORK/expected.bin" ||
            e2e_fail "soak: a good board in $slot did not get the image"
        rm -f "$(slot_path "$slot")"
        stop_pid "${BOARD_PID[$slot]}"
    done
    sleep 0.5 # longer than the settle time
done
status=0
wait "$STATION_PID" || status=$?
STATION_PID=""
[ "$status" = 1 ] || e2e_fail "soak: the station's status is $status: $(cat "$E2E_WORK/soak.err")"
grep -q "the record Z:$record ended in a line cut short (21 bytes); cut off" "$E2E_WORK/soak.err" ||
    e2e_fail "soak: no word of the line cut short: $(cat "$E2E_WORK/soak.err")"
[ "$(grep -c '"outcome":"Download Success"' "$record")" = "$good" ] ||
    e2e_fail "soak: $(grep -c '"outcome":"Download Success"' "$record") successes, not $good"
"$linux_flash" --check-record "$record" >"$E2E_WORK/check.log" 2>&1 ||
    e2e_fail "soak --check-record: $(cat "$E2E_WORK/check.log")"
# The five lines before, the checkpoint this start wrote for them, the boards.
grep -q "$((soak_boards + 6)) lines, chain intact" "$E2E_WORK/check.log" ||
    e2e_fail "soak --check-record: $(cat "$E2E_WORK/check.log")"
grep -q '"kind":"checkpoint"' "$record" || e2e_fail "soak: no checkpoint in the record"
log "soak: the line cut short cut off, a checkpoint, then $soak_boards boards, all recorded, chain intact"

# The yield report from the Windows station's record, made under wine.
wine "$flash_exe" --report --html "Z:$E2E_WORK/report.html" --csv "Z:$E2E_WORK/report.csv" \
    "Z:$record" >"$E2E_WORK/report.log" 2>&1 || e2e_fail "--report under wine: $(cat "$E2E_WORK/report.log")"
grep -q '<canvas' "$E2E_WORK/report.html" || e2e_fail "--report under wine: no chart in the HTML"
[ "$(($(wc -l <"$E2E_WORK/report.csv") - 1))" = "$((soak_boards + 5))" ] ||
    e2e_fail "--report under wine: $(wc -l <"$E2E_WORK/report.csv") CSV lines for $((soak_boards + 5)) boards"
log "--report under wine: HTML and CSV from the Windows station's record"

# And a record made on Linux checks on Windows.
"$E2E_SIM" --link "$E2E_WORK/linux-slot" >/dev/null 2>&1 &
BOARD_PID[linux]=$!
poll 10 test -e "$E2E_WORK/linux-slot" || e2e_fail "kavro-bootsim made no link"
"$linux_flash" --station --count 1 -p "$E2E_WORK/linux-slot" --record "$E2E_WORK/linux.jsonl" \
    "$image" >"$E2E_WORK/linux.log" 2>&1 || e2e_fail "the Linux station: $(cat "$E2E_WORK/linux.log")"
wine "$flash_exe" --check-record "Z:$E2E_WORK/linux.jsonl" >"$E2E_WORK/check.log" 2>&1 &&
    grep -q "1 lines, chain intact" "$E2E_WORK/check.log" ||
    e2e_fail "--check-record under wine: $(cat "$E2E_WORK/check.log")"
log "a record made on Linux: checked under wine"
log PASS
