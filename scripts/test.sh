#!/usr/bin/env bash
# The test command: sets the machine up, builds the "mingw" preset and runs every test under Wine.
#
#   scripts/test.sh [CTEST ARGS...]      e.g. scripts/test.sh -R lzma
#
# NVX_BUILD_DIR=DIR uses a build tree of its own (and so a Wine prefix of its own), so that
# several runs can go on side by side; the default is build/mingw.
#
# The build tree's Wine prefix (build/mingw/wineprefix) gets a persistent wineserver for the run;
# it is ended on every exit path, and the run fails if any process of the prefix is left.
# Exit status: ctest's (non-zero when a test failed), or 1 when set-up or clean-up failed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

log() { printf '[test] %s\n' "$*"; }

"$root/scripts/setup.sh"

build=${NVX_BUILD_DIR:-$root/build/mingw}
log "configuring preset mingw in $build"
cmake --preset mingw -B "$build" >/dev/null

# shellcheck source-path=SCRIPTDIR source=wine-env.sh
. "$root/scripts/wine-env.sh"
prefix=$build/wineprefix

# A new build tree's prefix boots while the build runs: the boot mostly waits on Wine, the build
# computes. The boot ends its own session; its output goes to <prefix>.boot.log.
# (Called as the left side of ||: the helpers return statuses and must not meet errexit.)
{ nvx_wine_prefix_init "$prefix" || exit 1; } &
boot=$!
log "building $build"
if ! cmake --build "$build"; then
    wait "$boot" || true
    exit 1
fi
if ! wait "$boot"; then
    log "ERROR: the prefix $prefix could not be created"
    exit 1
fi

finish() {
    local rc=$?
    trap - EXIT INT TERM
    if ! nvx_wine_down "$prefix"; then
        log "ERROR: Wine processes of $prefix outlived the wineserver"
        rc=1
    fi
    if [ -n "$(nvx_wine_pids "$prefix")" ]; then
        log "ERROR: Wine processes of $prefix are still running"
        rc=1
    fi
    # The scenario tests make their machines below the build's scenario-tmp; a test that CTest
    # ended at its timeout never ran its clean-up, and what it left running ends here.
    local left
    left=$(nvx_wine_pids_below "$build/scenario-tmp")
    if [ -n "$left" ]; then
        log "ERROR: Wine processes of the scenario tests' machines were left running:"
        # shellcheck disable=SC2086
        ps -o pid=,args= -p "$(printf '%s' "$left" | paste -sd, -)" >&2 || true
        # shellcheck disable=SC2086
        kill -KILL $left 2>/dev/null
        rc=1
    fi
    exit "$rc"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

log "starting wineserver for $prefix"
nvx_wine_up "$prefix"

# The options of the "mingw" test preset, for whichever build tree this run uses. Four at a time
# on two processors: the scenario tests spend most of their time waiting for Wine and the
# service's periods, not computing. NVX_TEST_JOBS=N changes it.
ctest --test-dir "$build" --output-on-failure -j "${NVX_TEST_JOBS:-4}" --timeout 300 --no-tests=error "$@"
