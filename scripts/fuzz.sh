#!/usr/bin/env bash
# Builds the native fuzzing targets (fuzz/: clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each of them.
#
#   scripts/fuzz.sh [--seconds N]    fuzz every target for N seconds (default 60)
#   scripts/fuzz.sh --replay         only run every input of the checked-in corpora once
#   scripts/fuzz.sh --long           fuzz every target for 10,000,000 executions
#   ... [--target NAME]...           only these targets (e.g. --target messages)
#   ... [--build DIR]                build tree (default build/fuzz, or $NVX_FUZZ_BUILD_DIR)
#
# Each run starts from the checked-in seeds fuzz/corpus/<target> plus what earlier runs found
# (DIR/corpus/<target>, where new inputs go); fuzz/dictionaries/<target>.dict is used when
# present. A crash, hang (10 s), leak (of the memory pool or the heap) or undefined behaviour
# stops the target and leaves its input in DIR/findings/<target>/. A line per target gives the
# executions, the coverage (cov and ft of libFuzzer's last status line), the corpus size and the
# findings. Exit status 1 when any target had a finding or failed to run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=time
seconds=60
long_runs=10000000
targets=()
build=${NVX_FUZZ_BUILD_DIR:-$root/build/fuzz}

log() { printf '[fuzz] %s\n' "$*"; }
die() {
    printf '[fuzz] ERROR: %s\n' "$*" >&2
    exit 1
}

while [ $# -gt 0 ]; do
    case $1 in
        --seconds)
            [[ ${2:-} =~ ^[0-9]+$ ]] && [ "$2" -gt 0 ] || die "--seconds needs a positive number"
            seconds=$2
            shift 2
            ;;
        --replay) mode=replay && shift ;;
        --long) mode=long && shift ;;
        --target)
            [ -n "${2:-}" ] || die "--target needs a name"
            targets+=("$2")
            shift 2
            ;;
        --build)
            [ -n "${2:-}" ] || die "--build needs a directory"
            build=$2
            shift 2
            ;;
        -h | --help)
            sed -n '2,17p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        *) die "unknown argument $1 (see --help)" ;;
    esac
done

# The toolchain comes from scripts/setup.sh's package list; it is called only when it is missing.
if ! command -v clang++-14 >/dev/null || ! compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
    log "clang 14 with libFuzzer is missing: running scripts/setup.sh"
    "$root/scripts/setup.sh"
fi

log "building the native targets in $build"
cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" >/dev/null || {
    cmake --build "$build"
    die "the native build failed"
}

if [ ${#targets[@]} -eq 0 ]; then
    for source in "$root"/fuzz/targets/*_fuzz.cpp; do
        name=$(basename "$source" _fuzz.cpp)
        targets+=("$name")
    done
fi

# "#123 DONE cov: 10 ft: 20 corp: 5/100b ..." -> the value after `key:`.
status_field() { sed -nE "s/.* $2: ([0-9]+).*/\1/p" <<<"$1"; }

failed=0
printf '%-16s %12s %7s %7s %8s %9s  %s\n' target executions cov ft corpus findings mode
for name in "${targets[@]}"; do
    binary=$build/${name}_fuzz
    seeds=$root/fuzz/corpus/$name
    [ -x "$binary" ] || die "no target $name (fuzz/targets/${name}_fuzz.cpp)"
    [ -d "$seeds" ] || die "no seed corpus $seeds"
    work=$build/corpus/$name
    findings=$build/findings/$name
    mkdir -p "$work" "$findings"
    logfile=$build/logs/$name.log
    mkdir -p "$(dirname "$logfile")"

    options=(-print_final_stats=1 -timeout=10 -rss_limit_mb=2048 "-artifact_prefix=$findings/")
    [ -f "$root/fuzz/dictionaries/$name.dict" ] && options+=("-dict=$root/fuzz/dictionaries/$name.dict")
    case $mode in
        replay)
            options+=(-runs=0)
            corpora=("$seeds")
            ;;
        time)
            options+=("-max_total_time=$seconds")
            corpora=("$work" "$seeds")
            ;;
        long)
            options+=("-runs=$long_runs")
            corpora=("$work" "$seeds")
            ;;
    esac

    marker=$build/logs/$name.started
    touch "$marker"
    before=$(find "$findings" -type f | wc -l)
    rc=0
    "$binary" "${options[@]}" "${corpora[@]}" >"$logfile" 2>&1 || rc=$?
    after=$(find "$findings" -type f | wc -l)
    new=$((after - before))

    status=$(grep -E '^#[0-9]+\s+(DONE|INITED|NEW|REDUCE|pulse|RELOAD)' "$logfile" | tail -n 1 || true)
    executions=$(sed -nE 's/^stat::number_of_executed_units: ([0-9]+)/\1/p' "$logfile" | tail -n 1)
    cov=$(status_field "$status" cov)
    ft=$(status_field "$status" ft)
    corpus=$(sed -nE 's/.* corp: ([0-9]+)\/.*/\1/p' <<<"$status")
    printf '%-16s %12s %7s %7s %8s %9s  %s\n' "$name" "${executions:-?}" "${cov:-?}" "${ft:-?}" "${corpus:-?}" \
        "$new" "$mode"
    if [ "$rc" -ne 0 ] || [ "$new" -gt 0 ]; then
        failed=1
        log "$name: exit status $rc; its log is $logfile"
        grep -E '==fuzz== FINDING|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error|SUMMARY' "$logfile" |
            head -n 5 | sed 's/^/    /' >&2 || true
        find "$findings" -type f -newer "$marker" | head -n 5 | sed 's/^/    input: /' >&2 || true
    fi
done
exit "$failed"
