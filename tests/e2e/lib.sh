# shellcheck shell=bash disable=SC2034 # constants and results are for the callers
# Shared helpers for driving kavro-downloader in a real X server with
# xdotool, against kavro-bootsim on a pseudo-terminal. Sourced by the
# end-to-end tests and by scripts/demo.
#
# Caller sets up with e2e_setup NAME DOWNLOADER BOOTSIM. These may be set
# beforehand to override the defaults:
#   E2E_WORK       folder for logs, the image and the board's copy
#                  (default: a temporary folder, removed at exit)
#   E2E_ARTEFACTS  where failure screenshots and logs go
#                  (default: e2e-artefacts beside the downloader)
#   E2E_APP_CLASS  the program's X window class, as a pattern
#                  (default: ^kavro-downloader$)

# The same behaviour whatever locale the caller runs in.
export LC_ALL=C.UTF-8

# Window coordinates of the widgets a person uses.
readonly OPEN_FILE_BTN_X=215 OPEN_FILE_BTN_Y=161
readonly DOWNLOAD_BTN_X=545 DOWNLOAD_BTN_Y=161
readonly CLOSE_BTN_X=585 CLOSE_BTN_Y=25
readonly BACKGROUND_X=300 BACKGROUND_Y=60
readonly MAIN_TITLE="Kavro Firmware Downloader"
readonly END_FRAME="FE 00 4D 03 4E"

XVFB_PID="" SIM_PID="" APP_PID="" WID="" BOX=""

e2e_setup() {
    E2E_NAME=$1
    E2E_APP=$(readlink -f "$2")
    E2E_SIM=$(readlink -f "$3")
    if [ -z "${E2E_WORK:-}" ]; then
        E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/kavro-e2e.XXXXXX")
        E2E_OWN_WORK=1
    fi
    mkdir -p "$E2E_WORK"
    : "${E2E_ARTEFACTS:=$(dirname "$E2E_APP")/e2e-artefacts}"
    E2E_BOARD=$E2E_WORK/board.bin
    E2E_SIMLOG=$E2E_WORK/sim.log
    trap e2e_cleanup EXIT
}

log() { echo "[$E2E_NAME] $*"; }

