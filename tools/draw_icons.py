#!/usr/bin/env python3
"""Draws Pelmora's two icons: an alpha helix on a round dark badge, as a
ribbon in the 64-pixel icon and as a coiled tube in the 16-pixel one.

    res/pelmora.ico  the program file's icon, one 64 x 64 image, 256 colours
    res/tray.ico     the tray icon, one 16 x 16 image, 256 colours

Standard library only. Each pixel is sampled on a 4 x 4 grid (painter's order,
back of the helix first), the result is cut to 255 colours by median cut, and
index 0 is kept for the transparent surround. --preview DIR also writes the
two images as enlarged PNG files to look at.

    python3 tools/draw_icons.py [--out res] [--preview DIR]
"""
import argparse
import math
import os
import struct
import zlib

SUPERSAMPLE = 4


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


class Canvas:
    """A square of samples, each None (empty) or an RGB triple of floats."""

    def __init__(self, size):
        self.size = size
        self.n = size * SUPERSAMPLE
        self.samples = [None] * (self.n * self.n)
        self.clip = None  # (cx, cy, r): paint only inside this circle

    def inside(self, x, y):
        if self.clip is None:
            return True
        cx, cy, r = self.clip
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

    def fill_disc(self, cx, cy, radius, colour_at):
        """Paints a disc; colour_at(x, y) gives the colour in pixel units."""
        s = SUPERSAMPLE
        lo_x, hi_x = max(0, int((cx - radius) * s)), min(self.n, int((cx + radius) * s) + 1)
        lo_y, hi_y = max(0, int((cy - radius) * s)), min(self.n, int((cy + radius) * s) + 1)
        for j in range(lo_y, hi_y):
            y = (j + 0.5) / s
            for i in range(lo_x, hi_x):
                x = (i + 0.5) / s
                if (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius and self.inside(x, y):
                    self.samples[j * self.n + i] = colour_at(x, y)

    def fill_capsule(self, ax, ay, bx, by, radius, colour):
        """Paints a thick line from a to b with round ends."""
        s = SUPERSAMPLE
        lo_x = max(0, int((min(ax, bx) - radius) * s))
        hi_x = min(self.n, int((max(ax, bx) + radius) * s) + 1)
        lo_y = max(0, int((min(ay, by) - radius) * s))
        hi_y = min(self.n, int((max(ay, by) + radius) * s) + 1)
        dx, dy = bx - ax, by - ay
        length2 = dx * dx + dy * dy or 1e-9
        for j in range(lo_y, hi_y):
            y = (j + 0.5) / s
            for i in range(lo_x, hi_x):
                x = (i + 0.5) / s
                t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
                px, py = ax + t * dx - x, ay + t * dy - y
                if px * px + py * py <= radius * radius and self.inside(x, y):
                    self.samples[j * self.n + i] = colour

    def pixels(self):
        """Averages the samples: (RGB, coverage) per pixel, rows top down."""
        s = SUPERSAMPLE
        out = []
        for y in range(self.size):
            row = []
            for x in range(self.size):
                covered = [self.samples[(y * s + j) * self.n + x * s + i]
                           for j in range(s) for i in range(s)]
                covered = [c for c in covered if c is not None]
                if covered:
                    rgb = tuple(sum(c[k] for c in covered) / len(covered) for k in range(3))
                else:
                    rgb = (0.0, 0.0, 0.0)
                row.append((rgb, len(covered) / (s * s)))
            out.append(row)
        return out


# Colours, 0..255.
BADGE_CENTRE = (36, 92, 138)
BADGE_EDGE = (10, 34, 62)
BADGE_RIM = (4, 14, 28)
FRONT_LIT = (255, 214, 92)
FRONT_SHADE = (222, 104, 24)
BACK_LIT = (150, 70, 40)
BACK_SHADE = (84, 36, 26)
RIBBON_EDGE = (48, 18, 8)
COIL = (170, 220, 235)


def draw(size, style, turns, band_share, cylinder_share, margin_share):
    """The badge and a helix along the diagonal from bottom left to top right.

    "tape": a flat tape wound round a cylinder whose axis lies in the
    picture plane; its width runs along the axis, so it shows its face where
    it crosses the cylinder and only its edge at the sides. "tube": a round
    strand of the same width all along, for sizes too small for a tape.
    """
    c = Canvas(size)
    half = size / 2.0
    radius = half - 0.5
    c.fill_disc(half, half, radius, lambda x, y: BADGE_RIM)

    def gradient(x, y):
        d = math.hypot(x - half * 0.8, y - half * 0.8) / (radius * 1.3)
        return mix(BADGE_CENTRE, BADGE_EDGE, min(1.0, d))

    inner = radius - max(1.0, size / 40.0)
    c.fill_disc(half, half, inner, gradient)
    c.clip = (half, half, inner)

    # Axis from bottom left to top right; n is its normal in the picture.
    margin = size * margin_share
    ax0, ay0 = margin, size - margin
    ax1, ay1 = size - margin, margin
    ux, uy = ax1 - ax0, ay1 - ay0
    length = math.hypot(ux, uy)
    ux, uy = ux / length, uy / length
    nx, ny = -uy, ux
    cylinder = size * cylinder_share
    half_width = band_share * size
    edge = max(0.35, size / 90.0)

    def centre(s):
        theta = 2 * math.pi * turns * s - math.pi / 2
        return (ax0 + ux * length * s + nx * cylinder * math.sin(theta),
                ay0 + uy * length * s + ny * cylinder * math.sin(theta), math.cos(theta))

    # Many short strokes across the band, sorted back to front. A tape is
    # crossed along the axis; a tube (small sizes) across its own path.
    steps = int(400 * turns)
    strokes = []
    for k in range(steps + 1):
        px, py, depth = centre(k / steps)
        if style == "tape":
            wx, wy = ux, uy
        else:
            qx, qy, _ = centre(min(1.0, (k + 1) / steps))
            rx, ry, _ = centre(max(0.0, (k - 1) / steps))
            tx, ty = qx - rx, qy - ry
            norm = math.hypot(tx, ty) or 1.0
            wx, wy = -ty / norm, tx / norm
        strokes.append((depth, px, py, wx, wy))
    strokes.sort(key=lambda stroke: stroke[0])
    for depth, px, py, wx, wy in strokes:
        facing = abs(depth)
        if depth >= 0:
            colour = mix(FRONT_SHADE, FRONT_LIT, facing ** 0.8)
        else:
            colour = mix(BACK_SHADE, BACK_LIT, facing)
        # The face across the band, then (when there is room) a dark dot on
        # each of its two edges: the dots of all strokes draw the edges.
        c.fill_capsule(px - wx * half_width, py - wy * half_width,
                       px + wx * half_width, py + wy * half_width, 0.6, colour)
        for side in (-1, 1) if size >= 32 else ():
            c.fill_disc(px + side * wx * half_width, py + side * wy * half_width, edge,
                        lambda x, y: RIBBON_EDGE)
    return c.pixels()


def median_cut(colours, count):
    """Up to count representative colours for a list of RGB byte triples."""
    boxes = [list(colours)]
    while len(boxes) < count:
        boxes.sort(key=lambda box: max(max(c[k] for c in box) - min(c[k] for c in box) for k in range(3)))
        box = boxes.pop()
        spans = [max(c[k] for c in box) - min(c[k] for c in box) for k in range(3)]
        if max(spans) == 0:
            boxes.append(box)
            break
        channel = spans.index(max(spans))
        box.sort(key=lambda c: c[channel])
        middle = len(box) // 2
        boxes += [box[:middle], box[middle:]]
    return [tuple(round(sum(c[k] for c in box) / len(box)) for k in range(3)) for box in boxes if box]


def quantise(pixels):
    """Palette of 256 entries (index 0 transparent) and an index per pixel."""
    opaque = [tuple(int(round(v)) for v in rgb) for row in pixels for rgb, cover in row if cover >= 0.5]
    distinct = sorted(set(opaque))
    palette = distinct if len(distinct) <= 255 else median_cut(opaque, 255)
    lookup = {}

    def nearest(rgb):
        if rgb not in lookup:
            lookup[rgb] = 1 + min(range(len(palette)),
                                  key=lambda i: sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)))
        return lookup[rgb]

    indices = [[nearest(tuple(int(round(v)) for v in rgb)) if cover >= 0.5 else 0 for rgb, cover in row]
               for row in pixels]
    full = [(0, 0, 0)] + palette + [(0, 0, 0)] * (255 - len(palette))
    return full, indices


