#!/usr/bin/env python3
"""Writes the microcontroller benchmark's sprites into OUT_DIR:

    NAME.bmp        the picture, for `rle565 r` (24-bit on the colour key, or
                    32-bit with alpha)
    NAME_raw.inc    the same pixels as a raw RGB565 array, the colour key
                    0xF81F where a keyed sprite is transparent
    NAME_alpha.inc  for sprites with alpha: one alpha 0..32 a pixel
    sprites.h       the table that bench_mcu.c draws from

Every pixel is already an RGB565 colour and every alpha one of 0..32, so the
converter keeps them exactly and the raw arrays are the same pictures. Fixed
formulas and one fixed-seed generator: the same files on every run.

    make_sprites.py OUT_DIR [odd]

With `odd`, the RLE files' bytes start one past a word boundary (their
palettes at odd addresses, as an array of bytes may lie), else on one.
"""
import math
import os
import struct
import sys

KEY = 0xF81F
seed = 20261209


def rnd():
    global seed
    seed = (seed * 1103515245 + 12345) & 0xFFFFFFFF
    return seed >> 16


def rgb(r5, g6, b5):
    c = (r5 & 31) << 11 | (g6 & 63) << 5 | (b5 & 31)
    return c if c != KEY else c ^ 1


def ramp(r0, g0, b0, r1, g1, b1, n):
    """n RGB565 colours from (r0, g0, b0) to (r1, g1, b1), channels 0..1."""
    out = []
    for i in range(n):
        t = i / (n - 1)
        out.append(rgb(round((r0 + (r1 - r0) * t) * 31), round((g0 + (g1 - g0) * t) * 63),
                       round((b0 + (b1 - b0) * t) * 31)))
    return out


