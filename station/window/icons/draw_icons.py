#!/usr/bin/env python3
"""Draws the window's pictures (flags, about button, station icon) as PNG files.

Run from this folder; the PNG files are committed, so a build never needs Python."""
import math
import struct
import zlib


def png(name, width, height, pixel):
    rows = b""
    for y in range(height):
        rows += b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(width))
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    data = (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
    with open(name, "wb") as f:
        f.write(data)


CLEAR = (0, 0, 0, 0)
WHITE = (255, 255, 255, 255)
RED = (200, 16, 46, 255)
BLUE = (1, 33, 105, 255)
RU_BLUE = (0, 57, 166, 255)
RU_RED = (213, 43, 30, 255)
BORDER = (90, 90, 90, 255)


def flag(inner):
    """16x16 picture: an 11-pixel-high flag with a grey frame, centred."""
    def pixel(x, y):
        top, bottom = 2, 13
        if y < top or y > bottom:
            return CLEAR
        if x in (0, 15) or y in (top, bottom):
            return BORDER
        return inner((x - 1) / 14.0, (y - top - 1) / 10.0)
    return pixel


def english(u, v):
    # Blue field, white and red saltire, white-edged red cross.
    dx, dy = u - 0.5, v - 0.5
    if abs(dx) < 0.09 or abs(dy) < 0.12:
        return RED
    if abs(dx) < 0.16 or abs(dy) < 0.24:
        return WHITE
    if abs(abs(dx) * 10 / 14 - abs(dy) * 1.0) < 0.06:
        return RED
    if abs(abs(dx) * 10 / 14 - abs(dy) * 1.0) < 0.13:
        return WHITE
    return BLUE


def russian(u, v):
    return WHITE if v < 1 / 3 else RU_BLUE if v < 2 / 3 else RU_RED


def about(x, y):
    cx, cy, r = 7.5, 7.5, 7.2
    d = math.hypot(x - cx, y - cy)
    if d > r:
        return CLEAR
    if x in (7, 8) and (y in (3, 4) or 6 <= y <= 12):
        return WHITE
    return (40, 110, 200, 255)


def station(size):
    def pixel(x, y):
        s = size / 32.0
        cx, cy = 16 * s, 20 * s
        d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
        ang = math.degrees(math.atan2(cy - (y + 0.5), x + 0.5 - cx))
        # Mast, and three arcs of waves above it.
        if abs(x + 0.5 - cx) < 1.6 * s and cy - 2 * s < y + 0.5 < 30 * s:
            return (50, 50, 60, 255)
        if d < 3 * s:
            return (220, 60, 40, 255)
        if 45 < ang < 135:
            for radius in (7, 12, 17):
                if abs(d - radius * s) < 1.4 * s:
                    return (30, 120, 210, 255)
        return CLEAR
    return pixel


def station_svg(name):
    """The station icon drawn as above, as a scalable picture for the icon theme."""
    c = math.cos(math.radians(45))
    arcs = "".join(
        '<path d="M%.3f %.3fA%d %d 0 0 0 %.3f %.3f"/>' % (16 + r * c, 20 - r * c, r, r,
                                                         16 - r * c, 20 - r * c)
        for r in (7, 12, 17))
    with open(name, "w") as f:
        f.write('<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" '
                'viewBox="0 0 32 32">'
                '<g fill="none" stroke="#1e78d2" stroke-width="2.8">' + arcs + '</g>'
                '<circle cx="16" cy="20" r="3" fill="#dc3c28"/>'
                '<rect x="14.4" y="18" width="3.2" height="12" fill="#32323c"/></svg>\n')


png("flag_en.png", 16, 16, flag(english))
png("flag_ru.png", 16, 16, flag(russian))
png("about.png", 16, 16, about)
png("station16.png", 16, 16, station(16))
png("station32.png", 32, 32, station(32))
png("station64.png", 64, 64, station(64))
station_svg("station.svg")
