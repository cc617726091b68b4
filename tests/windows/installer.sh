# shellcheck shell=bash disable=SC2034,SC2154 # geometry names it sets; the stage's variables
# The installer under wine, as a user's PC takes it. Sourced by
# scripts/test-windows once its own tests have passed, and uses their
# helpers: in a fresh prefix,
#   - a silent install of this build's .msi: the files, the Start menu entry,
#     the uninstall entry and the install folder on the system PATH;
#   - the installed kavro-flash.exe, run by name from a console, downloading
#     through COM5;
#   - the installed window, started from its Start menu entry, listing the
#     ports and downloading; then its look at 96 and at 144 DPI;
#   - an upgrade to the same sources built as a newer version: one uninstall
#     entry, the newer files; the older one then refused;
#   - a silent uninstall: nothing left.
# installer_test BUILD VERSION NEWER_BUILD NEWER_VERSION, each BUILD the
# Windows build folder that made that version's .msi.

readonly PRODUCT="Kavro Firmware Downloader"
readonly UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
readonly ENVIRONMENT_KEY='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
readonly INSTALL_DIR_WIN="C:\\Program Files\\$PRODUCT\\"

installed_dir() { echo "$WINEPREFIX/drive_c/Program Files/$PRODUCT"; }

# run_msiexec ACTION PACKAGE: msiexec /i (install) or /x (uninstall), silent;
# sets MSI_STATUS and MSI_REPORT, its log.
MSI_RUNS=0
run_msiexec() {
    MSI_STATUS=0 MSI_REPORT=$E2E_ARTEFACTS/msiexec-$((++MSI_RUNS))-$1-$(basename "$2").log
    mkdir -p "$E2E_ARTEFACTS"
    wine msiexec "/$1" "Z:$2" /qn /l*v "Z:$MSI_REPORT" || MSI_STATUS=$?
}
msi() {
    run_msiexec "$@"
    [ "$MSI_STATUS" = 0 ] || e2e_fail "msiexec /$1 $(basename "$2") /qn: status $MSI_STATUS, see $MSI_REPORT"
}

# reg_value KEY NAME: the value's data, as reg prints it.
reg_value() {
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -F '    ' -v name="$2" '$2 == name { print $4 }'
}

# The product's keys under Uninstall, one a line.
uninstall_entries() {
    wine reg query "$UNINSTALL_KEY" /s 2>/dev/null | tr -d '\r' |
        awk -F '    ' -v name="$PRODUCT" '/^HKEY/ { key = $0 } $2 == "DisplayName" && $4 == name { print key }'
}

