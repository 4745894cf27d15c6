#!/usr/bin/env bash
# The main job: sets this Linux machine up, builds the "mingw" preset, and runs a whole scenario
# of the service on a simulated Windows machine (build/machine, created anew on every run):
#   1. the machine is created: Wine prefix, system volume, the service installed with the SCM;
#   2. NVXService.exe answers -v from a console, and refuses a console start (0xF000025);
#   3. with DebugLevel 1 the service is started through the SCM and left running for one
#      main-loop period, its status queried and interrogated, a pause refused;
#   4. it is stopped: the status reports down to STOPPED with exit code 0;
#   5. its log nvxs.log is shown, from the settings line to the shutdown's last line;
#   6. the machine is ended, leaving no process behind.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

log() { printf '[main] %s\n' "$*"; }
section() { printf '\n==== %s\n' "$*"; }

"$root/scripts/setup.sh"
log "configuring preset mingw"
cmake --preset mingw >/dev/null
log "building preset mingw"
cmake --build --preset mingw >/dev/null

export NVXSIM_MACHINE=${NVXSIM_MACHINE:-$root/build/machine}
sim() { "$root/sim/nvxsim" "$@"; }

finish() {
    local rc=$?
    trap - EXIT INT TERM
    section "6. the machine is ended"
    sim down || rc=1
    exit "$rc"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

section "1. nvxsim create"
sim create

section "2. NVXService.exe from a console"
sim console -v
sim console || true

section "3. the service under the SCM (DebugLevel 1)"
sim reg set service DebugLevel --type REG_DWORD --data 1
sim start
sim query
sim interrogate
sim pause || true
log "letting one 5 s main-loop period pass"
sleep 6

section "4. nvxsim stop"
sim stop
sim query

section "5. nvxs.log"
sim log
