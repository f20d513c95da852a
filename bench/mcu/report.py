#!/usr/bin/env python3
"""The table of bench/run_mcu from the runs' lines, the objects' sizes and
GCC's call graphs with stack use (-fcallgraph-info=su).

    report.py OUT_DIR BUILD...

Exit status 1 when a frame differs, the calibration is off or a run did not
finish."""
import glob
import os
import re
import sys

INSTRUCTIONS_PER_TICK = 40
PLACES = ["inside", "left", "right", "top", "bottom"]
GROUPS = [
    ("colour key, 32x32 and 64x64", ["outlined32", "shaded32", "dithered32", "outlined64",
                                      "shaded64", "dithered64"]),
    ("alpha, 32x32 and 64x64", ["alpha32", "alpha64"]),
    ("background 240x135, row copy", ["background"]),
    ("UI panel 320x240, colour key", ["panel"]),
]


def read_run(path):
    draws, opens, strips, ok = {}, {}, None, True
    finished = False
    for line in open(path):
        f = line.split()
        if not f:
            continue
        if f[0] == "calibrate":
            n, ticks = int(f[1]), int(f[2])
            if ticks * INSTRUCTIONS_PER_TICK != 2 * n:
                print("calibration off: %d iterations, %d ticks" % (n, ticks))
                ok = False
        elif f[0] == "draw":
            name, place = f[1], f[2]
            visible, reps, rle, raw, same = map(int, f[3:8])
            draws[(name, place)] = (visible, rle / reps, raw / reps, same)
            if not same:
                print("frames differ: %s %s" % (name, place))
                ok = False
        elif f[0] == "open":
            opens[f[1]] = int(f[3]) / int(f[2])
        elif f[0] == "strips":
            reps, whole, bands, same = map(int, f[2:6])
            strips = (whole / reps, bands / reps, same)
            ok = ok and same == 1
        elif f[0] == "done":
            finished = True
            ok = ok and int(f[1]) == 0
    return draws, opens, strips, ok and finished


def stack_use(directory):
    """The deepest stack of rle565_draw and of rle565_sprite_open, across the
    runtime's objects, and each painter's own path."""
    sizes, edges = {}, {}

    def key(title):
        # Local functions are named with their file in front.
        return title.rsplit(":", 1)[-1] if title.startswith("/") else title

    for path in glob.glob(os.path.join(directory, "runtime-*.ci")):
        text = open(path).read()
        for title, label in re.findall(r'node: \{ title: "([^"]+)" label: "([^"]*)"', text):
            m = re.search(r"(\d+) bytes \((static|dynamic)", label)
            if m:
                sizes[key(title)] = (int(m.group(1)), label.split("\\n")[0])
        for a, b in re.findall(r'edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)"', text):
            edges.setdefault(key(a), set()).add(key(b))

    def deepest(node, seen=()):
        if node in seen:
            return 0
        own = sizes.get(node, (0, ""))[0]
        return own + max([deepest(n, seen + (node,)) for n in edges.get(node, ())] or [0])

    result = {"draw": deepest("rle565_draw"), "draw_ex": deepest("rle565_draw_ex"),
              "open": deepest("rle565_sprite_open")}
    # Each painter's own path: from rle565_draw through rle565_draw_ex to the
    # painting function of its mode, with a table of its own or without one
    # (a prepared palette, or the file's palette for colour-key sprites).
    base = sizes["rle565_draw"][0] + sizes.get("rle565_draw_ex", (0, ""))[0]
    for title, (size, label) in sizes.items():
        m = re.search(r"Mode::(\w+);", label)
        if not m or "bSwap = false" not in label:
            continue
        if "paintResolving" in label:
            result[m.group(1)] = base + deepest(title)
        elif "paintWith" in label:
            result[m.group(1) + " without table"] = base + deepest(title)
    return result


def text_size(directory, name="size.txt"):
    """The text (code and read-only data) of the objects a size listing names,
    or None when there is none."""
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        return None
    total = 0
    for line in open(path).readlines()[1:]:
        total += int(line.split()[0])
    return total


def main():
    out, builds = sys.argv[1], sys.argv[2:]
    ok = True
    for build in builds:
        directory = os.path.join(out, build)
        draws, opens, strips, sound = read_run(os.path.join(directory, "run.txt"))
        ok = ok and sound
        print("\n### %s\n" % build)
        print("Instructions per visible pixel, rle565 / raw loop (rle565's own figure in "
              "brackets):\n")
        print("| sprites | " + " | ".join(PLACES) + " |")
        print("|---|" + "---|" * len(PLACES))
        for title, names in GROUPS:
            cells = []
            for place in PLACES:
                rows = [draws[(n, place)] for n in names if (n, place) in draws]
                if not rows:
                    cells.append("")
                    continue
                visible = sum(r[0] for r in rows)
                rle = sum(r[1] for r in rows)
                raw = sum(r[2] for r in rows)
                cells.append("%.2f (%.1f)" % (rle / raw, rle / visible))
            print("| %s | %s |" % (title, " | ".join(cells)))
        print("\nPer sprite, rle565 / raw:\n")
        print("| sprite | " + " | ".join(PLACES) + " | open, in draws inside |")
        print("|---|" + "---|" * (len(PLACES) + 1))
        for title, names in GROUPS:
            for n in names:
                cells = ["%.2f" % (draws[(n, p)][1] / draws[(n, p)][2]) for p in PLACES
                         if (n, p) in draws]
                open_cost = opens.get(n, 0) / draws[(n, "inside")][1] if (n, "inside") in draws \
                    else 0
                print("| %s | %s | %.2f |" % (n, " | ".join(cells), open_cost))
        if strips:
            print("\nA scene of six sprites drawn whole: %d instructions; in 15 bands of "
                  "320x16: %d (%.2fx), frames %s." %
                  (strips[0], strips[1], strips[1] / strips[0],
                   "identical" if strips[2] else "DIFFERENT"))
        stack = stack_use(directory)
        modes = ", ".join("%s %d" % (m.lower(), stack[m])
                          for m in ("COPY without table", "COPY", "BLEND without table", "BLEND",
                                    "ALPHA without table", "ALPHA") if m in stack)
        print("\nStack, deepest path: rle565_draw %d bytes%s; rle565_draw_ex %d bytes; "
              "rle565_sprite_open %d bytes. Runtime text: %d bytes." %
              (stack["draw"], " (" + modes + ")" if modes else "", stack["draw_ex"],
               stack["open"], text_size(directory)))
        linked = [(entry, text_size(directory, "size-%s.txt" % entry))
                  for entry in ("rle565_draw", "rle565_draw_ex")]
        if all(size is not None for _, size in linked):
            print("Linked with --gc-sections, a firmware takes %s." %
                  " and ".join("%d bytes with rle565_sprite_open and %s" % (size, entry)
                               for entry, size in linked))
    print("\nframes: %s" % ("all identical" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
