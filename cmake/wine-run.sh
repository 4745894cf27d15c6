#!/usr/bin/env bash
# CMAKE_CROSSCOMPILING_EMULATOR: runs one Windows program under Wine and returns its exit status.
#
#   wine-run.sh PROGRAM [ARGS...]
#
# The prefix is NVX_WINEPREFIX when set, otherwise <build tree>/wineprefix, where the build tree
# is the nearest directory above PROGRAM that holds a CMakeCache.txt; it is created on first use.
# The call is bounded by NVX_WINE_TIMEOUT seconds (default 120; exit status 124 when it fires).
# A Windows exit code is seen here modulo 256, so programs run this way must report failure with
# small codes (GoogleTest uses 1). The program's standard error comes out merged into its standard
# output (except when it lists GoogleTest cases), and a run that ends in failure without writing
# anything is made once more (see below).
set -u

nvx_source_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source-path=SCRIPTDIR source=../scripts/wine-env.sh
. "$nvx_source_root/scripts/wine-env.sh"

if [ $# -lt 1 ]; then
    echo "usage: wine-run.sh PROGRAM [ARGS...]" >&2
    exit 2
fi

prefix_for_program() {
    local dir
    dir=$(cd "$(dirname "$1")" 2>/dev/null && pwd) || return 1
    while :; do
        if [ -f "$dir/CMakeCache.txt" ]; then
            printf '%s/wineprefix\n' "$dir"
            return 0
        fi
        [ "$dir" = / ] && return 1
        dir=$(dirname "$dir")
    done
}

prefix=${NVX_WINEPREFIX:-}
if [ -z "$prefix" ]; then
    prefix=$(prefix_for_program "$1") || {
        echo "wine-run.sh: $1 is not inside a CMake build tree; set NVX_WINEPREFIX" >&2
        exit 125
    }
fi
nvx_wine_prefix_init "$prefix" || exit 125

limit=${NVX_WINE_TIMEOUT:-120}
started=$SECONDS
list_tests=false
for arg in "$@"; do
    [ "$arg" = --gtest_list_tests ] && list_tests=true
done
# Runs the program once; what it writes (both streams, merged) reaches the caller as it comes and
# is kept in $capture, so that a run that wrote nothing at all can be recognised.
run_captured() {
    nvx_wine_run "$prefix" "$@" 2>&1 | tee "$capture"
    return "${PIPESTATUS[0]}"
}

capture=$(mktemp "${TMPDIR:-/tmp}/nvx-wine-run.XXXXXX")
trap 'rm -f "$capture"' EXIT
if $list_tests; then
    # Listing takes well under a second. The listing goes to a file, not a pipe, so that no Wine
    # process started along the way can keep the caller waiting for the end of its output; and a
    # listing that has not ended within NVX_WINE_LIST_TIMEOUT s (a Wine process that wrote every
    # name and then did not exit has been seen once, in a freshly made prefix) is made once more,
    # inside the bound CTest puts on discovery.
    for attempt in 1 2; do
        NVX_WINE_TIMEOUT=${NVX_WINE_LIST_TIMEOUT:-25} nvx_wine_run "$prefix" "$@" >"$capture"
        status=$?
        [ "$status" -ne 124 ] && break
        echo "wine-run.sh: listing the tests of $1 did not end within ${NVX_WINE_LIST_TIMEOUT:-25} s" >&2
    done
    # The Windows C runtime writes CRLF; CMake's test discovery parses LF-only lines.
    tr -d '\r' <"$capture"
else
    run_captured "$@"
    status=$?
    # Every program run here writes something before it can fail (GoogleTest its banner). Now
    # and then, on a busy host, Wine fails to bring a new process up at all: the run ends at once
    # with no output, or with only the loader's complaint that the program could not be started.
    # That run is reported and made once more; a program that really fails before writing
    # anything fails the second time too.
    if [ "$status" -ne 0 ] && [ "$status" -ne 124 ] &&
        { [ ! -s "$capture" ] || grep -q "^Application could not be started" "$capture"; }; then
        echo "wine-run.sh: $1 ended with status $status before it wrote anything; starting it once more" >&2
        run_captured "$@"
        status=$?
    fi
fi
if [ "$status" -eq 124 ] && [ $((SECONDS - started)) -ge "$limit" ]; then
    echo "wine-run.sh: $1 was stopped after $limit s (NVX_WINE_TIMEOUT)" >&2
fi
exit "$status"
