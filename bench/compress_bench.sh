#!/usr/bin/env bash
# Journal compression against the host's xz, in one run: CompressJournal (under Wine, file work
# included) and `xz -6 -T1 --check=crc64` (on the host, writing its .xz to a file) compress the
# same 32 MiB journal-like file, in alternation, RUNS times each; the best of each counts. Both
# throughputs are printed by the clock and by processor time, with their ratio (CompressJournal
# MB/s over xz MB/s; target at least 0.95). MB = 10^6 bytes. Both sides use one thread, so on an
# idle machine the two agree; on a busy one the clock measures the neighbours as well, and the
# processor-time ratio is the one that tells.
#
#   bench/compress_bench.sh [BUILD_DIR] [RUNS] [--quick]        defaults: build/mingw, 3
#
# --quick: a 1 MiB journal, one run (only shows that the comparison runs). The last lines are
# the rows for bench/run-all (bench/bench_rows.h describes them).
#
# The journal's bytes for xz are recovered from CompressJournal's own .xz with `xz -dc`, so both
# sides see exactly the same input and each output is checked by the other tool; the two .xz
# files are compared as well. The build tree's Wine prefix is brought up for the run, and ended
# again if this script started it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
quick=()
positional=()
for arg in "$@"; do
    if [ "$arg" = --quick ]; then quick=(--quick); else positional+=("$arg"); fi
done
build=$(realpath -m "${positional[0]:-$root/build/mingw}")
runs=${positional[1]:-3}
[ ${#quick[@]} = 0 ] || runs=1
exe=$build/bench/compress_bench.exe
[ -f "$exe" ] || { echo "no $exe: build the bench targets first" >&2; exit 1; }

# shellcheck source-path=SCRIPTDIR source=../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
prefix=$build/wineprefix
work=$(mktemp -d "${TMPDIR:-/tmp}/nvx-compress-bench.XXXXXX")
started_server=0
finish() {
    rm -rf "$work"
    if [ "$started_server" = 1 ]; then nvx_wine_down "$prefix" || true; fi
}
trap finish EXIT
if [ -z "$(nvx_wine_pids "$prefix" 2>/dev/null)" ]; then
    nvx_wine_up "$prefix"
    started_server=1
fi

# min A B
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }
field() { sed -E "s/.*[ ^]$1=([0-9.]+).*/\1/" <<<" $2"; }

TIMEFORMAT='%R %U %S'  # bash's own time: clock, user and system seconds
nvx_wall="" nvx_cpu="" xz_wall="" xz_cpu=""
for run in $(seq "$runs"); do
    # Wine maps drive Z: to the host's root directory.
    out=$(NVX_WINEPREFIX=$prefix NVX_WINE_TIMEOUT=600 "$root/cmake/wine-run.sh" "$exe" "Z:${work//\//\\}" "${quick[@]}")
    line=$(grep '^bytes=' <<<"$out")
    bytes=$(field bytes "$line")
    nvx_wall=$(min "$nvx_wall" "$(field seconds "$line")")
    nvx_cpu=$(min "$nvx_cpu" "$(field cpu_seconds "$line")")
    if [ "$run" = 1 ]; then
        xz -dc "$work/Process-1A-1A-0-0.xz" >"$work/journal"
        [ "$(stat -c %s "$work/journal")" = "$bytes" ] || { echo "the .xz does not decode to $bytes bytes" >&2; exit 1; }
    fi
    times=$( { time xz -6 -T1 --check=crc64 -c "$work/journal" >"$work/host.xz"; } 2>&1 )
    xz_wall=$(min "$xz_wall" "$(awk '{ print $1 }' <<<"$times")")
    xz_cpu=$(min "$xz_cpu" "$(awk '{ print $2 + $3 }' <<<"$times")")
done

report() {  # name wall cpu compressed-file
    awk -v name="$1" -v n="$bytes" -v w="$2" -v c="$3" -v z="$(stat -c %s "$4")" -v r="$runs" 'BEGIN {
        printf "%-16s %d bytes -> %d bytes, best of %d: %.3f s = %.2f MB/s, processor %.3f s = %.2f MB/s\n",
            name, n, z, r, w, n / 1e6 / w, c, n / 1e6 / c }'
}
report CompressJournal "$nvx_wall" "$nvx_cpu" "$work/Process-1A-1A-0-0.xz"
report "xz -6 -T1" "$xz_wall" "$xz_cpu" "$work/host.xz"
if cmp -s "$work/Process-1A-1A-0-0.xz" "$work/host.xz"; then
    echo "outputs: byte-identical"
else
    echo "outputs: DIFFERENT"
fi
identical=no
cmp -s "$work/Process-1A-1A-0-0.xz" "$work/host.xz" && identical=yes
awk -v nw="$nvx_wall" -v nc="$nvx_cpu" -v xw="$xz_wall" -v xc="$xz_cpu" -v n="$bytes" -v same="$identical" \
    -v ours="$(stat -c %s "$work/Process-1A-1A-0-0.xz")" -v theirs="$(stat -c %s "$work/host.xz")" 'BEGIN {
    rw = xw / nw
    rc = xc / nc
    printf "ratio CompressJournal/xz: clock %.3f, processor time %.3f (target >= 0.95: %s)\n",
        rw, rc, (rc >= 0.95) ? "met" : "NOT met"
    mib = n / 1048576
    printf "ROW\tjournal compression of %g MiB, processor time (ref: xz -6 -T1)\t%.2f MB/s\t%.2f MB/s\t%.2fx\t>= 0.95x\t%s\n",
        mib, n / 1e6 / nc, n / 1e6 / xc, rc, (rc >= 0.95) ? "yes" : "no"
    printf "ROW\tcompressed size of the same %g MiB (ref: xz -6 -T1)\t%d bytes\t%d bytes\t%.2fx\tbyte-identical\t%s\n",
        mib, ours, theirs, ours / theirs, same
}'
