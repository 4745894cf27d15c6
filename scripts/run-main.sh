#!/usr/bin/env bash
# The main job: sets the machine up, builds the "mingw" preset, and runs NVXService.exe in a fresh
# Wine machine (prefix build/mingw/main-prefix, recreated on every run):
#   1. started from a console with no service installed,
#   2. the service is installed with `sc create`,
#   3. started from a console again,
#   4. the service's registry key is listed.
# The program's full 32-bit exit code is shown (Linux sees only its low byte), in hex and decimal.
# NVX_MAIN_EXE overrides the program to run (default build/mingw/service/NVXService.exe).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

SERVICE_NAME="Kestro Vantor Service"
SERVICE_KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$SERVICE_NAME"
WIN_DIR='C:\NVX'
WIN_EXE="$WIN_DIR\\NVXService.exe"

log() { printf '[main] %s\n' "$*"; }
section() { printf '\n==== %s\n' "$*"; }

"$root/scripts/setup.sh"
log "configuring preset mingw"
cmake --preset mingw >/dev/null
log "building preset mingw"
cmake --build --preset mingw

exe=${NVX_MAIN_EXE:-$root/build/mingw/service/NVXService.exe}
if [ ! -f "$exe" ]; then
    log "ERROR: $exe was not built (CMake target NVXService)"
    exit 1
fi

# shellcheck source-path=SCRIPTDIR source=wine-env.sh
. "$root/scripts/wine-env.sh"
prefix=$root/build/mingw/main-prefix

finish() {
    local rc=$?
    trap - EXIT INT TERM
    if ! nvx_wine_down "$prefix" || [ -n "$(nvx_wine_pids "$prefix")" ]; then
        log "ERROR: Wine processes of $prefix outlived the wineserver"
        rc=1
    fi
    exit "$rc"
}

log "fresh Wine machine in $prefix"
nvx_wine_down "$prefix" || true
rm -rf "$prefix" "$prefix.lock" "$prefix.boot.log"
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
nvx_wine_up "$prefix"

# Inside drive C: the path has no blanks, which the `cmd /c "... & echo"` form needs.
mkdir -p "$prefix/drive_c/NVX"
cp "$exe" "$prefix/drive_c/NVX/NVXService.exe"

# Runs a Windows command line through cmd so that the 32-bit exit code can be printed.
run_console() {
    local out status code
    set +e
    out=$(nvx_wine_run "$prefix" cmd /c "$1 & echo NVX-EXIT-CODE=%ERRORLEVEL%" 2>&1)
    status=$?
    set -e
    out=${out//$'\r'/}
    code=$(printf '%s\n' "$out" | sed -n 's/.*NVX-EXIT-CODE=\(-\{0,1\}[0-9]\{1,\}\)$/\1/p' | tail -n 1)
    printf '%s\n' "$out" | sed 's/NVX-EXIT-CODE=-\{0,1\}[0-9]\{1,\}$//' | sed '/^$/d'
    if [ -n "$code" ]; then
        printf -- '-- exit code: 0x%08X (%u)\n' $((code & 0xFFFFFFFF)) $((code & 0xFFFFFFFF))
    else
        printf -- '-- exit code: unknown (wine status %d%s)\n' "$status" \
            "$([ "$status" -eq 124 ] && echo ", stopped after ${NVX_WINE_TIMEOUT:-120} s")"
    fi
}

section "1. $WIN_EXE started from a console, service not installed"
run_console "$WIN_EXE"

section "2. sc create \"$SERVICE_NAME\" binPath= $WIN_EXE"
set +e
nvx_wine_run "$prefix" sc create "$SERVICE_NAME" binPath= "$WIN_EXE" 2>&1 | tr -d '\r'
status=${PIPESTATUS[0]}
set -e
echo "-- sc exit status: $status"
[ "$status" -eq 0 ] || { log "ERROR: sc create failed"; exit 1; }

section "3. $WIN_EXE started from a console, service installed"
run_console "$WIN_EXE"

section "4. reg query \"$SERVICE_KEY\" /s"
nvx_wine_run "$prefix" reg query "$SERVICE_KEY" /s 2>&1 | tr -d '\r' | sed '/^$/d'
echo
log "done; ending the Wine machine"
