#!/usr/bin/env bash
# The service's executables import only libraries that Windows maps from its KnownDLLs list, never
# found through the search order: the loader resolves imports before main, with the executable's
# own directory searched first for any other library, so a further import would let a DLL planted
# beside the service run as LocalSystem. Libraries outside the list are loaded at run time from
# System32 only (runtime/system_library.h).
#   service_imports.sh <objdump> <NVXService.exe>...
set -euo pipefail

objdump=$1
shift
# KnownDLLs of every supported Windows version that the service may import.
known=" advapi32.dll kernel32.dll msvcrt.dll ole32.dll shell32.dll "

status=0
for exe in "$@"; do
    imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
    [ -n "$imports" ] || { echo "FAIL: $exe: no import table read" >&2; exit 1; }
    for dll in $imports; do
        if [[ $known != *" $dll "* ]]; then
            echo "FAIL: $exe imports $dll, which is not a KnownDLL: load it at run time from System32" >&2
            status=1
        fi
    done
    echo "$exe: imports" $imports
done
exit $status
