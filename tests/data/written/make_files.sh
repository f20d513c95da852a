#!/bin/sh
# Writes the BMP files of this folder with the tools artists use (run once;
# the files are committed, and the tests need neither tool). source.png is a
# 40 x 20 picture of vertical bands with opaque, transparent and partly
# transparent rows, made by Pillow below.
set -eu
cd "$(dirname "$0")"
/usr/bin/python3 - <<'PY'
from PIL import Image
W, H = 40, 20
im = Image.new("RGBA", (W, H))
for y in range(H):
    for x in range(W):
        band = x // 5
        r = (band * 37 + y * 3) & 255
        g = (band * 71 + (y // 4) * 40) & 255
        b = (255 - band * 29) & 255
        a = 255 if y < 8 else (0 if y < 11 else (band * 36) & 255)
        im.putpixel((x, y), (r, g, b, a))
im.save("source.png")
im.save("pillow-rgba.bmp")
im.convert("RGB").quantize(16).save("pillow-pal8.bmp")
PY
# ImageMagick's default for an image with alpha: 32 bits, V5 header, bit masks.
convert source.png magick-argb32.bmp
convert source.png -define bmp:subtype=ARGB1555 magick-argb1555.bmp
convert source.png -define bmp:subtype=ARGB4444 magick-argb4444.bmp
convert source.png -background white -flatten -alpha off -define bmp:subtype=RGB565 magick-rgb565.bmp
# A palette image, RLE-coded (ImageMagick writes RLE8) and uncompressed.
convert source.png -background white -flatten -type Palette -colors 16 -compress RLE magick-rle8.bmp
convert source.png -background white -flatten -type Palette -colors 16 -compress None magick-pal4.bmp
convert source.png -background white -flatten -type Palette -colors 16 -compress RLE BMP3:magick-rle8-bmp3.bmp
# ImageMagick's RLE8 at odd widths, where its encoder codes each row's padding
# bytes as pixels past the line's end, beside the same crops uncompressed.
mkdir -p rle-widths
for w in 1 2 3 4 5 6 7 8 9 33 61 77; do
    convert netscape: -crop "${w}x5+3+7" +repage -type Palette -compress RLE "rle-widths/rle8-w$w.bmp"
    convert netscape: -crop "${w}x5+3+7" +repage -type Palette -compress None "rle-widths/plain-w$w.bmp"
done
