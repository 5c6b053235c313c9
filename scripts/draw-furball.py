#!/usr/bin/python3
"""Draws resources/furball.png: a retro pixel-art furball, 32 x 32 logical pixels shown at 4x.

Flat colours and hard pixel edges keep the PNG tiny, so the 128 x 128 icon rendition fits the
icon budget with room to spare, and the big pixels still read when a file browser draws it small.
Run with Debian's Python (python3-pil):  /usr/bin/python3 scripts/draw-furball.py
"""
import math
import os
import sys

from PIL import Image

GRID = 32
SCALE = 4

CLEAR = (0, 0, 0, 0)
OUTLINE = (92, 46, 26, 255)
FUR_DARK = (196, 98, 45, 255)
FUR = (238, 146, 66, 255)
FUR_LIGHT = (255, 196, 120, 255)
EYE = (40, 24, 30, 255)
SHINE = (255, 255, 255, 255)
BLUSH = (255, 120, 140, 255)
MOUTH = (120, 40, 40, 255)
FEET = (150, 70, 35, 255)

CENTER_X, CENTER_Y = 15.5, 16.0
RADIUS = 11.0


def fur_radius(angle):
    """The body's edge: a circle with tufts, so the outline looks fluffy."""
    tufts = 0.5 + 0.5 * math.cos(angle * 13)
    return RADIUS + 2.2 * tufts ** 4


def body_mask():
    mask = [[False] * GRID for _ in range(GRID)]
    for y in range(GRID):
        for x in range(GRID):
            dx, dy = x + 0.5 - CENTER_X - 0.5, y + 0.5 - CENTER_Y
            if math.hypot(dx, dy) <= fur_radius(math.atan2(dy, dx)):
                mask[y][x] = True
    return mask


def draw():
    grid = [[CLEAR] * GRID for _ in range(GRID)]
    mask = body_mask()
    for y in range(GRID):
        for x in range(GRID):
            if not mask[y][x]:
                continue
            # Light comes from the upper left: a lit cap, a shaded crescent lower right.
            lit = math.hypot(x - CENTER_X + 4.5, y - CENTER_Y + 5.0)
            shade = math.hypot(x - CENTER_X + 2.5, y - CENTER_Y + 2.5)
            grid[y][x] = FUR_LIGHT if lit < 3.6 else FUR_DARK if shade > 12.0 else FUR
    # A few strands of fur.
    for x, y in ((12, 8), (13, 9), (19, 9), (20, 8), (22, 22), (23, 23), (9, 22), (8, 23)):
        if mask[y][x]:
            grid[y][x] = FUR_DARK
    # One-pixel outline around the body.
    for y in range(GRID):
        for x in range(GRID):
            if mask[y][x]:
                continue
            near = any(0 <= y + j < GRID and 0 <= x + i < GRID and mask[y + j][x + i]
                       for i, j in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            if near:
                grid[y][x] = OUTLINE
    # Feet.
    for x in (10, 11, 12, 19, 20, 21):
        grid[29][x] = FEET
        grid[30][x] = OUTLINE
    # Eyes: 3 x 4 with a shine in the upper left.
    for ex in (10, 18):
        for y in range(13, 17):
            for x in range(ex, ex + 3):
                grid[y][x] = EYE
        grid[13][ex] = SHINE
        grid[14][ex] = SHINE
    # Blush and a small smile.
    for bx in (7, 23):
        grid[18][bx] = BLUSH
        grid[18][bx + 1] = BLUSH
    for x, y in ((14, 18), (15, 19), (16, 19), (17, 18)):
        grid[y][x] = MOUTH
    # A sparkle for the retro touch.
    for x, y in ((27, 4), (26, 5), (27, 5), (28, 5), (27, 6)):
        grid[y][x] = FUR_LIGHT

    image = Image.new("RGBA", (GRID * SCALE, GRID * SCALE), CLEAR)
    pixels = image.load()
    for y in range(GRID * SCALE):
        for x in range(GRID * SCALE):
            pixels[x, y] = grid[y // SCALE][x // SCALE]
    return image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources", "furball.png")
    draw().save(target, "PNG", optimize=True)
    print("wrote", os.path.normpath(target))


if __name__ == "__main__":
    main()
