#!/usr/bin/env bash
# Checks the installed package from the outside: installs a built rle565 tree
# into a temporary prefix, builds this consumer against it with CMake (and,
# when pkg-config is there, once more with pkg-config), converts the sample
# sprite with the installed rle565, and draws it with the consumer.
#
# The frame drawn from the RLE file must equal the frame drawn from the BMP it
# came from (the round trip gives back every visible pixel), and both must
# carry EXPECTED, which was worked out from sprite.bmp outside the library
# with the format's own arithmetic: channels cut to RGB565, alpha 251 and up
# opaque and otherwise alpha >> 3, each channel blended as
# (s * a + d * (32 - a)) >> 5 onto the consumer's checkerboard.
#
# Usage: examples/consumer/check.sh [build-dir]    (default: build/release)
set -euo pipefail

EXPECTED=8377b7b7

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/rle565-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
    echo "consumer check: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
    cat "$work/install.log" >&2
    fail "install failed"
}
for file in bin/rle565 bin/rle565-info include/rle565/image.h include/rle565/blit.h \
    share/man/man1/rle565.1 share/man/man1/rle565-info.1; do
    [ -e "$prefix/$file" ] || fail "not installed: $file"
done

# Only the public headers are installed, all of them in include/rle565; the
# library's own headers (bytes.h, memory.h, ...) would shadow system headers
# of the same names for every program that adds the folder.
installed=$(cd "$prefix/include" && find . -type f | sort)
public=$(cd "$root/include" && find . -type f -name '*.h' | sort)
[ "$installed" = "$public" ] || fail "installed headers differ from include/: $installed"

# The libraries never end or signal the process, print, or change the
# umask: their objects call none of the functions that do. The drawing
# runtime calls nothing at all.
libraries=$(find "$prefix" -name 'librle565_*.a' | sort)
[ -n "$libraries" ] || fail "no library installed"
draw=$(find "$prefix" -name 'librle565_draw.a' | head -n 1)
[ -n "$draw" ] || fail "librle565_draw.a not installed"
if command -v nm >/dev/null; then
    for library in $libraries; do
        calls=$(nm -u "$library" | awk '{ print $NF }' |
            grep -E '^(exit|_exit|_Exit|quick_exit|abort|raise|kill|signal|sigaction|umask|printf|puts|putchar|perror|vprintf|setlocale|_ZSt9terminatev)$' |
            sort -u || true)
        [ -z "$calls" ] || fail "$(basename "$library") calls $(echo $calls)"
    done
    # (A sanitizer build's checks are the sanitizer's, not the runtime's.)
    calls=$(nm -u "$draw" | awk 'NF { print $NF }' | grep -v ':$' |
        grep -vE '^_*(asan|ubsan|sanitizer)_' | sort -u || true)
    [ -z "$calls" ] || fail "the drawing runtime calls $(echo $calls)"
fi

# The consumer gets the compiler and flags of the tree it links against, so
# that a sanitizer build links as well.
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
cxx=$(cache CMAKE_CXX_COMPILER)
cxxflags=$(cache CMAKE_CXX_FLAGS)
ldflags=$(cache CMAKE_EXE_LINKER_FLAGS)
cmake -S "$root/examples/consumer" -B "$work/build" -G "$(cache CMAKE_GENERATOR)" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_BUILD_TYPE="$(cache CMAKE_BUILD_TYPE)" >"$work/configure.log" || {
    cat "$work/configure.log" >&2
    fail "configuring the consumer failed"
}
cmake --build "$work/build" >"$work/build.log" || {
    cat "$work/build.log" >&2
    fail "building the consumer failed"
}

"$prefix/bin/rle565" r "$root/examples/sprite.bmp" "$work/sprite.rle" ||
    fail "rle565 could not convert examples/sprite.bmp"
"$prefix/bin/rle565-info" "$work/sprite.rle"

checksum() { "$1" "$2" | awk '{ print $NF }'; }
from_rle=$(checksum "$work/build/sprite_checksum" "$work/sprite.rle")
from_bmp=$(checksum "$work/build/sprite_checksum" "$root/examples/sprite.bmp")
echo "frame checksum from RLE $from_rle, from BMP $from_bmp, expected $EXPECTED"
[ "$from_rle" = "$from_bmp" ] || fail "the RLE file draws a different frame than its BMP"
[ "$from_rle" = "$EXPECTED" ] || fail "the frame checksum is $from_rle, not $EXPECTED"

if command -v pkg-config >/dev/null; then
    pc=$(dirname "$(find "$prefix" -name rle565.pc | head -n 1)")
    # shellcheck disable=SC2046,SC2086  # the flags are meant to split into words
    "$cxx" -std=c++20 $cxxflags "$root/examples/consumer/main.cpp" -o "$work/pc_checksum" \
        $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs rle565) $ldflags ||
        fail "building the consumer with pkg-config failed"
    [ "$(checksum "$work/pc_checksum" "$work/sprite.rle")" = "$EXPECTED" ] ||
        fail "the pkg-config build draws a different frame"
    echo "pkg-config build: same checksum"
fi
# A C99 program that knows only <rle565/draw.h> and the runtime's library.
cc=$(cache CMAKE_C_COMPILER)
if [ -n "$cc" ]; then
    # shellcheck disable=SC2086  # the flags are meant to split into words
    "$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -I"$prefix/include" \
        "$root/tests/core/draw_c99.c" -o "$work/draw_c99" "$draw" $ldflags ||
        fail "building a C99 program against the installed runtime failed"
    "$work/draw_c99" || fail "the C99 program drew the wrong pixels"
    echo "C99 program with the installed runtime: right pixels"
fi
echo "consumer check passed"
