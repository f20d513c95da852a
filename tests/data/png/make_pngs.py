#!/usr/bin/python3
"""Writes the PNG test files of this folder (run once; the files are committed).

Every file holds the same 11 x 9 picture, worked out from the formulas below,
which tests/core/png_reader_test.cpp repeats to know each pixel without a
decoder. Most files are written by the small encoder here (every colour type,
bit depth, tRNS and Adam7 interlacing); pillow-*.png by Pillow and
magick-*.png by ImageMagick's convert, as artists' tools write them.
"""
import os
import struct
import subprocess
import zlib

W, H = 11, 9
HERE = os.path.dirname(os.path.abspath(__file__))


def red16(x, y):
    return (x * 6007 + y * 2011) & 0xFFFF


def green16(x, y):
    return (x * 1543 + y * 7919 + 300) & 0xFFFF


def blue16(x, y):
    return (x * x * 911 + y * 3301) & 0xFFFF


def alpha16(x, y):
    return 0xFFFF if x == W - 1 else (x * 5237 + y * 5367) & 0xFFFF


def palette_size(depth):
    return min(1 << depth, 200)


def palette_entry(i):
    return ((i * 37 + 11) & 255, (i * 101) & 255, (255 - i * 13) & 255)


def trns_count(n):
    return max(1, n * 3 // 4)


def trns_alpha(i):
    return (i * 67) & 255


def index(x, y, n):
    return (x * 3 + y * 5) % n


def samples(ctype, depth, x, y):
    """The stored samples of pixel (x, y), at the file's bit depth."""
    def cut(v):
        return v >> (16 - depth)
    if ctype == 0:
        return [cut(green16(x, y))]
    if ctype == 2:
        return [cut(red16(x, y)), cut(green16(x, y)), cut(blue16(x, y))]
    if ctype == 3:
        return [index(x, y, palette_size(depth))]
    if ctype == 4:
        return [cut(green16(x, y)), cut(alpha16(x, y))]
    return [cut(red16(x, y)), cut(green16(x, y)), cut(blue16(x, y)), cut(alpha16(x, y))]


def pack_row(ctype, depth, xs, y):
    values = [v for x in xs for v in samples(ctype, depth, x, y)]
    if depth == 16:
        return b"".join(struct.pack(">H", v) for v in values)
    if depth == 8:
        return bytes(values)
    bits = "".join(format(v, "0%db" % depth) for v in values)
    bits += "0" * (-len(bits) % 8)
    return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2)]


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def write_png(name, ctype, depth, trns=False, interlace=False):
    raw = b""
    if interlace:
        for x0, y0, dx, dy in ADAM7:
            xs = list(range(x0, W, dx))
            if not xs:
                continue
            for y in range(y0, H, dy):
                raw += b"\0" + pack_row(ctype, depth, xs, y)
    else:
        for y in range(H):
            raw += b"\0" + pack_row(ctype, depth, range(W), y)
    out = b"\x89PNG\r\n\x1a\n"
    out += chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, depth, ctype, 0, 0, int(interlace)))
    # Gamma and a text chunk, which the reader ignores.
    out += chunk(b"gAMA", struct.pack(">I", 100000))
    out += chunk(b"tEXt", b"Comment\0made by make_pngs.py")
    if ctype == 3:
        n = palette_size(depth)
        out += chunk(b"PLTE", b"".join(bytes(palette_entry(i)) for i in range(n)))
        if trns:
            out += chunk(b"tRNS", bytes(trns_alpha(i) for i in range(trns_count(n))))
    elif trns:
        # The key is the colour of pixel (0, 0).
        out += chunk(b"tRNS", b"".join(struct.pack(">H", v) for v in samples(ctype, depth, 0, 0)))
    data = zlib.compress(raw, 9)
    # Two IDAT chunks, as streaming encoders write them.
    out += chunk(b"IDAT", data[:len(data) // 2]) + chunk(b"IDAT", data[len(data) // 2:])
    out += chunk(b"IEND", b"")
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(out)


FILES = [
    ("g1", 0, 1, False, False), ("g2", 0, 2, False, False), ("g4", 0, 4, False, False),
    ("g8", 0, 8, False, False), ("g16", 0, 16, False, False), ("g8t", 0, 8, True, False),
    ("g16t", 0, 16, True, False), ("rgb8", 2, 8, False, False), ("rgb16", 2, 16, False, False),
    ("rgb8t", 2, 8, True, False), ("rgb16t", 2, 16, True, False), ("p1", 3, 1, False, False),
    ("p2", 3, 2, False, False), ("p4", 3, 4, False, False), ("p8", 3, 8, False, False),
    ("p4t", 3, 4, True, False), ("p8t", 3, 8, True, False), ("ga8", 4, 8, False, False),
    ("ga16", 4, 16, False, False), ("rgba8", 6, 8, False, False), ("rgba16", 6, 16, False, False),
    ("rgba8i", 6, 8, False, True), ("rgb16i", 2, 16, False, True), ("p4ti", 3, 4, True, True),
    ("g2i", 0, 2, False, True), ("ga16i", 4, 16, False, True),
]


def main():
    for name, ctype, depth, trns, interlace in FILES:
        write_png(name + ".png", ctype, depth, trns, interlace)

    from PIL import Image
    rgba = Image.new("RGBA", (W, H))
    pal = Image.new("P", (W, H))
    pal.putpalette([c for i in range(16) for c in palette_entry(i)])
    for y in range(H):
        for x in range(W):
            rgba.putpixel((x, y), tuple(v >> 8 for v in samples(6, 16, x, y)))
            pal.putpixel((x, y), index(x, y, 16))
    rgba.save(os.path.join(HERE, "pillow-rgba8.png"))
    pal.save(os.path.join(HERE, "pillow-p4t.png"), bits=4,
             transparency=bytes(trns_alpha(i) for i in range(trns_count(16))))
    subprocess.run(["convert", os.path.join(HERE, "rgba16.png"), "-interlace", "PNG",
                    "-define", "png:bit-depth=16", os.path.join(HERE, "magick-rgba16i.png")],
                   check=True)


if __name__ == "__main__":
    main()