def write_bmp(path, w, h, pixels, alpha):
    """A bottom-up BMP: 24-bit, or 32-bit BI_BITFIELDS with an alpha mask."""
    rows = []
    for y in range(h - 1, -1, -1):
        row = bytearray()
        for x in range(w):
            c = pixels[y * w + x]
            r8, g8, b8 = (c >> 11) << 3, ((c >> 5) & 63) << 2, (c & 31) << 3
            if alpha is None:
                row += bytes((b8, g8, r8))
            else:
                a = alpha[y * w + x]
                row += bytes((b8, g8, r8, 255 if a >= 32 else a * 8))
        while len(row) % 4:
            row.append(0)
        rows.append(bytes(row))
    data = b"".join(rows)
    if alpha is None:
        info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    else:
        info = struct.pack("<IiiHHIIiiIIIIII", 56, w, h, 1, 32, 3, len(data), 2835, 2835, 0, 0,
                           0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
    offset = 14 + len(info)
    head = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(head + info + data)


def write_array(path, values):
    with open(path, "w") as f:
        for i in range(0, len(values), 16):
            f.write(", ".join("0x%x" % v for v in values[i:i + 16]) + ",\n")


def blob(w, h, x, y):
    """Inside the body of a game character: a rounded body with a head."""
    cx, cy = (w - 1) / 2, (h - 1) / 2
    u, v = (x - cx) / (w * 0.40), (y - cy * 1.15) / (h * 0.36)
    body = u * u + v * v <= 1.0
    hu, hv = (x - cx) / (w * 0.24), (y - h * 0.24) / (h * 0.20)
    head = hu * hu + hv * hv <= 1.0
    feet = abs(abs(x - cx) - w * 0.2) < w * 0.08 and h * 0.78 < y < h * 0.95
    return body or head or feet


def light(w, h, x, y):
    """Lighting from the top left, 0..1."""
    cx, cy = (w - 1) / 2, (h - 1) / 2
    nx, ny = (x - cx) / (w / 2), (y - cy) / (h / 2)
    return max(0.0, min(1.0, 0.65 - 0.45 * nx - 0.45 * ny))


def keyed_sprite(w, h, kind):
    pixels = [KEY] * (w * h)
    shades = ramp(0.10, 0.15, 0.45, 0.55, 0.85, 1.0, 24)
    flat = [rgb(4, 10, 20), rgb(10, 30, 28), rgb(20, 50, 30), rgb(28, 60, 31)]
    accents = [rgb(31, 20, 4), rgb(31, 50, 8), rgb(25, 8, 6), rgb(8, 40, 8)]
    outline = rgb(2, 4, 6)
    for y in range(h):
        for x in range(w):
            if not blob(w, h, x, y):
                continue
            edge = any(not blob(w, h, x + dx, y + dy) or not (0 <= x + dx < w and 0 <= y + dy < h)
                       for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            t = light(w, h, x, y)
            if edge:
                c = outline
            elif kind == "outlined":
                c = flat[min(3, int(t * 4))]
                if (x * 7 + y * 3) % 29 == 0:
                    c = accents[(x + y) % 4]
            elif kind == "shaded":
                c = shades[min(23, int(t * 23 + (rnd() % 3 - 1) * 0.6))]
            else:  # dithered: two shades in an ordered pattern
                level = t * 15
                bayer = (0, 2, 3, 1)[(x & 1) * 2 + (y & 1)] / 4
                c = shades[min(23, int(level + bayer) + 4)]
                if rnd() % 23 == 0:
                    c = accents[rnd() % 4]
            pixels[y * w + x] = c
    # Eyes: two small flat areas.
    for ex in (0.40, 0.60):
        for y in range(int(h * 0.20), int(h * 0.27) + 1):
            for x in range(int(w * ex) - 1, int(w * ex) + 1):
                pixels[y * w + x] = rgb(31, 63, 31) if y % 3 else outline
    return pixels, None


def alpha_sprite(w, h):
    pixels = [0] * (w * h)
    alpha = [0] * (w * h)
    shades = ramp(0.45, 0.10, 0.10, 1.0, 0.80, 0.40, 20)
    rim = rgb(12, 8, 4)
    shadow = rgb(0, 0, 2)
    cx, cy, r = w * 0.45, h * 0.42, w * 0.34
    for y in range(h):
        for x in range(w):
            # Coverage of the disc by 4x4 samples, 0..16, as 0..32.
            inside = 0
            for sy in range(4):
                for sx in range(4):
                    px, py = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
                    inside += (px - cx) ** 2 + (py - cy) ** 2 <= r * r
            a = inside * 2
            if a == 32:
                t = light(w, h, x, y)
                pixels[y * w + x] = shades[min(19, int(t * 19))]
                alpha[y * w + x] = 32
                continue
            if a > 0:
                pixels[y * w + x] = rim
                alpha[y * w + x] = a
                continue
            # The soft shadow below and to the right: an ellipse fading out.
            u, v = (x - cx - w * 0.10) / (w * 0.42), (y - cy - h * 0.40) / (h * 0.14)
            d = u * u + v * v
            if d < 1.0:
                pixels[y * w + x] = shadow
                alpha[y * w + x] = max(0, min(16, int((1.0 - d) * 17)))
    return pixels, alpha


def background(w, h):
    pixels = [0] * (w * h)
    sky = ramp(0.35, 0.55, 0.95, 0.85, 0.92, 1.0, 12)
    hills = [rgb(6, 30, 8), rgb(8, 38, 10), rgb(10, 44, 12)]
    ground = ramp(0.40, 0.28, 0.12, 0.62, 0.48, 0.25, 8)
    for y in range(h):
        for x in range(w):
            hill = h * 0.55 + 10 * math.sin(x / 17.0) + 6 * math.sin(x / 7.3 + 1)
            if y < hill:
                c = sky[min(11, y * 12 // int(h * 0.7))]
                if 20 < y < 34 and (x // 24) % 3 == 0 and (x + y) % 5:
                    c = rgb(31, 63, 31)  # clouds
            elif y < h * 0.75:
                c = hills[(x // 11 + y // 7) % 3]
            else:
                tile = ((x // 16) + (y // 8)) % 2
                c = ground[(tile * 4 + (x * 3 + y * 5) % 4)]
            pixels[y * w + x] = c
    return pixels, None


def ui_panel(w, h):
    pixels = [KEY] * (w * h)
    face = rgb(22, 44, 22)
    dark = rgb(10, 20, 10)
    light_edge = rgb(28, 56, 28)
    title = ramp(0.10, 0.20, 0.50, 0.30, 0.55, 0.90, 16)
    text = rgb(2, 4, 2)
    for y in range(h):
        for x in range(w):
            # Rounded corners of radius 8 stay transparent.
            cx = min(x, w - 1 - x)
            cy = min(y, h - 1 - y)
            if cx < 8 and cy < 8 and (8 - cx) ** 2 + (8 - cy) ** 2 > 64:
                continue
            if cx < 2 or cy < 2:
                c = dark if (x > w // 2) == (y > h // 2) else light_edge
            elif y < 22:
                c = title[min(15, x * 16 // w)]
                if 6 < y < 16 and 12 < x < 120 and (x // 3 + y) % 4 == 0:
                    c = text
            else:
                c = face
                # Buttons: flat boxes with a border, and lines of "text".
                bx, by = (x - 16) % 100, (y - 40) % 60
                if 0 <= x - 16 < 290 and y > 40 and bx < 84 and by < 36:
                    c = dark if bx in (0, 83) or by in (0, 35) else light_edge
                    if 12 < by < 24 and 10 < bx < 70 and (x * 5 + y * 3) % 7 < 3:
                        c = text
            pixels[y * w + x] = c
    return pixels, None


SPRITES = [
    ("outlined32", 32, 32, lambda: keyed_sprite(32, 32, "outlined"), "KEYED"),
    ("shaded32", 32, 32, lambda: keyed_sprite(32, 32, "shaded"), "KEYED"),
    ("dithered32", 32, 32, lambda: keyed_sprite(32, 32, "dithered"), "KEYED"),
    ("outlined64", 64, 64, lambda: keyed_sprite(64, 64, "outlined"), "KEYED"),
    ("shaded64", 64, 64, lambda: keyed_sprite(64, 64, "shaded"), "KEYED"),
    ("dithered64", 64, 64, lambda: keyed_sprite(64, 64, "dithered"), "KEYED"),
    ("alpha32", 32, 32, lambda: alpha_sprite(32, 32), "ALPHA"),
    ("alpha64", 64, 64, lambda: alpha_sprite(64, 64), "ALPHA"),
    ("background", 240, 135, lambda: background(240, 135), "OPAQUE"),
    ("panel", 320, 240, lambda: ui_panel(320, 240), "KEYED"),
]


def main():
    out = sys.argv[1]
    odd = 1 if len(sys.argv) > 2 and sys.argv[2] == "odd" else 0
    os.makedirs(out, exist_ok=True)
    table = []
    for name, w, h, make, kind in SPRITES:
        pixels, alpha = make()
        write_bmp(os.path.join(out, name + ".bmp"), w, h, pixels, alpha)
        write_array(os.path.join(out, name + "_raw.inc"), pixels)
        if alpha is not None:
            write_array(os.path.join(out, name + "_alpha.inc"), alpha)
        table.append((name, w, h, kind, alpha is not None))
    with open(os.path.join(out, "sprites.h"), "w") as f:
        f.write("/* Written by make_sprites.py. */\n")
        for name, w, h, kind, has_alpha in table:
            # The file's bytes from a word boundary, or from the byte after
            # one, so that its palette lies at an odd address.
            f.write("static const uint8_t %s_rle[] __attribute__((aligned(4))) = {\n%s"
                    "#include \"%s_rle.inc\"\n};\n" % (name, "0,\n" if odd else "", name))
            f.write("static const uint16_t %s_raw[] = {\n#include \"%s_raw.inc\"\n};\n" %
                    (name, name))
            if has_alpha:
                f.write("static const uint8_t %s_alpha[] = {\n#include \"%s_alpha.inc\"\n};\n" %
                        (name, name))
        f.write("static const bench_sprite bench_sprites[] = {\n")
        for name, w, h, kind, has_alpha in table:
            f.write("    {\"%s\", %d, %d, %s, %s_rle + %d, sizeof %s_rle - %d, %s_raw, %s},\n" %
                    (name, w, h, kind, name, odd, name, odd, name,
                     name + "_alpha" if has_alpha else "0"))
        f.write("};\n")
    print(" ".join(name for name, *_ in SPRITES))


if __name__ == "__main__":
    main()