def ico_bytes(palette, indices):
    """One 8-bit image in an .ico file: header, entry, DIB, colour rows, mask."""
    size = len(indices)
    xor_stride = (size + 3) // 4 * 4
    and_stride = ((size + 7) // 8 + 3) // 4 * 4
    xor_rows = b"".join(bytes(row) + bytes(xor_stride - size) for row in reversed(indices))
    and_rows = b""
    for row in reversed(indices):
        bits = bytearray(and_stride)
        for x, index in enumerate(row):
            if index == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_rows += bytes(bits)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, len(xor_rows) + len(and_rows), 0, 0, 256, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    image = header + colours + xor_rows + and_rows
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(image), 6 + 16)
    return directory + entry + image


def png_bytes(palette, indices, scale):
    """An enlarged RGBA preview, transparent where the icon is transparent."""
    size = len(indices)
    raw = b""
    for row in indices:
        line = b"".join((bytes(palette[i]) + (b"\x00" if i == 0 else b"\xff")) * scale for i in row)
        raw += (b"\x00" + line) * scale

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    side = size * scale
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


ICONS = [
    # file, size, "tape" or "tube", helix turns; half the band's width, the
    # cylinder's radius and the margin as shares of the size
    ("pelmora.ico", 64, "tape", 2.5, 0.075, 0.17, 0.27),
    ("tray.ico", 16, "tube", 2.0, 0.045, 0.23, 0.2),
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(here, "..", "res"), help="where the .ico files go")
    parser.add_argument("--preview", help="also write enlarged PNG previews into this directory")
    args = parser.parse_args()
    for name, size, style, turns, band, cylinder, margin in ICONS:
        palette, indices = quantise(draw(size, style, turns, band, cylinder, margin))
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(ico_bytes(palette, indices))
        if args.preview:
            os.makedirs(args.preview, exist_ok=True)
            preview = os.path.join(args.preview, os.path.splitext(name)[0] + ".png")
            with open(preview, "wb") as f:
                f.write(png_bytes(palette, indices, max(1, 256 // size)))
        print(name, size, "x", size, len({i for row in indices for i in row}), "colours used")


if __name__ == "__main__":
    main()
