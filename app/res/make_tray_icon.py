#!/usr/bin/env python3
"""Draw the QuarnVelmora tray icon and write it as tray_icon.ico.

Usage: make_tray_icon.py [OUTPUT.ico] [--png PREVIEW.png] [--scale N]

The PNG preview shows every size side by side.

The icon is generated rather than hand-drawn so it can be rebuilt and
tweaked without an image editor.  Only the standard library is used.
"""

import argparse
import math
import os
import struct
import sys
import zlib

SIZE = 32          # the design's own grid; every image is drawn from it
# The notification area shows the small-icon size of the display's scaling (16 px at
# 100 %, 20 at 125 %, 24 at 150 %, 32 at 200 %, 40 at 250 %); 48 serves the large size.
# Each gets an image of its own: one scaled by the shell is blurred.
SIZES = (16, 20, 24, 32, 40, 48)
SUPERSAMPLE = 4    # 4x4 samples per pixel gives cheap anti-aliasing

# Colours as (r, g, b).
OUTLINE = (0x2B, 0x36, 0x45)
CARD = (0xF4, 0xF6, 0xF9)
CHIP = (0xE8, 0xB8, 0x30)
CHIP_EDGE = (0x8A, 0x63, 0x0C)
EJECT = (0x16, 0x6F, 0xD8)
HALO = (0xFF, 0xFF, 0xFF)


# --- signed distance helpers (negative inside) -----------------------------

