#!/usr/bin/env bash
# Converts the sample sprite to an RLE file and back to a BMP image with the
# built tool, and says what it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:-build/release/tool/rle565}
out=build/demo
mkdir -p "$out"
"$tool" r examples/sprite.bmp "$out/sprite.rle"
"$tool" b "$out/sprite.rle" "$out/sprite-back.bmp"
size() { stat -c %s "$1"; }
echo "read  examples/sprite.bmp      $(size examples/sprite.bmp) bytes (64x64, 32-bit with alpha)"
echo "wrote $out/sprite.rle        $(size "$out/sprite.rle") bytes (RLE, $(od -An -tu2 -j8 -N2 "$out/sprite.rle" | tr -d ' ') palette entries)"
echo "wrote $out/sprite-back.bmp   $(size "$out/sprite-back.bmp") bytes (decoded back to BMP)"
