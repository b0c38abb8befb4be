#!/usr/bin/env python3
"""Rasterises icon.json into updater.ico: one PNG image per size, each
drawn with 4x4 supersampling. Standard library only.

usage: make_icon.py [icon.json] [updater.ico]
"""
import json
import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def inside_rounded_square(x, y, inset, radius):
    lo, hi = inset, 1.0 - inset
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return lo <= x <= hi and lo <= y <= hi and (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_ring(x, y, ring):
    dx, dy = x - ring["center"][0], y - ring["center"][1]
    distance = math.hypot(dx, dy)
    if abs(distance - ring["radius"]) > ring["width"] / 2:
        return False
    angle = math.degrees(math.atan2(-dy, dx)) % 360
    start, end = ring["gap_degrees"]
    return not (start <= angle <= end)


def inside_triangle(x, y, points):
    (ax, ay), (bx, by), (cx, cy) = points

    def side(px, py, qx, qy):
        return (x - qx) * (py - qy) - (px - qx) * (y - qy)

    d1, d2, d3 = side(ax, ay, bx, by), side(bx, by, cx, cy), side(cx, cy, ax, ay)
    return not ((d1 < 0 or d2 < 0 or d3 < 0) and (d1 > 0 or d2 > 0 or d3 > 0))


def color_at(x, y, icon):
    for shape, test in (("arrow_head", lambda: inside_triangle(x, y, icon["arrow_head"]["points"])),
                        ("ring", lambda: inside_ring(x, y, icon["ring"]))):
        if test():
            return icon[shape]["color"]
    tile = icon["tile"]
    if inside_rounded_square(x, y, tile["inset"], tile["radius"]):
        return tile["color"]
    return [0, 0, 0, 0]


def render(size, icon, samples=4):
    rows = []
    for py in range(size):
        row = bytearray([0])  # PNG filter type: none
        for px in range(size):
            total = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = color_at((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size, icon)
                    alpha = c[3]
                    total[0] += c[0] * alpha
                    total[1] += c[1] * alpha
                    total[2] += c[2] * alpha
                    total[3] += alpha
            a = total[3]
            pixel = [round(total[i] / a) if a else 0 for i in range(3)] + [round(a / samples ** 2)]
            row += bytes(pixel)
        rows.append(bytes(row))
    return png(size, b"".join(rows))


def png(size, raw):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def ico(images):
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, data = b"", b""
    for size, image in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    return header + entries + data


def main():
    source = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "icon.json")
    target = sys.argv[2] if len(sys.argv) > 2 else os.path.join(HERE, "updater.ico")
    with open(source) as f:
        icon = json.load(f)
    images = [(size, render(size, icon)) for size in icon["sizes"]]
    with open(target, "wb") as f:
        f.write(ico(images))
    print("%s: %d images (%s)" % (target, len(images), ", ".join(str(s) for s, _ in images)))


main()
