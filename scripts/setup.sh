#!/usr/bin/env bash
# Installs everything NVXService needs to be built and tested on Debian 12:
#   - the Debian packages (mingw-w64 toolchain, Wine, CMake, Ninja, GoogleTest sources, xz,
#     clang-format for the formatting check, Python's matplotlib for the chart tool tools/nvxperfchart,
#     clang 14 with its libFuzzer and sanitizer runtimes for the native fuzzing build of fuzz/),
#   - a deb-src entry derived from the machine's own apt sources,
#   - liblzma as a static x86_64-w64-mingw32 library, built from Debian's xz-utils source package,
#   - GoogleTest (gtest + gmock) built with the same toolchain,
# both installed into $NVX_DEPS_ROOT/mingw (default /opt/nvx-deps/mingw).
#
# Idempotent: each built dependency has a stamp keyed on the Debian package version, the compiler
# version and this recipe's revision, so a second run on a ready machine only checks and exits.
# Needs root only when something is missing.
set -euo pipefail

NVX_DEPS_ROOT=${NVX_DEPS_ROOT:-/opt/nvx-deps}
PREFIX=$NVX_DEPS_ROOT/mingw
SRC_ROOT=$NVX_DEPS_ROOT/src
STAMP_DIR=$NVX_DEPS_ROOT/stamps
LOG_DIR=$NVX_DEPS_ROOT/logs
HOST=x86_64-w64-mingw32
CC_MINGW=$HOST-gcc-posix
CXX_MINGW=$HOST-g++-posix
# Bump when a build recipe below changes, so existing installs are rebuilt.
LZMA_RECIPE=1
GTEST_RECIPE=1

PACKAGES=(
    mingw-w64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64
    cmake ninja-build make
    googletest
    xz-utils dpkg-dev
    procps coreutils diffutils util-linux
    clang-format
    python3-matplotlib
    # the addresses of the service's pool and log counters, which the simulated machine's sampler
    # reads out of the running process (sim/nvxsimlib/sampler.py)
    gdb
    clang-14 libclang-rt-14-dev llvm-14
)

log() { printf '[setup] %s\n' "$*"; }
die() {
    printf '[setup] ERROR: %s\n' "$*" >&2
    exit 1
}

# Runs a build step with its output in a log file; on failure shows the end of that log.
run_logged() {
    local name=$1
    shift
    local logfile=$LOG_DIR/$name.log
    if ! "$@" >>"$logfile" 2>&1; then
        printf '[setup] ERROR: step "%s" failed; last lines of %s:\n' "$name" "$logfile" >&2
        tail -n 40 "$logfile" >&2
        exit 1
    fi
}

need_root() {
    [ "$(id -u)" -eq 0 ] || die "$1 needs root (re-run as root)"
}

pkg_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

pkg_version() {
    dpkg-query -W -f='${Version}' "$1"
}

apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=900 "$@"
}

# ---------------------------------------------------------------------------------------------
# 1. Debian packages

install_packages() {
    local missing=()
    local p
    for p in "${PACKAGES[@]}"; do
        pkg_installed "$p" || missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        log "apt packages: all ${#PACKAGES[@]} present"
        return
    fi
    need_root "installing ${missing[*]}"
    log "apt packages: installing ${missing[*]}"
    mkdir -p "$LOG_DIR"
    run_logged apt-update apt_get update
    run_logged apt-install apt_get install -y "${PACKAGES[@]}"
    log "apt packages: done"
}

# ---------------------------------------------------------------------------------------------
# 2. deb-src entry, derived from the machine's own binary sources (no address is written here)

has_deb_src() {
    grep -qsE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list && return 0
    grep -qsE '^Types:.*\bdeb-src\b' /etc/apt/sources.list.d/*.sources && return 0
    return 1
}

ensure_deb_src() {
    if has_deb_src; then
        log "deb-src entry: present"
    elif [ "$(id -u)" -ne 0 ]; then
        log "deb-src entry: missing (added by a run as root when a source package is needed)"
    else
        local src
        src=$(grep -lsE '^Types:.*\bdeb\b' /etc/apt/sources.list.d/*.sources | head -n 1 || true)
        if [ -n "$src" ]; then
            # Same stanzas, same archive, source index instead of binary one.
            sed -E 's/^Types:.*/Types: deb-src/' "$src" >/etc/apt/sources.list.d/nvx-deb-src.sources
            log "deb-src entry: derived from $src"
        elif grep -qsE '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list; then
            sed -nE 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' /etc/apt/sources.list \
                >/etc/apt/sources.list.d/nvx-deb-src.list
            log "deb-src entry: derived from /etc/apt/sources.list"
        else
            die "no apt source with Types: deb found to derive a deb-src entry from"
        fi
    fi
}

# The source index must be known to apt before `apt-get source` can work.
ensure_src_index() {
    if [ -z "$(apt-cache showsrc xz-utils 2>/dev/null | head -n 1)" ]; then
        need_root "refreshing the apt source index"
        log "deb-src entry: refreshing apt index"
        mkdir -p "$LOG_DIR"
        run_logged apt-update apt_get update
    fi
}

# ---------------------------------------------------------------------------------------------
# 3. liblzma (static, mingw) from the xz-utils source package

compiler_id() {
    printf '%s' "$("$CC_MINGW" -dumpfullversion)-$(pkg_version gcc-mingw-w64-x86-64-posix)"
}