# poll SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds;
# fails once SECONDS have passed.
poll() {
    local deadline=$(($(now_ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(now_ms)" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

# EPOCHREALTIME is seconds and six decimals, the separator as the locale
# writes it ("." or ","): dropping whatever is not a digit gives microseconds.
now_ms() { echo $((${EPOCHREALTIME//[!0-9]/} / 1000)); }

screenshot() {
    mkdir -p "$(dirname "$1")"
    import -display "$DISPLAY" -window root "$1"
}

e2e_fail() {
    echo "[$E2E_NAME] FAIL: $*" >&2
    mkdir -p "$E2E_ARTEFACTS"
    local shot=$E2E_ARTEFACTS/$E2E_NAME.png
    if [ -n "${DISPLAY:-}" ] && screenshot "$shot" 2>/dev/null; then
        echo "[$E2E_NAME] screenshot: $shot" >&2
    fi
    local f
    for f in app.log sim.log sim.err; do
        [ -f "$E2E_WORK/$f" ] && cp "$E2E_WORK/$f" "$E2E_ARTEFACTS/$E2E_NAME.$f"
    done
    echo "[$E2E_NAME] logs: $E2E_ARTEFACTS/$E2E_NAME.*.log" >&2
    exit 1
}

alive() { kill -0 "$1" 2>/dev/null; }
gone() { ! kill -0 "$1" 2>/dev/null; }

stop_pid() {
    local pid=$1
    [ -n "$pid" ] && alive "$pid" || return 0
    kill "$pid" 2>/dev/null || true
    poll 3 gone "$pid" || kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

e2e_cleanup() {
    local status=$?
    stop_pid "$APP_PID"
    stop_pid "$SIM_PID"
    stop_pid "$XVFB_PID"
    if [ "${E2E_OWN_WORK:-0}" = 1 ]; then
        rm -rf "$E2E_WORK"
    fi
    exit "$status"
}

display_up() { xdpyinfo -display ":$1" >/dev/null 2>&1; }

# Starts Xvfb on the first free display number and exports DISPLAY.
start_xvfb() {
    local n
    for n in $(seq 90 199); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        # -noreset: by default the server resets when its last client leaves,
        # refusing connections for a moment, and the readiness probe below
        # is such a client.
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >"$E2E_WORK/xvfb.log" 2>&1 &
        XVFB_PID=$!
        # Another server may take the number first; then try the next.
        if poll 10 display_up "$n" && alive "$XVFB_PID"; then
            export DISPLAY=":$n"
            unset WAYLAND_DISPLAY
            return 0
        fi
        stop_pid "$XVFB_PID"
        XVFB_PID=""
    done
    echo "no free X display" >&2
    return 1
}

first_line() { [ -s "$1" ] && [ -n "$(head -n 1 "$1")" ]; }

# start_sim [kavro-bootsim options]: sets SIM_PTY.
start_sim() {
    # The last board's path must not pass for this one's before the new
    # board's output replaces it.
    rm -f "$E2E_BOARD" "$E2E_SIMLOG" "$E2E_WORK/sim.out"
    "$E2E_SIM" --image-out "$E2E_BOARD" --log "$E2E_SIMLOG" "$@" \
        >"$E2E_WORK/sim.out" 2>"$E2E_WORK/sim.err" &
    SIM_PID=$!
    poll 10 first_line "$E2E_WORK/sim.out" || e2e_fail "kavro-bootsim printed no pty path"
    SIM_PTY=$(head -n 1 "$E2E_WORK/sim.out")
}

# write_image PATH BLOCKS TAIL: a 64-byte header starting with the magic,
# then BLOCKS blocks of 64 bytes and TAIL further bytes.
write_image() {
    {
        printf 'Zentrak'
        head -c 57 /dev/zero | tr '\0' '\021'
        head -c $(($2 * 64 + $3)) /dev/urandom
    } >"$1"
}

# image_data IMAGE OUT: the data the board should end up with, the whole
# blocks after the header.
image_data() {
    local size blocks
    size=$(stat -c %s "$1")
    blocks=$(((size - 64) / 64))
    tail -c +65 "$1" | head -c $((blocks * 64)) >"$2"
}

main_window() {
    WID=$(xdotool search --onlyvisible --name "$MAIN_TITLE" 2>/dev/null | head -n 1)
    [ -n "$WID" ]
}

# Starts the downloader with the simulator as its first listed port and
# waits for its window: sets APP_PID and WID.
start_app() {
    env QT_QPA_PLATFORM=xcb KAVRO_EXTRA_PORTS="${SIM_PTY:-}" "$E2E_APP" >"$E2E_WORK/app.log" 2>&1 &
    APP_PID=$!
    poll 20 main_window || e2e_fail "main window did not appear"
}

# click X Y [BUTTON]: in window coordinates of the main window.
click() {
    xdotool mousemove --window "$WID" "$1" "$2" click "${3:-1}"
}

window_position() {
    local X Y WINDOW SCREEN WIDTH HEIGHT
    eval "$(xdotool getwindowgeometry --shell "$WID")"
    echo "$X $Y"
}

file_dialog() {
    DIALOG=$(xdotool search --onlyvisible --name '^Open File$' 2>/dev/null | head -n 1)
    [ -n "$DIALOG" ]
}
no_file_dialog() { ! file_dialog; }

# Nothing of the program's on screen but its main window.
only_main_window() {
    local w
    for w in $(xdotool search --onlyvisible --classname '^kavro-downloader$' 2>/dev/null); do
        [ "$w" = "$WID" ] || return 1
    done
}

# Opens the file dialog with the open button and types the path into it.
choose_image() {
    click "$OPEN_FILE_BTN_X" "$OPEN_FILE_BTN_Y"
    poll 10 file_dialog || e2e_fail "file dialog did not open"
    local attempt
    for attempt in 1 2 3; do
        xdotool windowfocus --sync "$DIALOG"
        xdotool key ctrl+a
        xdotool type --delay 10 "$1"
        xdotool key Return
        # A completion popup may take the first Return.
        if ! poll 3 no_file_dialog; then
            xdotool windowfocus --sync "$DIALOG"
            xdotool key Return
        fi
        # A completion that lagged behind the typing can turn the Return
        # into "open the folder", which leaves the dialog there with an
        # empty name: then the path is typed again.
        poll 5 no_file_dialog && break
    done
    no_file_dialog || e2e_fail "file dialog did not close"
    # The completion's popup holds the pointer until it is gone (under Qt 6
    # a moment after the dialog), and a click before then is lost.
    poll 5 only_main_window || e2e_fail "a window of the program stayed open after the file dialog"
}

# The outcome box: a visible window of the program other than the main
# window and the file dialog.
message_box() {
    local w
    BOX=""
    for w in $(xdotool search --onlyvisible --classname "${E2E_APP_CLASS:-^kavro-downloader\$}" 2>/dev/null); do
        [ "$w" = "$WID" ] && continue
        [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "Open File" ] && continue
        BOX=$w
        return 0
    done
    return 1
}
no_message_box() { ! message_box; }

wait_message_box() {
    poll "$1" message_box || e2e_fail "no message box within $1 s"
}

# The box's text: its label is selectable by mouse, so a triple click puts
# the line into the primary selection.
message_text() {
    local WIDTH HEIGHT X Y WINDOW SCREEN y text
    eval "$(xdotool getwindowgeometry --shell "$BOX")"
    for y in 19 15 23 12 27; do
        xdotool mousemove --window "$BOX" $((WIDTH / 2)) "$y" click --repeat 3 --delay 60 1
        text=$(timeout 3 xclip -o -selection primary 2>/dev/null || true)
        if [ -n "$text" ]; then
            echo "$text"
            return 0
        fi
    done
    return 1
}

dismiss_message_box() {
    xdotool windowfocus --sync "$BOX"
    xdotool key Return
    poll 5 no_message_box || e2e_fail "message box did not close"
}

# expect_outcome TEXT SECONDS: waits for the box, checks and dismisses it.
expect_outcome() {
    wait_message_box "$2"
    local text
    text=$(message_text) || e2e_fail "could not read the message box"
    [ "$text" = "$1" ] || e2e_fail "outcome '$text', expected '$1'"
    log "outcome: $text"
    dismiss_message_box
}

count_lines() { grep -c "$1" "$E2E_SIMLOG" 2>/dev/null || true; }

blocks_sent() { count_lines '^host FE 42 '; }

at_least_blocks() { [ "$(blocks_sent)" -ge "$1" ]; }

# start_slow_transfer BLOCKS: the program downloading an image of BLOCKS
# blocks into a board that takes 20 ms a reply, some 20 blocks in.
start_slow_transfer() {
    start_xvfb
    start_sim --delay-ms 20
    local image=$E2E_WORK/firmware.bin
    write_image "$image" "$1" 0
    start_app
    choose_image "$image"
    click "$DOWNLOAD_BTN_X" "$DOWNLOAD_BTN_Y"
    poll 30 at_least_blocks 20 || e2e_fail "the transfer did not get going"
}

has_end_frame() { grep -q "^host $END_FRAME\$" "$E2E_SIMLOG" 2>/dev/null; }

# wait_exit PID SECONDS: sets EXIT_STATUS, or fails when still running.
wait_exit() {
    poll "$2" gone "$1" || e2e_fail "process $1 still running after $2 s"
    EXIT_STATUS=0
    wait "$1" || EXIT_STATUS=$?
}
