#!/usr/bin/env bash
# The drawing runtime alone: every source in runtime/ compiled by itself with
# -ffreestanding -nostdlib, at each optimisation level a build may take, must
# leave objects that call nothing (no undefined symbol at all), and its files
# include nothing from outside their folder but the freestanding public
# headers and the compiler's own.
#
#   freestanding.sh SOURCE_DIR CXX [FLAGS...]
set -euo pipefail
root=$1
cxx=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "freestanding check: $*" >&2
    exit 1
}

allowed='^#include (<rle565/(draw|rle_format)\.h>|<stddef\.h>|<stdint\.h>|<emmintrin\.h>|"[a-z_]+\.h")$'
for file in "$root"/runtime/*.h "$root"/runtime/*.cpp; do
    bad=$(grep -E '^#include' "$file" | grep -vE "$allowed" || true)
    [ -z "$bad" ] || fail "$(basename "$file") includes $bad"
    for local in $(sed -n 's/^#include "\([a-z_]*\.h\)"$/\1/p' "$file"); do
        [ -f "$root/runtime/$local" ] || fail "$(basename "$file") includes $local from outside runtime/"
    done
done

# GCC turns fill loops into memset unless told not to; clang the same
# without -fno-builtin.
case "$("$cxx" --version | head -n 1)" in
*clang*) extra=-fno-builtin ;;
*) extra=-fno-tree-loop-distribute-patterns ;;
esac

for level in -O0 -O2 -O3 -Os; do
    objects=()
    for source in "$root"/runtime/*.cpp; do
        object="$work/$(basename "$source" .cpp)$level.o"
        "$cxx" -std=c++20 -ffreestanding -nostdlib -fno-exceptions -fno-rtti \
            -fno-threadsafe-statics $extra -Wall -Wextra -Wpedantic -Werror "$@" $level \
            -I"$root/include" -c "$source" -o "$object" ||
            fail "$(basename "$source") does not build with $* $level"
        objects+=("$object")
    done
    # The runtime's objects linked into one, as a firmware links them: what
    # one source calls of another is no call out of the runtime.
    "$cxx" "$@" -nostdlib -r "${objects[@]}" -o "$work/runtime$level.o" ||
        fail "the runtime's objects do not link together with $* $level"
    calls=$(nm -u "$work/runtime$level.o" | awk 'NF { print $NF }' | sort -u)
    [ -z "$calls" ] || fail "the runtime at $level $* calls $(echo $calls)"
done
echo "freestanding: $cxx $* calls nothing"