def sd_round_box(x, y, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r
    qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def sd_half_plane(x, y, nx, ny, d):
    # Plane n.p = d with unit normal n pointing outwards.
    return x * nx + y * ny - d


def sd_convex(x, y, planes):
    return max(sd_half_plane(x, y, *p) for p in planes)


def planes_from_polygon(pts):
    """Outward half-planes of a convex polygon given clockwise on screen."""
    out = []
    n = len(pts)
    for i in range(n):
        (ax, ay), (bx, by) = pts[i], pts[(i + 1) % n]
        ex, ey = bx - ax, by - ay
        length = math.hypot(ex, ey)
        nx, ny = ey / length, -ex / length
        out.append((nx, ny, nx * ax + ny * ay))
    return out


# --- shapes ----------------------------------------------------------------

# Portrait card in the upper-left, top-right corner clipped like a real SIM.
CARD_BOX = (2.0, 1.0, 23.0, 29.0)
CARD_RADIUS = 2.0
CARD_CUT = 8.0
CARD_LINE = 2.0


def sd_card(x, y):
    box = sd_round_box(x, y, *CARD_BOX, CARD_RADIUS)
    # Clip the corner: x - y <= x1 - y0 - cut.
    k = 1.0 / math.sqrt(2.0)
    d = (CARD_BOX[2] - CARD_BOX[1] - CARD_CUT) * k
    cut = sd_half_plane(x, y, k, -k, d)
    return max(box, cut)


CHIP_BOX = (6.0, 9.0, 19.0, 21.0)


def sd_chip(x, y):
    return sd_round_box(x, y, *CHIP_BOX, 1.5)


def chip_line(x, y):
    """Contact separators: one horizontal, two vertical lines of the pad."""
    x0, y0, x1, y1 = CHIP_BOX
    w = 0.7  # half line width, wide enough to survive 16 px
    midy = (y0 + y1) / 2.0
    third = (x1 - x0) / 3.0
    on_h = abs(y - midy) <= w
    on_v = abs(x - (x0 + third)) <= w or abs(x - (x0 + 2 * third)) <= w
    return on_h or on_v


# Eject mark in the lower-right, overlapping the card's corner.
TRI = planes_from_polygon([(23.5, 15.0), (31.0, 23.0), (16.0, 23.0)])
BAR = (16.0, 26.0, 31.0, 30.0)
HALO_WIDTH = 1.6


def sd_eject(x, y):
    tri = sd_convex(x, y, TRI)
    bar = sd_round_box(x, y, *BAR, 0.6)
    return min(tri, bar)


# --- rendering ---------------------------------------------------------------

def sample(x, y):
    """Colour and alpha of one sub-sample, painting back to front."""
    rgb, a = (0, 0, 0), 0.0
    dc = sd_card(x, y)
    if dc <= 0.0:
        a = 1.0
        rgb = OUTLINE if dc > -CARD_LINE else CARD
        dchip = sd_chip(x, y)
        if dchip <= 0.0:
            if dchip > -1.1 or chip_line(x, y):
                rgb = CHIP_EDGE
            else:
                rgb = CHIP
    de = sd_eject(x, y)
    if de <= 0.0:
        rgb, a = EJECT, 1.0
    elif de <= HALO_WIDTH:
        # White ring separates the mark from the card outline behind it.
        rgb, a = HALO, 1.0
    return rgb, a


def render(size=SIZE, ss=SUPERSAMPLE):
    """Return rows (top to bottom) of (r, g, b, a) tuples, straight alpha."""
    scale = SIZE / float(size)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            alpha = 0.0
            for sy in range(ss):
                for sx in range(ss):
                    x = (px + (sx + 0.5) / ss) * scale
                    y = (py + (sy + 0.5) / ss) * scale
                    (r, g, b), a = sample(x, y)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    alpha += a
            n = ss * ss
            if alpha > 0.0:
                col = tuple(int(round(c / alpha)) for c in acc)
            else:
                col = (0, 0, 0)
            row.append(col + (int(round(alpha / n * 255)),))
        rows.append(row)
    return rows


# --- writers -----------------------------------------------------------------

def dib_bytes(rows):
    """One 32bpp image in the classic BMP form every LoadIcon accepts."""
    h = len(rows)
    w = len(rows[0])
    xor = bytearray()
    for row in reversed(rows):  # DIBs are stored bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px[3] == 0:  # 1 = transparent for pre-alpha renderers
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    # Height is doubled because the header covers XOR plus AND bitmaps.
    header = struct.pack('<IiiHHIIiiII', 40, w, h * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def ico_bytes(images):
    """An icon file holding one image per size, smallest first."""
    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b'', b''
    for rows in images:
        image = dib_bytes(rows)
        w, h = len(rows[0]), len(rows)
        entries += struct.pack('<BBBBHHII', w % 256, h % 256, 0, 0, 1, 32,
                               len(image), offset + len(data))
        data += image
    return directory + entries + data


def png_bytes(rows, scale=1):
    h = len(rows) * scale
    w = len(rows[0]) * scale
    raw = bytearray()
    for row in rows:
        line = bytearray(b'\x00')  # filter type none
        for px in row:
            line += bytes(px) * scale
        raw += bytes(line) * scale

    def chunk(tag, data):
        body = tag + data
        return (struct.pack('>I', len(data)) + body
                + struct.pack('>I', zlib.crc32(body) & 0xFFFFFFFF))

    ihdr = struct.pack('>IIBBBBB', w, h, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', ihdr)
            + chunk(b'IDAT', zlib.compress(bytes(raw), 9))
            + chunk(b'IEND', b''))


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument('output', nargs='?',
                    default=os.path.join(here, 'tray_icon.ico'))
    ap.add_argument('--png', help='also write a PNG preview here')
    ap.add_argument('--scale', type=int, default=8,
                    help='nearest-neighbour zoom of the PNG preview')
    args = ap.parse_args(argv)

    images = [render(size) for size in SIZES]
    with open(args.output, 'wb') as f:
        f.write(ico_bytes(images))
    if args.png:
        # Every size side by side, each zoomed by the same factor.
        height = SIZES[-1]
        strip = [[] for _ in range(height)]
        for rows in images:
            for y in range(height):
                strip[y] += rows[y] if y < len(rows) else [(0, 0, 0, 0)] * len(rows[0])
                strip[y] += [(0, 0, 0, 0)] * 4
        with open(args.png, 'wb') as f:
            f.write(png_bytes(strip, max(1, args.scale)))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
