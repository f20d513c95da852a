#!/usr/bin/env bash
# Stands in for rle565-pack in the sprites_function test: takes the options
# that rle565_add_sprites() gives it (-j 1 [--colors n] [--dither] -o DIR
# IMAGE), notes them in DIR/options.txt and writes DIR/NAME.rle with
# RLE565_FAKE_CONVERTER r -v2, as rle565-pack writes an image named on its own.
set -euo pipefail
echo "$*" >>"$RLE565_FAKE_LOG"
out=
while [ $# -gt 1 ]; do
    case $1 in
    -o) out=$2; shift 2 ;;
    -j | --colors) shift 2 ;;
    --dither) shift ;;
    *) echo "fake pack: unexpected $1" >&2; exit 2 ;;
    esac
done
[ -n "$out" ] || { echo "fake pack: no -o" >&2; exit 2; }
mkdir -p "$out"
name=$(basename "$1")
exec "$RLE565_FAKE_CONVERTER" r -v2 "$1" "$out/${name%.*}.rle"