stamp_ok() {
    local name=$1 key=$2
    [ -f "$STAMP_DIR/$name" ] && [ "$(cat "$STAMP_DIR/$name")" = "$key" ]
}

write_stamp() {
    mkdir -p "$STAMP_DIR"
    printf '%s\n' "$2" >"$STAMP_DIR/$1"
}

build_liblzma() {
    local version key
    version=$(pkg_version xz-utils)
    key="xz-utils=$version cc=$(compiler_id) recipe=$LZMA_RECIPE"
    if stamp_ok liblzma "$key" && [ -f "$PREFIX/lib/liblzma.a" ] && [ -f "$PREFIX/include/lzma.h" ]; then
        log "liblzma $version: up to date"
        return
    fi
    need_root "building liblzma"
    ensure_src_index
    log "liblzma $version: fetching Debian source package"
    local work=$SRC_ROOT/xz-utils
    rm -rf "$work"
    mkdir -p "$work" "$LOG_DIR"
    : >"$LOG_DIR/liblzma.log"
    # Same source version as the installed xz tool when the archive still has it.
    if ! (cd "$work" && apt-get source -q --only-source "xz-utils=$version" >>"$LOG_DIR/liblzma.log" 2>&1); then
        log "liblzma: source $version not in the archive, taking the current one"
        rm -rf "${work:?}"/*
        (cd "$work" && run_logged liblzma apt-get source -q --only-source xz-utils)
    fi
    local srcdir
    srcdir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'xz-utils-*' | head -n 1)
    [ -n "$srcdir" ] || die "apt-get source xz-utils produced no source tree in $work"
    # Patched sources can carry newer build-system inputs than their generated files; keep make
    # from trying to rerun autotools, which are not needed for a release tree.
    find "$srcdir" \( -name configure -o -name Makefile.in -o -name config.h.in -o -name aclocal.m4 \) \
        -exec touch {} +

    log "liblzma $version: configuring for $HOST"
    mkdir -p "$work/build"
    # Only the library: no command-line tools, scripts, docs, translations or DLL.
    # Threading uses the native Windows primitives, so the library needs no pthread emulation.
    (cd "$work/build" && run_logged liblzma "$srcdir/configure" \
        --host="$HOST" --prefix="$PREFIX" \
        CC="$CC_MINGW" CFLAGS="-O2 -g0" \
        --enable-static --disable-shared \
        --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo \
        --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
        --enable-threads=vista)
    log "liblzma $version: building"
    run_logged liblzma make -C "$work/build/src/liblzma" -j"$(nproc)"
    run_logged liblzma make -C "$work/build/src/liblzma" install
    rm -f "$PREFIX/lib/liblzma.la"
    [ -f "$PREFIX/lib/liblzma.a" ] || die "liblzma.a was not installed"
    write_stamp liblzma "$key"
    log "liblzma $version: installed into $PREFIX"
}

# ---------------------------------------------------------------------------------------------
# 4. GoogleTest (gtest + gmock, static, mingw) from /usr/src/googletest

build_googletest() {
    local version key
    version=$(pkg_version googletest)
    key="googletest=$version cc=$(compiler_id) recipe=$GTEST_RECIPE"
    if stamp_ok googletest "$key" && [ -f "$PREFIX/lib/libgtest.a" ] && [ -f "$PREFIX/lib/libgmock.a" ]; then
        log "googletest $version: up to date"
        return
    fi
    need_root "building googletest"
    [ -f /usr/src/googletest/CMakeLists.txt ] || die "/usr/src/googletest is missing (package googletest)"
    log "googletest $version: building with $CXX_MINGW"
    local work=$SRC_ROOT/googletest-build
    rm -rf "$work"
    mkdir -p "$work" "$LOG_DIR"
    : >"$LOG_DIR/googletest.log"
    # Windows threading inside gtest: with pthreads switched off it uses Win32 mutexes and TLS,
    # and consumers compiled without extra defines see the same class layouts.
    run_logged googletest cmake -S /usr/src/googletest -B "$work" -G Ninja \
        -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
        -DCMAKE_C_COMPILER="$CC_MINGW" -DCMAKE_CXX_COMPILER="$CXX_MINGW" \
        -DCMAKE_RC_COMPILER="$HOST-windres" \
        -DCMAKE_FIND_ROOT_PATH="/usr/$HOST" \
        -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER \
        -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
        -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
        -Dgtest_disable_pthreads=ON
    run_logged googletest cmake --build "$work" -j"$(nproc)"
    run_logged googletest cmake --install "$work"
    [ -f "$PREFIX/lib/libgtest.a" ] || die "libgtest.a was not installed"
    write_stamp googletest "$key"
    log "googletest $version: installed into $PREFIX"
}

# ---------------------------------------------------------------------------------------------

main() {
    log "dependencies prefix: $PREFIX"
    install_packages
    ensure_deb_src
    mkdir -p "$NVX_DEPS_ROOT" 2>/dev/null || true
    # Serialise concurrent runs (for example the main job and the tests started together).
    if [ -w "$NVX_DEPS_ROOT" ]; then
        exec 9>"$NVX_DEPS_ROOT/.setup.lock"
        flock 9
    fi
    build_liblzma
    build_googletest
    log "ready"
}

main "$@"
