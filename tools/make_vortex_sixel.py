#!/usr/bin/env python3
"""Draws the door's backdrop picture, a vortex, and writes it as sixel graphics.

    tools/make_vortex_sixel.py [OUTPUT]     (default: demo/vortex.sixel)

Standard library only. The picture is 640x360 pixels in 16 colours, encoded with
run-length compression, one colour pass per line so that no line gets long: the door
sends the file line by line. Run it again after changing the drawing, and commit the
script and the picture together.
"""

import math
import os
import sys

WIDTH = 640
HEIGHT = 360  # a multiple of 6: whole sixel bands

# Dark space through violet and magenta to a hot cyan-white core, as RGB percentages.
PALETTE = [
    (0, 0, 0),
    (4, 2, 12),
    (8, 4, 22),
    (12, 6, 32),
    (18, 8, 44),
    (26, 10, 54),
    (36, 12, 62),
    (48, 14, 68),
    (60, 18, 72),
    (72, 24, 74),
    (80, 36, 78),
    (70, 52, 86),
    (54, 68, 92),
    (44, 82, 96),
    (70, 92, 98),
    (100, 100, 100),
]

ARMS = 3
TWIST = 4.0  # how tightly the arms wind towards the centre


def level(x, y):
    """Colour index 0..15 of one pixel."""
    cx, cy = WIDTH / 2, HEIGHT / 2
    # Terminal pixels are roughly square; squash the disc a little so it reads as a funnel.
    dx = (x - cx) / (WIDTH * 0.48)
    dy = (y - cy) / (HEIGHT * 0.62)
    r = math.hypot(dx, dy)
    theta = math.atan2(dy, dx)
    arm = 0.5 + 0.5 * math.cos(ARMS * theta + TWIST * math.log(r + 0.02) * 2.0)
    arm = arm ** 1.6
    fade = max(0.0, 1.0 - r) ** 0.8  # dark towards the rim
    glow = math.exp(-(r / 0.12) ** 2)  # bright eye in the middle
    v = 0.12 * fade + 0.78 * arm * fade + glow
    return max(0, min(15, int(v * 15.99)))


def sixel_runs(row_bits):
    """Sixel characters of one colour pass, run-length coded, trailing blanks dropped."""
    end = len(row_bits)
    while end > 0 and row_bits[end - 1] == 0:
        end -= 1
    out = []
    i = 0
    while i < end:
        bits = row_bits[i]
        j = i
        while j < end and row_bits[j] == bits:
            j += 1
        ch = chr(63 + bits)
        n = j - i
        out.append(f"!{n}{ch}" if n > 3 else ch * n)
        i = j
    return "".join(out)


def encode(pixels):
    lines = ['\x1bP0;1;0q"1;1;%d;%d' % (WIDTH, HEIGHT)]
    lines += ["#%d;2;%d;%d;%d" % (i, r, g, b) for i, (r, g, b) in enumerate(PALETTE)]
    for top in range(0, HEIGHT, 6):
        band = pixels[top:top + 6]
        passes = []
        for colour in range(len(PALETTE)):
            bits = [0] * WIDTH
            used = False
            for k, row in enumerate(band):
                for x, c in enumerate(row):
                    if c == colour:
                        bits[x] |= 1 << k
                        used = True
            if used:
                passes.append("#%d%s" % (colour, sixel_runs(bits)))
        # "$" returns to the band's start for the next colour, "-" moves to the next band.
        for i, p in enumerate(passes):
            lines.append(p + ("$" if i < len(passes) - 1 else "-"))
    lines.append("\x1b\\")
    return "\n".join(lines) + "\n"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "demo", "vortex.sixel")
    pixels = [[level(x, y) for x in range(WIDTH)] for y in range(HEIGHT)]
    data = encode(pixels)
    with open(out, "w", encoding="ascii", newline="\n") as f:
        f.write(data)
    longest = max(len(line) for line in data.split("\n"))
    print(f"{out}: {len(data)} bytes, {data.count(chr(10))} lines, longest {longest}")


if __name__ == "__main__":
    main()
