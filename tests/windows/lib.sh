# What the flasher's wine suites share: their arguments, the e2e setup, and
# Windows' device map as the flasher reads its ports from it.
#   . tests/windows/lib.sh NAME "$@"
# with "$@" the suite's KAVRO_FLASH_EXE KAVRO_BOOTSIM KAVRO_FLASH; sets
# flash_exe and linux_flash (the Linux flasher, which checks records).
[ $# = 4 ] || {
    echo "usage: $0 KAVRO_FLASH_EXE KAVRO_BOOTSIM KAVRO_FLASH" >&2
    exit 2
}
flash_exe=$2
linux_flash=$(readlink -f "$4")
. "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"
e2e_setup "$1" "$flash_exe" "$3"

# registry LINE...: one import of .reg lines: a key, "[...]", or "[-...]" to
# delete it; a value under the key before, '"name"="data"', or '"name"=-'.
registry() {
    {
        printf 'Windows Registry Editor Version 5.00\n'
        local line
        for line in "$@"; do
            case $line in
            '['*) printf '\n%s\n' "$line" ;;
            *) printf '%s\n' "$line" ;;
            esac
        done
    } >"$E2E_WORK/change.reg"
    wine reg import "Z:$E2E_WORK/change.reg" >/dev/null 2>&1 || e2e_fail "reg import: $*"
}
readonly DEVICE_MAP='[HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM]'
# listed PORT [DATA]: PORT's value in the device map; DATA - takes it out.
listed() { printf '"\\\\Device\\\\Kavro%s"=%s\n' "$1" "${2:-\"$1\"}"; }
