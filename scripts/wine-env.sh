# shellcheck shell=bash
# Wine session helpers, sourced by the test and run scripts and by cmake/wine-run.sh.
#
# One prefix per purpose (the tests of a build tree use <build>/wineprefix, the main job uses
# <build>/main-prefix). A session on a prefix is:
#   nvx_wine_up PREFIX     create the prefix if needed, then start a persistent wineserver
#   nvx_wine_run PREFIX PROGRAM [ARGS...]
#   nvx_wine_down PREFIX   end the wineserver and make sure no process of the prefix remains
#
# Why a persistent server: without it Wine ends a running service about 2 s after the last
# ordinary process exits, and every test executable pays the server start-up and shutdown.
# Why the boot session is ended before the persistent one starts: otherwise two services.exe can
# serve one prefix, each with its own view of the installed services.
#
# Every Wine call is bounded by `timeout`: NVX_WINE_TIMEOUT seconds (default 120) for programs,
# NVX_WINEBOOT_TIMEOUT (default 300) for creating a prefix.
# Functions only return statuses; they never exit the shell that sourced this file.

NVX_WINE=${NVX_WINE:-$(command -v wine64 || command -v wine || true)}
NVX_WINESERVER=${NVX_WINESERVER:-$(command -v wineserver || true)}

_nvx_wlog() { printf '[wine] %s\n' "$*" >&2; }

# Absolute, normalised path: the prefix string is also how a prefix's processes are recognised.
nvx_wine_abspath() {
    realpath -m -- "$1"
}

_nvx_wine_check_tools() {
    if [ -z "$NVX_WINE" ] || [ -z "$NVX_WINESERVER" ]; then
        _nvx_wlog "wine/wineserver not found; run scripts/setup.sh"
        return 1
    fi
}

# Runs a command with the prefix's Wine environment (the caller's environment is left alone).
_nvx_wine_env() {
    local prefix=$1
    shift
    env WINEPREFIX="$prefix" WINEDEBUG="${NVX_WINEDEBUG:--all}" "$@"
}

