#!/usr/bin/env python3
"""Draws the Brindlewick tool bar and menu icons and the application icon.

Only the Python standard library is used.  Every shape is described by a
signed distance function (negative inside); each output pixel is sampled
on a 4x4 grid, so edges come out anti-aliased.  The PNG files are written
next to this script:

    python3 make_icons.py

The application icon comes in the sizes a desktop's hicolor theme looks for,
as brindlewick-<size>.png; packaging/ installs them under the program's id.
"""

import math
import os
import struct
import zlib

SUPERSAMPLE = 4


# ---------------------------------------------------------------------------
# PNG output
# ---------------------------------------------------------------------------

def _chunk(tag, data):
    body = tag + data
    return (struct.pack(">I", len(data)) + body +
            struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF))


def write_png(path, width, height, rgba_rows):
    """rgba_rows: list of rows, each a bytes/bytearray of width*4 bytes."""
    raw = bytearray()
    for row in rgba_rows:
        raw.append(0)  # filter type: none
        raw.extend(row)
    png = bytearray(b"\x89PNG\r\n\x1a\n")
    png += _chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += _chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += _chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


# ---------------------------------------------------------------------------
# Shapes (signed distance functions in pixel units)
# ---------------------------------------------------------------------------

class Shape:
    def __init__(self, dist, bbox):
        self.dist = dist          # (x, y) -> signed distance
        self.bbox = bbox          # (x0, y0, x1, y1)

    def grow(self, r):
        d = self.dist
        x0, y0, x1, y1 = self.bbox
        return Shape(lambda x, y: d(x, y) - r, (x0 - r, y0 - r, x1 + r, y1 + r))

    def __or__(self, other):
        a, b = self.dist, other.dist
        return Shape(lambda x, y: min(a(x, y), b(x, y)),
                     (min(self.bbox[0], other.bbox[0]), min(self.bbox[1], other.bbox[1]),
                      max(self.bbox[2], other.bbox[2]), max(self.bbox[3], other.bbox[3])))

    def __sub__(self, other):
        a, b = self.dist, other.dist
        return Shape(lambda x, y: max(a(x, y), -b(x, y)), self.bbox)

    def __and__(self, other):
        a, b = self.dist, other.dist
        return Shape(lambda x, y: max(a(x, y), b(x, y)),
                     (max(self.bbox[0], other.bbox[0]), max(self.bbox[1], other.bbox[1]),
                      min(self.bbox[2], other.bbox[2]), min(self.bbox[3], other.bbox[3])))


def box(x0, y0, x1, y1, r=0.0):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r

    def d(x, y):
        qx = abs(x - cx) - hx
        qy = abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        inside = min(max(qx, qy), 0.0)
        return outside + inside - r
    return Shape(d, (x0, y0, x1, y1))


def circle(cx, cy, r):
    return Shape(lambda x, y: math.hypot(x - cx, y - cy) - r,
                 (cx - r, cy - r, cx + r, cy + r))


def segment(ax, ay, bx, by, width):
    half = width / 2.0
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy

    def d(x, y):
        px, py = x - ax, y - ay
        t = 0.0 if length2 == 0 else max(0.0, min(1.0, (px * dx + py * dy) / length2))
        return math.hypot(px - dx * t, py - dy * t) - half
    return Shape(d, (min(ax, bx) - half, min(ay, by) - half,
                     max(ax, bx) + half, max(ay, by) + half))


def polygon(points):
    pts = list(points)
    n = len(pts)

    def d(x, y):
        best = float("inf")
        sign = 1.0
        j = n - 1
        for i in range(n):
            xi, yi = pts[i]
            xj, yj = pts[j]
            ex, ey = xj - xi, yj - yi
            wx, wy = x - xi, y - yi
            l2 = ex * ex + ey * ey
            t = max(0.0, min(1.0, (wx * ex + wy * ey) / l2)) if l2 else 0.0
            bx, by = wx - ex * t, wy - ey * t
            best = min(best, bx * bx + by * by)
            c1 = y >= yi
            c2 = y < yj
            c3 = ex * wy > ey * wx
            if (c1 and c2 and c3) or (not c1 and not c2 and not c3):
                sign = -sign
            j = i
        return sign * math.sqrt(best)
    xs = [p[0] for p in pts]
    ys = [p[1] for p in pts]
    return Shape(d, (min(xs), min(ys), max(xs), max(ys)))


