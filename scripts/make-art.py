#!/usr/bin/env python3
"""Draws the skinned windows' artwork as PNG files (flat look, no outside
tools): button states for three-slice buttons with their masks, a close box,
progress track and fill, a dialog background, a logo and an icon.

Usage: make-art.py <output folder>
The file names are the resource ids the skins use (see the resource lists).
"""
import os
import struct
import sys
import zlib


def png(path, width, height, pixel):
    """Writes an RGBA PNG; pixel(x, y) -> (r, g, b, a)."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(pixel(x, y))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(bytes(rows), 9)))
        f.write(chunk(b"IEND", b""))


def inside_rounded(x, y, w, h, r):
    """Whether the pixel centre lies inside a rectangle with rounded corners."""
    cx = min(max(x + 0.5, r), w - r)
    cy = min(max(y + 0.5, r), h - r)
    return (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= r * r


def on_rounded_edge(x, y, w, h, r):
    """Inside the shape but not inside the shape shrunk by one pixel."""
    if not inside_rounded(x, y, w, h, r):
        return False
    inner = 1 <= x < w - 1 and 1 <= y < h - 1 and inside_rounded(x - 1, y - 1, w - 2, h - 2, max(r - 1, 1))
    return not inner


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def button(path, w, h, top, bottom, border, radius):
    def px(x, y):
        if not inside_rounded(x, y, w, h, radius):
            return (255, 255, 255, 255)  # outside: white, cut away by the mask
        if on_rounded_edge(x, y, w, h, radius):
            return border + (255,)
        return mix(top, bottom, y / max(h - 1, 1)) + (255,)
    png(path, w, h, px)


def mask(path, w, h, radius):
    png(path, w, h, lambda x, y: (0, 0, 0, 255) if inside_rounded(x, y, w, h, radius) else (255, 255, 255, 255))


STATES = {  # up, hover, down, disabled: (top, bottom, border)
    "up": ((250, 252, 255), (205, 222, 240), (74, 112, 158)),
    "over": ((255, 255, 255), (222, 236, 252), (40, 96, 168)),
    "down": ((170, 196, 226), (214, 228, 244), (30, 70, 130)),
    "disabled": ((236, 236, 236), (214, 214, 214), (160, 160, 160)),
}


def three_slice_set(out, ids, w, h, radius, mask_id):
    for state, rid in zip(("up", "over", "down", "disabled"), ids):
        top, bottom, border = STATES[state]
        button(os.path.join(out, f"{rid}.png"), w, h, top, bottom, border, radius)
    mask(os.path.join(out, f"{mask_id}.png"), w, h, radius)


def close_box(out, ids):
    size = 20
    colours = [((120, 140, 160), (255, 255, 255)), ((200, 60, 60), (255, 255, 255)), ((150, 30, 30), (255, 255, 255))]
    for rid, (back, cross) in zip(ids, colours):
        def px(x, y, back=back, cross=cross):
            if not inside_rounded(x, y, size, size, 4):
                return (0, 0, 0, 0)
            d1, d2 = abs(x - y), abs(x + y - (size - 1))
            if 5 <= x <= size - 6 and 5 <= y <= size - 6 and (d1 <= 1 or d2 <= 1):
                return cross + (255,)
            return back + (255,)
        png(os.path.join(out, f"{rid}.png"), size, size, px)


def progress(out, track_id, fill_id, w, h):
    png(os.path.join(out, f"{track_id}.png"), w, h,
        lambda x, y: ((120, 150, 180, 255) if x in (0, w - 1) or y in (0, h - 1) else (236, 242, 248, 255)))
    png(os.path.join(out, f"{fill_id}.png"), w, h,
        lambda x, y: ((120, 150, 180, 255) if x in (0, w - 1) or y in (0, h - 1)
                      else mix((96, 170, 240), (28, 96, 180), y / (h - 1)) + (255,)))


def background(path, w, h):
    def px(x, y):
        if y < 64:
            return mix((28, 84, 150), (52, 120, 196), x / (w - 1)) + (255,)
        if y == 64:
            return (255, 196, 64, 255)
        return mix((250, 252, 255), (222, 235, 246), (y - 65) / (h - 66)) + (255,)
    png(path, w, h, px)


def logo(path, w, h):
    def px(x, y):
        if not inside_rounded(x, y, w, h, 5):
            return (0, 0, 0, 0)
        # a "Q" ring and a bar: simple, readable at small size
        cx, cy, r = h / 2, h / 2, h / 2 - 3
        d = ((x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2) ** 0.5
        if abs(d - r) < 1.6 or (x > cx and abs((x - cx) - (y - cy)) < 1.5 and y > cy):
            return (255, 255, 255, 255)
        if x > h + 2 and h / 2 - 2 <= y <= h / 2 + 1:
            return (255, 196, 64, 255)
        return (28, 84, 150, 255)
    png(path, w, h, px)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    three_slice_set(out, (300, 301, 302, 303), 20, 24, 5, 318)     # small buttons: caps 5, middle 10
    three_slice_set(out, (304, 305, 306, 307), 50, 24, 8, 317)     # wide buttons: caps 10, middle 30
    three_slice_set(out, (312, 313, 315, 314), 33, 24, 8, 316)     # box buttons: caps 13, middle 7
    close_box(out, (309, 310, 311))
    progress(out, 401, 400, 240, 14)
    background(os.path.join(out, "402.png"), 480, 320)
    logo(os.path.join(out, "601.png"), 48, 22)
    logo(os.path.join(out, "128.png"), 48, 48)
    logo(os.path.join(out, "129.png"), 34, 32)


if __name__ == "__main__":
    main()
