#!/usr/bin/env python3
"""Draws the bleepforge icon, a sound chip with a square wave on its lid, from
the pixel map below: bleepforge.svg and PNGs at 16, 32, 48 and 256 pixels.
Run it here after changing the map; its outputs are committed."""
import struct
import zlib

PIXELS = [
    "................",
    "....p.p.p.p.....",
    "....p.p.p.p.....",
    "...eeeeeeeee....",
    ".ppembbbbbbbpp..",
    "...ebbbbbbbb....",
    ".ppebbwwwwbbpp..",
    "...ebbwbbwbb....",
    ".ppebbwbbwbbpp..",
    "...ewwwbbwwb....",
    ".ppebbbbbbbbpp..",
    "...ebbbbbbbb....",
    "....p.p.p.p.....",
    "....p.p.p.p.....",
    "................",
    "................",
]
COLOURS = {
    "p": (0xB0, 0xBE, 0xC5),  # pins
    "e": (0x45, 0x5A, 0x64),  # lit edge of the package
    "b": (0x26, 0x32, 0x38),  # package
    "m": (0x90, 0xA4, 0xAE),  # pin-1 mark
    "w": (0x69, 0xF0, 0xAE),  # the square wave
}


def write_png(path, scale):
    rows = []
    for line in PIXELS:
        row = bytearray([0])  # filter: none
        for ch in line:
            rgba = COLOURS[ch] + (255,) if ch in COLOURS else (0, 0, 0, 0)
            row += bytes(rgba) * scale
        rows += [bytes(row)] * scale
    size = 16 * scale

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(b"".join(rows), 9)))
        out.write(chunk(b"IEND", b""))


def write_svg(path):
    rects = []
    for y, line in enumerate(PIXELS):
        x = 0
        while x < 16:
            ch = line[x]
            end = x
            while end < 16 and line[end] == ch:
                end += 1
            if ch in COLOURS:
                r, g, b = COLOURS[ch]
                rects.append(f'  <rect x="{x}" y="{y}" width="{end - x}" height="1" fill="#{r:02x}{g:02x}{b:02x}"/>')
            x = end
    with open(path, "w") as out:
        out.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        out.write("<!-- bleepforge: a sound chip with a square wave on its lid (made by draw_icon.py) -->\n")
        out.write('<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 16 16" '
                  'shape-rendering="crispEdges">\n')
        out.write("\n".join(rects) + "\n</svg>\n")


assert len(PIXELS) == 16 and all(len(line) == 16 for line in PIXELS)
for size in (16, 32, 48, 256):
    write_png(f"bleepforge-{size}.png", size // 16)
write_svg("bleepforge.svg")