# The icon "Apps & features" shows: Windows Installer keeps the product's
# icon under its own key.
product_icon_exists() {
    local icon
    icon=$(wine reg query 'HKLM\Software\Classes\Installer\Products' /s 2>/dev/null | tr -d '\r' |
        awk -F '    ' -v name="$PRODUCT" '/^HKEY/ { icon = ""; found = 0 } $2 == "ProductIcon" { icon = $4 }
            $2 == "ProductName" && $4 == name { found = 1 } found && icon != "" { print icon; exit }')
    [ -n "$icon" ] && [ -s "$(winepath -u "$icon" 2>/dev/null)" ]
}

# The Start menu entry. Windows puts a machine-wide install's entry in the
# menu of all users; wine puts it in the installing user's.
start_menu_entry() {
    local folder
    for folder in "$WINEPREFIX/drive_c/ProgramData" "$WINEPREFIX"/drive_c/users/*/AppData/Roaming; do
        folder=$folder/Microsoft/Windows/Start\ Menu/Programs/$PRODUCT.lnk
        [ -f "$folder" ] && echo "$folder" && return 0
    done
    return 1
}

# check_installed VERSION STAGE: STAGE's files are installed, under one
# uninstall entry for VERSION, with a Start menu entry and on the PATH.
check_installed() {
    local entries lnk
    diff -r "$(installed_dir)" "$2" >"$E2E_WORK/installed.diff" ||
        e2e_fail "the installed files are not the package's: $(head -n 5 "$E2E_WORK/installed.diff")"
    mapfile -t entries < <(uninstall_entries)
    [ "${#entries[@]}" = 1 ] || e2e_fail "${#entries[@]} uninstall entries for $PRODUCT: ${entries[*]}"
    [ "$(reg_value "${entries[0]}" DisplayVersion)" = "$1" ] ||
        e2e_fail "the uninstall entry says version $(reg_value "${entries[0]}" DisplayVersion), not $1"
    [ "$(reg_value "${entries[0]}" Publisher)" = Kavro ] || e2e_fail "the uninstall entry names no publisher"
    reg_value "${entries[0]}" UninstallString | grep -qi '^MsiExec.exe /X{' ||
        e2e_fail "the uninstall entry does not uninstall through msiexec"
    product_icon_exists || e2e_fail "the product has no icon for Apps & features"
    lnk=$(start_menu_entry) || e2e_fail "no Start menu entry \"$PRODUCT\""
    tr -d '\0' <"$lnk" | grep -qa 'kavro-downloader\.exe' || e2e_fail "the Start menu entry does not start kavro-downloader.exe"
    reg_value "$ENVIRONMENT_KEY" PATH | grep -qF ";$INSTALL_DIR_WIN" || e2e_fail "the install folder is not on the PATH"
    log "installed $1: the package's $(find "$2" -type f | wc -l) files, one uninstall entry (${entries[0]##*\\}), the Start menu entry, on the PATH"
}

# check_uninstalled: no file, folder, entry or PATH part of the product left.
check_uninstalled() {
    [ ! -e "$(installed_dir)" ] || e2e_fail "left behind: $(find "$(installed_dir)" | head -n 5)"
    [ -z "$(uninstall_entries)" ] || e2e_fail "an uninstall entry is left: $(uninstall_entries)"
    ! start_menu_entry >/dev/null || e2e_fail "the Start menu entry is left"
    ! reg_value "$ENVIRONMENT_KEY" PATH | grep -qF "$INSTALL_DIR_WIN" || e2e_fail "the install folder is left on the PATH"
    log "uninstalled: no files, no uninstall entry, no Start menu entry, not on the PATH"
}

# start_installed_window: from its Start menu entry, as a person starts it.
start_installed_window() {
    wine start /unix "$(start_menu_entry)" >"$E2E_WORK/start.log" 2>&1
    poll 60 main_window || e2e_fail "the Start menu entry brought up no window"
    sleep 1
}
installed_window_gone() { ! pgrep -f 'Kavro Firmware Downloader.kavro-downloader\.exe' >/dev/null; }
close_installed_window() {
    click "$1" "$2"
    poll 10 installed_window_gone || e2e_fail "the installed window did not close"
}

# window_size_is WIDTH HEIGHT: the main window's size on screen.
window_size_is() {
    local X Y WINDOW SCREEN WIDTH HEIGHT
    eval "$(xdotool getwindowgeometry --shell "$WID")"
    [ "$WIDTH $HEIGHT" = "$1 $2" ] || e2e_fail "the window is ${WIDTH}x$HEIGHT, not ${1}x$2"
}

# The installed window lists COM5 and COM9 (listed, but no device behind
# it): picking COM9 fails to open, picking COM5 downloads.
installed_window_downloads() {
    wine reg add "$DEVICE_MAP" /v '\Device\KavroAbsent' /d COM9 /f >/dev/null
    start_installed_window
    window_size_is 600 226
    import -display "$DISPLAY" -window root "$win/installed-window-96dpi.png"
    choose_image "Z:${image//\//\\}"
    pick "$PORT_COMBO_X" "$PORT_COMBO_Y" COM9
    click "$DOWNLOAD_BTN_X" "$DOWNLOAD_BTN_Y"
    outcome_is "CanNOT Open Serial"
    pick "$PORT_COMBO_X" "$PORT_COMBO_Y" COM5
    click "$DOWNLOAD_BTN_X" "$DOWNLOAD_BTN_Y"
    outcome_is "Download Success"
    board_has_image "the installed window, COM9 and then COM5 picked from its list"
    close_installed_window "$CLOSE_BTN_X" "$CLOSE_BTN_Y"
}

# At 144 DPI Qt scales the window by 1.5, its layout kept.
installed_window_at_144_dpi() {
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null
    restart_wineserver
    start_installed_window
    window_size_is 900 339
    import -display "$DISPLAY" -window root "$win/installed-window-144dpi.png"
    close_installed_window $((CLOSE_BTN_X * 3 / 2)) $((CLOSE_BTN_Y * 3 / 2))
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null
    restart_wineserver
    log "the installed window at 144 DPI: 900x339, see $win/installed-window-144dpi.png"
}

# three_numbers VERSION: the version as Windows Installer keeps it.
three_numbers() {
    local version=$1
    [[ $version == *.*.* ]] || version+=.0
    echo "$version"
}

installer_test() {
    local msi_file=$1/kavro-downloader-$2-win64.msi stage=$1/installer-files version
    local newer=$3/kavro-downloader-$4-win64.msi newer_stage=$3/installer-files newer_version
    version=$(three_numbers "$2")
    newer_version=$(three_numbers "$4")
    wineserver -k 2>/dev/null || true
    export WINEPREFIX=$win/wineprefix-installer
    rm -rf "$WINEPREFIX"
    log "installer: a fresh prefix"
    wine wineboot -i >/dev/null 2>&1

    msi i "$msi_file"
    check_installed "$version" "$stage"
    map_com5 115200
    (cd "$E2E_WORK" && wine cmd /c kavro-flash -p COM5 -b 115200 "Z:$image") >"$E2E_WORK/flash.log" 2>&1 ||
        e2e_fail "kavro-flash by name from a console: $(cat "$E2E_WORK/flash.log")"
    board_has_image "the installed kavro-flash.exe, run by name from a console"
    map_com5 115200
    installed_window_downloads
    installed_window_at_144_dpi

    msi i "$newer"
    check_installed "$newer_version" "$newer_stage"
    log "upgrade from $version to $newer_version: one entry, the newer files"
    run_msiexec i "$msi_file"
    [ "$MSI_STATUS" != 0 ] || e2e_fail "$version installed over $newer_version"
    tr -d '\0' <"$MSI_REPORT" | grep -qa 'WIX_DOWNGRADE_DETECTED = {' ||
        e2e_fail "$version over $newer_version failed, but not as a downgrade: see $MSI_REPORT"
    check_installed "$newer_version" "$newer_stage"
    log "$version over $newer_version: refused (status $MSI_STATUS), $newer_version kept"
    msi x "$newer"
    check_uninstalled
}
