#!/usr/bin/env python3
"""RestoreQz's own background (402): the shared artwork's look with the
product name "Qz" in the header band. Run after scripts/make-art.py:

    python3 scripts/make-art.py restore/res
    python3 restore/res/make-restore-art.py restore/res
"""
import importlib.util
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
art_source = importlib.util.spec_from_file_location(
    "make_art", os.path.join(HERE, "..", "..", "scripts", "make-art.py"))
art = importlib.util.module_from_spec(art_source)
art_source.loader.exec_module(art)

# 5 x 7 glyphs of the product name.
GLYPHS = {
    "Q": ["01110", "10001", "10001", "10001", "10101", "10010", "01101"],
    "z": ["00000", "00000", "11111", "00010", "00100", "01000", "11111"],
}
SCALE = 4
BAND = 64


def name_pixels(text, left, top):
    on = set()
    x0 = left
    for ch in text:
        rows = GLYPHS[ch]
        for gy, row in enumerate(rows):
            for gx, bit in enumerate(row):
                if bit == "1":
                    for dy in range(SCALE):
                        for dx in range(SCALE):
                            on.add((x0 + gx * SCALE + dx, top + gy * SCALE + dy))
        x0 += (len(rows[0]) + 1) * SCALE
    return on


def background(path, w, h):
    letters = name_pixels("Qz", 30, (BAND - 7 * SCALE) // 2)

    def px(x, y):
        if y < BAND:
            if (x, y) in letters:
                return (255, 255, 255, 255)
            return art.mix((28, 84, 150), (52, 120, 196), x / (w - 1)) + (255,)
        if y == BAND:
            return (255, 196, 64, 255)
        return art.mix((250, 252, 255), (222, 235, 246), (y - BAND - 1) / (h - BAND - 2)) + (255,)
    art.png(path, w, h, px)


def main():
    out = sys.argv[1]
    # The size holds the layout: labels x 30..430 from y 85 to 200, the
    # progress bar at (110, 210), the buttons 20 px above the bottom.
    background(os.path.join(out, "402.png"), 480, 320)


if __name__ == "__main__":
    main()
