#!/usr/bin/env bash
# The shipped service has no fault seam: none of the seam's symbols, wrappers or Parameters values
# is in its executable, while the test build's executable has every one of them (so the check
# looks where the seam would be).
#
#   check_fault_seam_absent.sh SHIPPED_EXE FAULTS_EXE
set -euo pipefail

shipped=$1
faults=$2
nm=${NVX_NM:-x86_64-w64-mingw32-nm}

# Symbols of the seam: its control functions, the link-time wrappers, the pool's wrapped allocation.
symbols=(SgFaultArm SgFaultCalls SgFaultWriteCounts __wrap___imp_RegOpenKeyExW __wrap___imp_CreateThread
         __wrap___imp_GetProcAddress __wrap_SgPoolOsAlloc)
# Texts of the seam: an operation name and the Parameters values the test build reads (UTF-16).
texts=(TestFaultOperation TestFaultCountsFile TestFailThreadStart ThreadCreate FilterWalk)

# True when the file holds the text in ASCII or in UTF-16LE.
holds_text() {
    python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); t = sys.argv[2]
sys.exit(0 if t.encode() in d or t.encode("utf-16-le") in d else 1)' "$1" "$2"
}

status=0
check() {
    local exe=$1 want=$2
    local table
    table=$("$nm" "$exe")
    if [ "$(wc -l <<<"$table")" -lt 100 ]; then
        echo "FAIL: $exe has no symbol table to check"
        status=1
        return
    fi
    for s in "${symbols[@]}"; do
        if grep -q -- "$s" <<<"$table"; then found=yes; else found=no; fi
        if [ "$found" != "$want" ]; then
            echo "FAIL: symbol $s in $exe: $found (expected $want)"
            status=1
        fi
    done
    for t in "${texts[@]}"; do
        if holds_text "$exe" "$t"; then found=yes; else found=no; fi
        if [ "$found" != "$want" ]; then
            echo "FAIL: text $t in $exe: $found (expected $want)"
            status=1
        fi
    done
}

check "$shipped" no
check "$faults" yes
[ "$status" -eq 0 ] && echo "the shipped service has none of the fault seam's ${#symbols[@]} symbols and ${#texts[@]} texts"
exit "$status"
