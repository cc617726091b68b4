#!/usr/bin/env bash
# The live page and the yield report in a real browser (Debian's chromium,
# headless), against a station with simulated boards plugged into its slots:
# the tiles follow the boards, /metrics agrees with the record, hostile
# clients get errors while boards go on succeeding, and the report opens
# offline with every chart drawn and the record's counts.
#   tests/page/live_page.sh KAVRO_FLASH KAVRO_BOOTSIM [SCREENSHOT_DIR]
# With SCREENSHOT_DIR, the page at 1920x1080 and 1280x800 and the report
# are saved there (station-page.png, station-page-1280.png, yield-report.png).
set -euo pipefail
[ $# -ge 2 ] || {
    echo "usage: $0 KAVRO_FLASH KAVRO_BOOTSIM [SCREENSHOT_DIR]" >&2
    exit 2
}
here=$(cd "$(dirname "$0")" && pwd)
shots=${3:-}
. "$here/../e2e/lib.sh"
e2e_setup live_page "$1" "$2"
command -v chromium >/dev/null || {
    echo "chromium is not installed: skipped"
    exit 77
}

declare -A BOARD_PID
STATION_PID="" WATCH_PID=""
page_cleanup() {
    local status=$? pid
    set +e
    for pid in "${BOARD_PID[@]}" "$STATION_PID" "$WATCH_PID"; do
        stop_pid "$pid"
    done
    (exit "$status")
    e2e_cleanup
}
trap page_cleanup EXIT

slot() { echo "$E2E_WORK/slot-$1"; }
# plug NAME [kavro-bootsim options]: a simulated board in slot NAME.
plug() {
    local name=$1
    shift
    "$E2E_SIM" --link "$(slot "$name")" "$@" >"$E2E_WORK/board-$name.out" 2>&1 &
    BOARD_PID[$name]=$!
}
unplug() {
    stop_pid "${BOARD_PID[$1]}"
    unset "BOARD_PID[$1]"
}

chrome() {
    local profile
    profile=$(mktemp -d "$E2E_WORK/chrome.XXXXXX")
    timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --hide-scrollbars --user-data-dir="$profile" "$@" 2>>"$E2E_WORK/chrome.log"
}
page_dom() { chrome --virtual-time-budget=1500 --dump-dom "$URL" >"$E2E_WORK/page.html"; }
# slot_is NAME STATE [TEXT]: the page shows slot NAME's tile in STATE (and TEXT on the page).
slot_is() {
    page_dom || return 1
    grep -q "data-state=\"$2\" data-slot=\"$(slot "$1")\"" "$E2E_WORK/page.html" &&
        { [ -z "${3:-}" ] || grep -q "$3" "$E2E_WORK/page.html"; }
}
wait_slot() { poll "$3" slot_is "$1" "$2" "${4:-}" || e2e_fail "slot $1 never showed $2 ${4:-}"; }
state() { curl -fsS --max-time 10 "${URL}state"; }
none_flashing() { state | grep -vq '"state":"flashing"'; }
record_boards() { grep -vcE '"kind":"(reservation|checkpoint)"' "$E2E_WORK/record.jsonl" 2>/dev/null || true; }

image=$E2E_WORK/firmware.bin
write_image "$image" 1500 0
"$E2E_APP" --station -p "$(slot a)" -p "$(slot b)" -p "$(slot c)" -p "$(slot d)" \
    --settle 300 --record "$E2E_WORK/record.jsonl" --stamp 0x80:4 --stamp-start 1000 \
    --serve 0 "$image" >"$E2E_WORK/station.out" 2>"$E2E_WORK/app.log" &
STATION_PID=$!
served() { grep -qs "live page at http://" "$E2E_WORK/app.log"; }
poll 20 served || e2e_fail "the station served no page"
URL=$(grep -o 'http://[^ ,]*/' "$E2E_WORK/app.log" | head -n 1)
log "page at $URL"

wait_slot a waiting 30
plug a --delay-ms 8
wait_slot a flashing 300
wait_slot a succeeded 300 "Unplug it"
log "slot a: waiting, flashing, succeeded"
plug b --bad-check 20
wait_slot b failed 300 "the board refused the image"
log "slot b: failed, with its reason in words"

if [ -n "$shots" ]; then
    plug c --delay-ms 20
    wait_slot c flashing 300
    mkdir -p "$shots"
    chrome --window-size=1920,1080 --virtual-time-budget=1500 \
        --screenshot="$shots/station-page.png" "$URL" >/dev/null
    chrome --window-size=1280,800 --virtual-time-budget=1500 \
        --screenshot="$shots/station-page-1280.png" "$URL" >/dev/null
