#!/usr/bin/env python3
"""Renders the sample sprite before and after the round trip as PNG pictures
for the README: 4x enlarged, see-through pixels over a checkerboard.
Run examples/demo.sh first; it writes build/demo/sprite-back.bmp."""
import struct
import zlib


def read_bmp(path):
    b = open(path, 'rb').read()
    off = struct.unpack_from('<I', b, 10)[0]
    w, h = struct.unpack_from('<ii', b, 18)
    step = struct.unpack_from('<H', b, 28)[0] // 8
    row = (w * step + 3) // 4 * 4
    pixels = []
    for y in range(h):
        r = b[off + (h - 1 - y) * row:]
        pixels.append([(r[x * step + 2], r[x * step + 1], r[x * step],
                        r[x * step + 3] if step == 4 else 255) for x in range(w)])
    return w, h, pixels


def write_png(path, w, h, rows):
    raw = b''.join(b'\0' + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff))
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)) +
                chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


SCALE = 4
for src, dst in (('examples/sprite.bmp', 'docs/sprite-before.png'),
                 ('build/demo/sprite-back.bmp', 'docs/sprite-after.png')):
    w, h, pixels = read_bmp(src)
    rows = []
    for y in range(h * SCALE):
        row = []
        for x in range(w * SCALE):
            r, g, b, a = pixels[y // SCALE][x // SCALE]
            bg = 200 if ((x // 16) + (y // 16)) % 2 else 150
            row.append(tuple((c * a + bg * (255 - a)) // 255 for c in (r, g, b)))
        rows.append(row)
    write_png(dst, w * SCALE, h * SCALE, rows)
