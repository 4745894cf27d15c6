#!/usr/bin/env bash
# Host half of the liblzma check: the Windows build writes a sample and its .xz stream under Wine,
# then the host's xz must accept the stream, report a CRC64 check and decode it to the same bytes.
#   lzma_xz_interop.sh <lzma_link_test.exe>      (NVX_WINE_RUN is set by nvx_add_script_test)
set -euo pipefail

exe=$1
: "${NVX_WINE_RUN:?must run under CTest (nvx_add_script_test sets it)}"

work=$(mktemp -d "${TMPDIR:-/tmp}/nvx-lzma.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Wine maps drive Z: to the host's root directory.
"$NVX_WINE_RUN" "$exe" "--write-xz=Z:${work//\//\\}"

[ -s "$work/sample.bin" ] || { echo "FAIL: sample.bin was not written" >&2; exit 1; }
[ -s "$work/sample.bin.xz" ] || { echo "FAIL: sample.bin.xz was not written" >&2; exit 1; }

xz -lvv "$work/sample.bin.xz" >"$work/list.txt"
cat "$work/list.txt"
grep -Eq '^[[:space:]]+Check:[[:space:]]+CRC64[[:space:]]*$' "$work/list.txt" ||
    { echo "FAIL: the stream does not declare a CRC64 check" >&2; exit 1; }

xz -dc "$work/sample.bin.xz" >"$work/decoded.bin"
cmp "$work/sample.bin" "$work/decoded.bin"
echo "host xz decoded $(stat -c %s "$work/sample.bin.xz") bytes to the $(stat -c %s "$work/sample.bin") bytes written"
