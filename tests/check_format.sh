#!/usr/bin/env bash
# Every C++ source of the repository is formatted as the checked-in .clang-format says; the
# differences are printed as clang-format reports them.
set -euo pipefail
root=${NVX_SOURCE_DIR:?}
cd "$root"
mapfile -d '' files < <(find . -path ./build -prune -o -path ./.git -prune -o \
    -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 | sort -z)
[ "${#files[@]}" -gt 0 ] || { echo "no C++ sources found under $root" >&2; exit 1; }
clang-format --dry-run -Werror "${files[@]}"
echo "${#files[@]} files formatted as .clang-format says"
