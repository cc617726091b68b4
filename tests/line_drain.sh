#!/usr/bin/env bash
# Closing a port puts back the line settings found at open, which on a real
# line can change the rate under bytes still in the driver. A pseudo-terminal
# drains at once, so what is checked is the order of the system calls: after
# the end frame's write, the drain (TCSBRK 1), then the settings restore
# (TCSETS), then the close of that descriptor. Also: at open the serial layer
# asks for the driver's low-latency flag (TIOCGSERIAL, which a
# pseudo-terminal refuses) and the session goes on regardless.
set -euo pipefail
session_tests=$1

# LeakSanitizer cannot run under ptrace; leaks are the other suites' business.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

trace=$(mktemp)
trap 'rm -f "$trace"' EXIT
if ! strace -f -qq -o /dev/null true 2>/dev/null; then
    echo "strace cannot trace here; skipped"
    exit 77
fi
strace -f -qq -xx -e trace=write,ioctl,close -o "$trace" "$session_tests" lineTranscript >/dev/null

order=$(awk '
    { line = $0; sub(/^[0-9]+ +/, "", line) }
    line ~ /^write\([0-9]+, "\\xfe\\x00\\x4d\\x03\\x4e", 5\) = 5/ {
        split(line, part, /[(,]/); fd = part[2]; seen = ""; next
    }
    fd == "" { next }
    line ~ ("^ioctl\\(" fd ", TCSBRK, 1\\)") { seen = seen "drain " }
    line ~ ("^ioctl\\(" fd ", .*TCSETS, ") { seen = seen "restore " }
    line ~ ("^close\\(" fd "\\)") { last = seen "close"; fd = "" }
    END { print last }
' "$trace")
echo "after the last end frame: $order"
[ "$order" = "drain restore close" ]
grep -qE '^[0-9]+ +ioctl\([0-9]+, TIOCGSERIAL, .*\) = -1 ' "$trace" || {
    echo "the low-latency flag was not asked for"
    exit 1
}