def ring(cx, cy, r, width):
    half = width / 2.0
    return Shape(lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - half,
                 (cx - r - half, cy - r - half, cx + r + half, cy + r + half))


# ---------------------------------------------------------------------------
# Colours
# ---------------------------------------------------------------------------

def rgb(hexstr, alpha=1.0):
    hexstr = hexstr.lstrip("#")
    return (int(hexstr[0:2], 16) / 255.0, int(hexstr[2:4], 16) / 255.0,
            int(hexstr[4:6], 16) / 255.0, alpha)


def vgradient(y0, c0, y1, c1):
    """Vertical linear gradient from c0 at y0 to c1 at y1."""
    def colour(x, y):
        t = 0.0 if y1 == y0 else max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(c0, c1))
    return colour


def rgradient(cx, cy, r, c0, c1):
    """Radial gradient from c0 at (cx, cy) to c1 at distance r."""
    def colour(x, y):
        t = max(0.0, min(1.0, math.hypot(x - cx, y - cy) / r))
        return tuple(a + (b - a) * t for a, b in zip(c0, c1))
    return colour


# ---------------------------------------------------------------------------
# Canvas
# ---------------------------------------------------------------------------

class Canvas:
    def __init__(self, width, height):
        self.w = width
        self.h = height
        # premultiplied RGBA, floats 0..1
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]
        n = SUPERSAMPLE
        self.offsets = [((i + 0.5) / n, (j + 0.5) / n) for j in range(n) for i in range(n)]

    def fill(self, shape, colour):
        x0, y0, x1, y1 = shape.bbox
        ix0 = max(0, int(math.floor(x0)) - 1)
        iy0 = max(0, int(math.floor(y0)) - 1)
        ix1 = min(self.w, int(math.ceil(x1)) + 1)
        iy1 = min(self.h, int(math.ceil(y1)) + 1)
        dist = shape.dist
        samples = float(len(self.offsets))
        for py in range(iy0, iy1):
            for px in range(ix0, ix1):
                # quick reject / accept from the pixel centre
                dc = dist(px + 0.5, py + 0.5)
                if dc > 0.75:
                    continue
                if dc < -0.75:
                    cov = 1.0
                else:
                    hits = 0
                    for ox, oy in self.offsets:
                        if dist(px + ox, py + oy) <= 0.0:
                            hits += 1
                    if not hits:
                        continue
                    cov = hits / samples
                c = colour(px + 0.5, py + 0.5) if callable(colour) else colour
                a = c[3] * cov
                dst = self.px[py * self.w + px]
                k = 1.0 - a
                dst[0] = c[0] * a + dst[0] * k
                dst[1] = c[1] * a + dst[1] * k
                dst[2] = c[2] * a + dst[2] * k
                dst[3] = a + dst[3] * k

    def outlined(self, shape, fill, outline, width):
        """Fill shape with an outline of the given width drawn inside its edge."""
        self.fill(shape, outline)
        self.fill(shape.grow(-width), fill)

    def save(self, path):
        rows = []
        for y in range(self.h):
            row = bytearray()
            for x in range(self.w):
                r, g, b, a = self.px[y * self.w + x]
                if a > 0.0:
                    r, g, b = r / a, g / a, b / a
                row.extend(int(round(max(0.0, min(1.0, v)) * 255)) for v in (r, g, b, a))
            rows.append(row)
        write_png(path, self.w, self.h, rows)


# ---------------------------------------------------------------------------
# Shared pieces
# ---------------------------------------------------------------------------

FRAME = rgb("#2c3e5c")
TITLE_TOP = rgb("#6fa8ff")
TITLE_BOTTOM = rgb("#2f6fd6")
BODY = rgb("#ffffff")
BODY_SHADE = rgb("#dfe6ef")
RED_LIGHT = rgb("#ff6b5e")
RED = rgb("#d8281c")
RED_DARK = rgb("#8c130b")


def small_window(c, x0, y0, x1, y1, title=2):
    """A little application window: dark frame, blue title bar, white body."""
    c.fill(box(x0, y0, x1, y1), FRAME)
    c.fill(box(x0 + 1, y0 + 1, x1 - 1, y0 + 1 + title),
           vgradient(y0 + 1, TITLE_TOP, y0 + 1 + title, TITLE_BOTTOM))
    c.fill(box(x0 + 1, y0 + 1 + title, x1 - 1, y1 - 1),
           vgradient(y0 + 1 + title, BODY, y1 - 1, BODY_SHADE))


