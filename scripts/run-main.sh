#!/usr/bin/env bash
# The main job: sets this Linux machine up, builds the "mingw" preset, and runs a whole scenario
# of the service on a simulated Windows machine (build/machine, created anew on every run):
#   1. the machine is created: Wine prefix, system volume, the service installed with the SCM,
#      the NVX driver simulator loaded with two journals in its store;
#   2. NVXService.exe answers -v from a console, and refuses a console start (0xF000025);
#   3. with DebugLevel 1 the service is started through the SCM: it connects to the driver's
#      ports, compresses the journals in its first pass, answers the driver's commands; its
#      status is queried and interrogated, a pause refused;
#   4. the debug filter is changed through the registry while it runs;
#   5. it is stopped: the status reports down to STOPPED with exit code 0;
#   6. the journal store, what the driver received and the service's log nvxs.log are shown;
#   7. the machine is ended, leaving no process behind.
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
    section "7. the machine is ended"
    sim down || rc=1
    exit "$rc"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

section "1. nvxsim create, the driver loaded, two journals in its store"
sim create
sim driver start
sim journal write Dns Dns-1A-2B-3-4.bin --size 200000
sim journal write Process Process-10-20.bin --size 65536

section "2. NVXService.exe from a console"
sim console -v
sim console || true

section "3. the service under the SCM (DebugLevel 1)"
sim reg set service DebugLevel --type REG_DWORD --data 1
sim start
sim driver wait-connect --port async --timeout-ms 15000
sim send-command --kind get VERSION
sim send-command --kind get nosuchname || true
sim query
sim interrogate
sim pause || true

section "4. the debug filter changed while it runs: DebugLevel 2"
sim reg set service DebugLevel --type REG_DWORD --data 2
log "letting one 5 s main-loop period pass"
sleep 6

section "5. nvxsim stop"
sim stop
sim query

section "6. the journal store, what the driver received, nvxs.log"
sim journal list
sim driver received --tail 12
sim log