# Process ids of live Wine processes (Windows programs and the wineserver) whose environment has
# a WINEPREFIX line that `grep GREP_ARGS...` takes.
_nvx_wine_pids_where() {
    local exe pid
    while IFS= read -r exe; do
        pid=${exe#/proc/}
        pid=${pid%/exe}
        # A process may end between the listing and this read: standard error is redirected before
        # the input, so the shell's message about the vanished file goes nowhere too.
        if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -q "$@"; then
            printf '%s\n' "$pid"
        fi
    done < <(find /proc -mindepth 2 -maxdepth 2 -path '/proc/[0-9]*/exe' -lname '*/wine*' 2>/dev/null)
}

# Process ids of live processes belonging to the prefix.
nvx_wine_pids() {
    _nvx_wine_pids_where -xF "WINEPREFIX=$(nvx_wine_abspath "$1")"
}

# Process ids of live processes of any prefix below DIR (the scenario tests' machines).
nvx_wine_pids_below() {
    _nvx_wine_pids_where -F "WINEPREFIX=$(nvx_wine_abspath "$1")/"
}

# Creates the prefix once (wineboot --init), then ends that boot session. Safe to call from
# concurrent processes: they serialise on PREFIX.lock and only the first one boots.
nvx_wine_prefix_init() {
    local prefix
    prefix=$(nvx_wine_abspath "$1")
    [ -f "$prefix/.nvx-prefix-ready" ] && return 0
    _nvx_wine_check_tools || return 1
    mkdir -p "$(dirname "$prefix")" || return 1
    (
        flock 8 || exit 1
        [ -f "$prefix/.nvx-prefix-ready" ] && exit 0
        _nvx_wlog "creating prefix $prefix"
        _nvx_wine_env "$prefix" timeout 30 "$NVX_WINESERVER" -k >/dev/null 2>&1
        rm -rf "$prefix"
        mkdir -p "$prefix" || exit 1
        # mscoree/mshtml disabled: no prompt for runtimes that cannot be installed here.
        if ! _nvx_wine_env "$prefix" WINEDLLOVERRIDES="mscoree,mshtml=" \
            timeout -k 10 "${NVX_WINEBOOT_TIMEOUT:-300}" "$NVX_WINE" wineboot --init \
            </dev/null >"$prefix.boot.log" 2>&1; then
            _nvx_wlog "wineboot --init failed for $prefix (see $prefix.boot.log)"
            _nvx_wine_env "$prefix" timeout 30 "$NVX_WINESERVER" -k >/dev/null 2>&1
            exit 1
        fi
        _nvx_wine_env "$prefix" timeout 30 "$NVX_WINESERVER" -k >/dev/null 2>&1
        _nvx_wine_env "$prefix" timeout 60 "$NVX_WINESERVER" -w >/dev/null 2>&1
        touch "$prefix/.nvx-prefix-ready"
    ) 8>"$prefix.lock"
}

# Starts the persistent wineserver for the prefix (creating the prefix if needed). Any earlier
# session of the same prefix is ended first.
nvx_wine_up() {
    local prefix
    prefix=$(nvx_wine_abspath "$1")
    nvx_wine_prefix_init "$prefix" || return 1
    # What an earlier session left (a killed run, a program of the boot session that brought a
    # server up again as the session ended) is ended first; it is gone either way.
    if [ -n "$(nvx_wine_pids "$prefix")" ] && ! nvx_wine_down "$prefix"; then
        _nvx_wlog "processes of an earlier session of $prefix had to be killed"
    fi
    # Standard streams go nowhere: the server and the services it starts outlive this call and
    # must not hold the caller's pipes open (a CI log, CTest's output capture).
    _nvx_wine_env "$prefix" "$NVX_WINESERVER" -p </dev/null >/dev/null 2>&1 || {
        _nvx_wlog "wineserver -p failed for $prefix"
        return 1
    }
    _nvx_wine_env "$prefix" timeout -k 10 "${NVX_WINE_TIMEOUT:-120}" "$NVX_WINE" cmd /c exit \
        </dev/null >/dev/null 2>&1 || {
        _nvx_wlog "first Wine process failed for $prefix"
        return 1
    }
}

# Ends the prefix's wineserver and every process of the prefix. Returns 1 if processes had to be
# killed by force (they are gone either way).
nvx_wine_down() {
    local prefix pids
    prefix=$(nvx_wine_abspath "$1")
    [ -d "$prefix" ] || return 0
    if [ -n "$NVX_WINESERVER" ]; then
        _nvx_wine_env "$prefix" timeout 30 "$NVX_WINESERVER" -k </dev/null >/dev/null 2>&1
        _nvx_wine_env "$prefix" timeout 30 "$NVX_WINESERVER" -w </dev/null >/dev/null 2>&1
    fi
    # Programs notice the server's end asynchronously; give them a moment.
    for _ in $(seq 50); do
        pids=$(nvx_wine_pids "$prefix")
        [ -z "$pids" ] && return 0
        sleep 0.1
    done
    _nvx_wlog "killing processes left by prefix $prefix:"
    # shellcheck disable=SC2086
    ps -o pid=,args= -p "$(printf '%s' "$pids" | paste -sd, -)" >&2 || true
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null
    for _ in $(seq 50); do
        [ -z "$(nvx_wine_pids "$prefix")" ] && break
        sleep 0.1
    done
    return 1
}

# Runs a Windows program in the prefix under a timeout and returns its exit status (modulo 256,
# or 124 when the timeout ended it). Standard input is /dev/null: nothing here is interactive.
nvx_wine_run() {
    local prefix
    prefix=$(nvx_wine_abspath "$1")
    shift
    _nvx_wine_check_tools || return 125
    _nvx_wine_env "$prefix" timeout -k 10 "${NVX_WINE_TIMEOUT:-120}" "$NVX_WINE" "$@" </dev/null
}