def red_cross(c, cx, cy, half, width, outline=1.0):
    arms = (segment(cx - half, cy - half, cx + half, cy + half, width) |
            segment(cx - half, cy + half, cx + half, cy - half, width))
    c.fill(arms.grow(outline), RED_DARK)
    c.fill(arms, vgradient(cy - half, RED_LIGHT, cy + half, RED))


# ---------------------------------------------------------------------------
# The icons
# ---------------------------------------------------------------------------

def tile_window():
    c = Canvas(16, 16)
    for x0 in (0, 9):
        for y0 in (0, 9):
            small_window(c, x0, y0, x0 + 7, y0 + 7, title=2)
    return c


def cascade():
    c = Canvas(24, 24)
    for off in (0, 4, 8):
        small_window(c, 1 + off, 1 + off, 15 + off, 14 + off, title=3)
    return c


def close_window():
    c = Canvas(16, 16)
    small_window(c, 0, 1, 16, 15, title=3)
    red_cross(c, 8.0, 9.5, 3.0, 1.9, outline=0.5)
    return c


def close_windows():
    c = Canvas(24, 24)
    small_window(c, 1, 1, 17, 15, title=3)
    small_window(c, 6, 7, 23, 22, title=3)
    red_cross(c, 14.5, 15.5, 3.6, 2.6, outline=0.9)
    return c


def application_exit():
    c = Canvas(32, 32)
    cx, cy = 16.0, 16.0
    button = circle(cx, cy, 15.0)
    c.fill(button, RED_DARK)
    c.fill(button.grow(-1.2), rgradient(12.0, 10.0, 18.0, RED_LIGHT, RED))
    # power symbol: an open ring with a bar through the gap
    arc = ring(cx, cy + 1.0, 7.5, 2.8) - polygon([(cx, cy + 1.0), (cx - 7.0, cy - 12.0),
                                                  (cx + 7.0, cy - 12.0)])
    bar = segment(cx, cy - 9.0, cx, cy + 0.5, 2.8)
    white = rgb("#ffffff")
    c.fill(arc | bar, white)
    return c


def gear():
    c = Canvas(32, 32)
    cx, cy = 16.0, 16.0
    teeth = 8
    body = circle(cx, cy, 10.0)
    shape = body
    for i in range(teeth):
        a = 2.0 * math.pi * i / teeth
        ux, uy = math.cos(a), math.sin(a)
        vx, vy = -uy, ux
        # a tapered tooth from the rim outwards
        pts = []
        for (along, across) in ((8.0, 3.2), (15.2, 2.2), (15.2, -2.2), (8.0, -3.2)):
            pts.append((cx + ux * along + vx * across, cy + uy * along + vy * across))
        shape = shape | polygon(pts)
    shape = shape - circle(cx, cy, 4.2)
    c.fill(shape, rgb("#3b3f45"))
    c.fill(shape.grow(-1.1), rgradient(12.0, 10.0, 20.0, rgb("#e4e7eb"), rgb("#8a9099")))
    # a darker groove around the hub
    c.fill(ring(cx, cy, 6.8, 1.0), rgb("#6c727b"))
    return c


def play():
    c = Canvas(128, 128)
    # rounded triangle: inner triangle grown by the corner radius
    tri = polygon([(40.0, 26.0), (40.0, 102.0), (102.0, 64.0)]).grow(8.0)
    c.fill(tri, rgb("#1d6b1d"))
    c.fill(tri.grow(-4.0), vgradient(18.0, rgb("#8ee86f"), 110.0, rgb("#259c22")))
    # soft highlight on the upper half
    shine = polygon([(44.0, 30.0), (44.0, 62.0), (92.0, 62.0)]).grow(2.0) & tri.grow(-8.0)
    c.fill(shine, rgb("#ffffff", 0.25))
    return c


def stop():
    c = Canvas(128, 128)
    sq = box(22.0, 22.0, 106.0, 106.0, 14.0)
    c.fill(sq, RED_DARK)
    c.fill(sq.grow(-4.0), vgradient(26.0, RED_LIGHT, 102.0, RED))
    c.fill(box(30.0, 30.0, 98.0, 62.0, 10.0), rgb("#ffffff", 0.18))
    return c