fi

# Boards in slot d, one after another, while hostile clients do their worst.
"$here/pagecheck.py" hostile "$URL" >"$E2E_WORK/hostile.log" 2>&1 &
hostile_pid=$!
before=$(record_boards)
for n in 1 2 3; do
    plug d
    more_boards() { [ "$(record_boards)" -gt "$before" ]; }
    poll 120 more_boards || e2e_fail "board $n in slot d did not end"
    before=$(record_boards)
    unplug d
    sleep 0.5
done
wait "$hostile_pid" || {
    cat "$E2E_WORK/hostile.log" >&2
    e2e_fail "the hostile clients' table failed"
}
cat "$E2E_WORK/hostile.log"
failures=$(grep '"slot":"[^"]*slot-d"' "$E2E_WORK/record.jsonl" | grep -vc '"kind":"reservation"\|Download Success' || true)
[ "$failures" = 0 ] || e2e_fail "$failures board(s) in slot d failed beside the hostile clients"

poll 120 none_flashing || e2e_fail "a slot kept flashing"
"$E2E_APP" --check-record "$E2E_WORK/record.jsonl" --json >"$E2E_WORK/check.json"
"$here/pagecheck.py" metrics "$URL" "$E2E_WORK/check.json" || e2e_fail "metrics disagree"

# One page left open while the station stops and another starts on its
# port, on the same record: it says so, then follows the new station, whose
# lot starts from the boards the record holds.
"$here/pagecheck.py" watch "$URL" "$E2E_WORK/watched.txt" 2>"$E2E_WORK/watch.log" &
WATCH_PID=$!
page_shows() { grep -qF "$1" "$E2E_WORK/watched.txt" 2>/dev/null; }
poll 60 page_shows "$(slot a)" || e2e_fail "the watched page never showed the station"
stop_pid "$STATION_PID"
poll 30 page_shows "NO CONNECTION TO THE STATION" || e2e_fail "the page never said the station is gone"
port=${URL##*:}
"$E2E_APP" --station -p "$(slot e)" --serve "127.0.0.1:${port%/}" \
    --record "$E2E_WORK/record.jsonl" --stamp 0x80:4 "$image" >"$E2E_WORK/restarted.out" 2>&1 &
STATION_PID=$!
poll 60 page_shows "$(slot e)" || e2e_fail "the page never showed the restarted station"
page_shows "NO CONNECTION TO THE STATION" && e2e_fail "the page still says the station is gone"
lot=$(state | python3 -c 'import json, sys; l = json.load(sys.stdin)["lot"]; print(l["succeeded"] + l["failed"])')
[ "$lot" = "$(record_boards)" ] || e2e_fail "the restarted station's lot is $lot boards, the record holds $(record_boards)"
stop_pid "$WATCH_PID"
stop_pid "$STATION_PID"
log "a page left open: no connection while the station was down, then the new station"

# The report, opened from a file with the network shut.
"$E2E_APP" --report --html "$E2E_WORK/report.html" --csv "$E2E_WORK/report.csv" \
    "$E2E_WORK/record.jsonl" || e2e_fail "--report failed"
rows=$(($(wc -l <"$E2E_WORK/report.csv") - 1))
[ "$rows" = "$(record_boards)" ] || e2e_fail "the CSV has $rows rows for $(record_boards) boards"
# A copy that marks, once the charts are drawn, how many canvases hold pixels.
{
    cat "$E2E_WORK/report.html"
    cat <<'SCRIPT'
<script>
var canvases = Array.from(document.querySelectorAll('canvas'));
var drawn = canvases.filter(function (c) {
  var pixels = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  for (var n = 3; n < pixels.length; n += 4) if (pixels[n]) return true;
  return false;
});
document.body.dataset.canvases = drawn.length + ' of ' + canvases.length;
</script>
SCRIPT
} >"$E2E_WORK/report-checked.html"
offline=(--host-resolver-rules="MAP * ~NOTFOUND" --proxy-server="127.0.0.1:9")
chrome "${offline[@]}" --virtual-time-budget=3000 --dump-dom \
    "file://$E2E_WORK/report-checked.html" >"$E2E_WORK/report-dom.html"
"$here/pagecheck.py" report "$E2E_WORK/report-dom.html" "$E2E_WORK/check.json" ||
    e2e_fail "the report disagrees with the record"
if [ -n "$shots" ]; then
    chrome "${offline[@]}" --window-size=1400,1800 --virtual-time-budget=3000 \
        --screenshot="$shots/yield-report.png" "file://$E2E_WORK/report.html" >/dev/null
fi
log "PASS"
