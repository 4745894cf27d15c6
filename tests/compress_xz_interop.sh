#!/usr/bin/env bash
# Host half of the journal compression check: CompressJournal turns sample journals (empty,
# 1 byte, 64 KiB, 64 KiB + 1, 3 MiB of journal-like records, 1 MiB of random bytes) into .xz
# files under Wine; then for every one the host's xz must report a CRC64 check, decode it to the
# journal's exact bytes, and `xz -6 -T1 --check=crc64` of the journal must give the very same
# file. The journals must be gone and no temporary file left.
#   compress_xz_interop.sh <compress_test.exe>      (NVX_WINE_RUN is set by nvx_add_script_test)
set -euo pipefail

exe=$1
: "${NVX_WINE_RUN:?must run under CTest (nvx_add_script_test sets it)}"

work=$(mktemp -d "${TMPDIR:-/tmp}/nvx-compress.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Wine maps drive Z: to the host's root directory.
"$NVX_WINE_RUN" "$exe" "--compress-samples=Z:${work//\//\\}"

shopt -s nullglob
left=("$work"/*.bin "$work"/*.tmp)
[ ${#left[@]} -eq 0 ] || fail "left behind: ${left[*]}"
refs=("$work"/ref/*.bin)
[ ${#refs[@]} -eq 6 ] || fail "expected 6 reference journals, found ${#refs[@]}"

for ref in "${refs[@]}"; do
    name=$(basename "$ref" .bin)
    xzfile=$work/$name.xz
    [ -f "$xzfile" ] || fail "$name.xz was not produced"
    xz -lvv "$xzfile" >"$work/list.txt"
    grep -Eq '^[[:space:]]+Check:[[:space:]]+CRC64[[:space:]]*$' "$work/list.txt" ||
        fail "$name.xz does not declare a CRC64 check"
    xz -dc "$xzfile" >"$work/decoded"
    cmp "$ref" "$work/decoded" || fail "$name.xz does not decode to the journal's bytes"
    xz -6 -T1 --check=crc64 -c "$ref" >"$work/reference.xz"
    cmp "$xzfile" "$work/reference.xz" || fail "$name.xz differs from xz -6 -T1 --check=crc64 of the journal"
    echo "ok $name: $(stat -c %s "$ref") bytes -> $(stat -c %s "$xzfile") bytes, CRC64, identical to xz -6 -T1"
done