def upload():
    c = Canvas(128, 128)
    # tray: an open box seen from the front
    tray = (box(14.0, 76.0, 114.0, 116.0, 8.0) -
            box(28.0, 60.0, 100.0, 100.0, 4.0))
    c.fill(tray, rgb("#3d4450"))
    c.fill(tray.grow(-3.0), vgradient(76.0, rgb("#c9ced6"), 116.0, rgb("#7d8592")))
    # upward arrow
    arrow = (polygon([(64.0, 8.0), (102.0, 48.0), (78.0, 48.0), (78.0, 92.0),
                      (50.0, 92.0), (50.0, 48.0), (26.0, 48.0)]))
    c.fill(arrow.grow(2.0), rgb("#123a7a"))
    c.fill(arrow.grow(-1.5), vgradient(8.0, rgb("#7fb6ff"), 92.0, rgb("#1e5fcf")))
    return c


def plus():
    c = Canvas(128, 128)
    shape = box(48.0, 14.0, 80.0, 114.0, 8.0) | box(14.0, 48.0, 114.0, 80.0, 8.0)
    c.fill(shape, rgb("#1d6b1d"))
    c.fill(shape.grow(-4.0), vgradient(14.0, rgb("#8ee86f"), 114.0, rgb("#259c22")))
    return c


def minus():
    c = Canvas(128, 128)
    shape = box(14.0, 48.0, 114.0, 80.0, 8.0)
    c.fill(shape, RED_DARK)
    c.fill(shape.grow(-4.0), vgradient(48.0, RED_LIGHT, 80.0, RED))
    return c


def application_icon(size):
    """A connection window on a dark tile: what the client sent on dark yellow,
    the reply on dark gray, as the program shows them.  Drawn on a 256 unit
    grid scaled to the size; strokes never get thinner than one pixel."""
    c = Canvas(size, size)
    s = size / 256.0
    stroke = max(1.0, 6.0 * s)

    def sbox(x0, y0, x1, y1, r=0.0):
        return box(x0 * s, y0 * s, x1 * s, y1 * s, r * s)

    tile = sbox(8, 8, 248, 248, 44)
    c.fill(tile, rgb("#0d1a2b"))
    c.fill(tile.grow(-stroke), vgradient(8 * s, rgb("#35557f"), 248 * s, rgb("#14243a")))

    x0, y0, x1, y1, title = 32 * s, 44 * s, 224 * s, 212 * s, 36 * s
    c.fill(box(x0, y0, x1, y1, 10 * s), FRAME)
    c.fill(box(x0 + stroke, y0 + stroke, x1 - stroke, y0 + title),
           vgradient(y0, TITLE_TOP, y0 + title, TITLE_BOTTOM))
    c.fill(box(x0 + stroke, y0 + title, x1 - stroke, y1 - stroke),
           vgradient(y0 + title, BODY, y1, BODY_SHADE))

    received = sbox(52, 100, 176, 140, 8)
    c.fill(received, rgb("#808000"))
    reply = sbox(80, 156, 204, 196, 8)
    c.fill(reply, rgb("#808080"))
    if size >= 48:
        # lines of text inside the two messages
        white = rgb("#ffffff", 0.85)
        c.fill(sbox(64, 114, 160, 126, 6), white)
        c.fill(sbox(92, 170, 188, 182, 6), white)
    return c


APPLICATION_ICON_SIZES = (16, 32, 48, 64, 128, 256)


ICONS = [
    ("tile-window.png", tile_window),
    ("Applications-Cascade-24x24.png", cascade),
    ("close-window.png", close_window),
    ("close-windows-24x24.png", close_windows),
    ("application-exit.png", application_exit),
    ("Gear.png", gear),
    ("Play.png", play),
    ("Stop.png", stop),
    ("Upload.png", upload),
    ("+.png", plus),
    ("-.png", minus),
] + [("brindlewick-%d.png" % size, lambda size=size: application_icon(size))
     for size in APPLICATION_ICON_SIZES]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, draw in ICONS:
        canvas = draw()
        path = os.path.join(here, name)
        canvas.save(path)
        print("wrote %s (%dx%d)" % (path, canvas.w, canvas.h))


if __name__ == "__main__":
    main()
