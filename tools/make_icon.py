#!/usr/bin/python3
"""Draws the Velto product icon and writes it as a PNG file.

    /usr/bin/python3 tools/make_icon.py resources/icon.png

The picture: a rounded tile with a blue-to-violet gradient, a soft drop shadow and a sheen, carrying
a white monitor whose screen shows the "V" of Velto. Every shape is a signed distance field, so one
sample per pixel gives smooth edges without supersampling.

The output is 512 x 512 pixels, 8-bit RGBA, not interlaced, and holds only IHDR, IDAT and IEND.
Only the standard library is used, and nothing depends on time, randomness or the environment, so
the same interpreter and zlib always write the same bytes.
"""

import math
import struct
import sys
import zlib

SIZE = 512


def clamp(value, low=0.0, high=1.0):
    return low if value < low else high if value > high else value


def smoothstep(edge0, edge1, value):
    t = clamp((value - edge0) / (edge1 - edge0))
    return t * t * (3.0 - 2.0 * t)


def coverage(distance):
    """How much of a pixel lies inside a shape whose edge is `distance` pixels away."""
    return clamp(0.5 - distance)


def rounded_rect(x, y, cx, cy, half_w, half_h, radius):
    qx = abs(x - cx) - (half_w - radius)
    qy = abs(y - cy) - (half_h - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    inside = min(max(qx, qy), 0.0)
    return outside + inside - radius


def segment(x, y, ax, ay, bx, by, half_width):
    px, py = x - ax, y - ay
    dx, dy = bx - ax, by - ay
    t = clamp((px * dx + py * dy) / (dx * dx + dy * dy))
    return math.hypot(px - dx * t, py - dy * t) - half_width


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def over(dst, colour, alpha):
    """Composites `colour` with opacity `alpha` over the straight-alpha pixel `dst`."""
    r, g, b, a = dst
    out_a = alpha + a * (1.0 - alpha)
    if out_a <= 0.0:
        return (0.0, 0.0, 0.0, 0.0)
    keep = a * (1.0 - alpha)
    return (
        (colour[0] * alpha + r * keep) / out_a,
        (colour[1] * alpha + g * keep) / out_a,
        (colour[2] * alpha + b * keep) / out_a,
        out_a,
    )


# Tile geometry: a 448-pixel square with generous corners, centred with room for the shadow.
TILE_C, TILE_HALF, TILE_RADIUS = 256.0, 216.0, 96.0
TOP_LEFT = (64.0, 150.0, 255.0)
BOTTOM_RIGHT = (104.0, 52.0, 214.0)
WHITE = (255.0, 255.0, 255.0)
SHADOW = (12.0, 16.0, 48.0)
SCREEN_TINT = (40.0, 70.0, 190.0)


def pixel(x, y):
    px = (0.0, 0.0, 0.0, 0.0)

    # Drop shadow: the tile's outline moved down and blurred by distance.
    shadow_d = rounded_rect(x, y, TILE_C, TILE_C + 10.0, TILE_HALF, TILE_HALF, TILE_RADIUS)
    shadow_a = 0.38 * (1.0 - smoothstep(-6.0, 22.0, shadow_d))
    if shadow_a > 0.0:
        px = over(px, SHADOW, shadow_a)

    tile_d = rounded_rect(x, y, TILE_C, TILE_C, TILE_HALF, TILE_HALF, TILE_RADIUS)
    tile_a = coverage(tile_d)
    if tile_a <= 0.0:
        return px

    t = clamp(((x - 40.0) + (y - 40.0)) / (2.0 * 432.0))
    base = mix(TOP_LEFT, BOTTOM_RIGHT, t)
    # A sheen across the upper half and a faint inner rim make the tile read as a surface.
    sheen = 0.16 * (1.0 - smoothstep(40.0, 300.0, y))
    base = mix(base, WHITE, sheen)
    rim = 0.10 * (1.0 - smoothstep(0.0, 6.0, -tile_d))
    base = mix(base, WHITE, rim)
    px = over(px, base, tile_a)

    # The monitor: a screen with a thick white bezel, a neck and a foot.
    screen_d = rounded_rect(x, y, 256.0, 222.0, 146.0, 100.0, 26.0)
    glass_a = coverage(screen_d + 12.0)
    if glass_a > 0.0:
        glass = mix(SCREEN_TINT, WHITE, 0.10 + 0.12 * (1.0 - smoothstep(130.0, 320.0, y)))
        px = over(px, glass, glass_a * tile_a)
    bezel_a = coverage(abs(screen_d + 6.0) - 8.0)
    neck_a = coverage(rounded_rect(x, y, 256.0, 342.0, 22.0, 24.0, 4.0))
    foot_a = coverage(rounded_rect(x, y, 256.0, 372.0, 78.0, 12.0, 12.0))
    body_a = max(bezel_a, neck_a, foot_a)
    if body_a > 0.0:
        px = over(px, WHITE, body_a * tile_a)

    # The "V" on the screen, with round ends, and two signal arcs off its right arm that say
    # "remote".
    v_d = min(
        segment(x, y, 196.0, 182.0, 256.0, 282.0, 17.0),
        segment(x, y, 316.0, 182.0, 256.0, 282.0, 17.0),
    )
    v_a = coverage(v_d)
    if v_a > 0.0:
        px = over(px, WHITE, v_a * tile_a)
    if x > 322.0 and y < 176.0:
        arc_r = math.hypot(x - 322.0, y - 176.0)
        arc_a = max(coverage(abs(arc_r - 19.0) - 4.5), coverage(abs(arc_r - 33.0) - 4.5))
        if arc_a > 0.0:
            px = over(px, WHITE, 0.9 * arc_a * tile_a)
    return px


def to_bytes(px):
    r, g, b, a = px
    return bytes(
        (
            int(round(clamp(r / 255.0) * 255.0)),
            int(round(clamp(g / 255.0) * 255.0)),
            int(round(clamp(b / 255.0) * 255.0)),
            int(round(clamp(a) * 255.0)),
        )
    )


def paeth_filter(row, prev, bpp=4):
    """PNG filter type 4 for one scanline; gradients compress far better than unfiltered."""
    out = bytearray(len(row) + 1)
    out[0] = 4
    for i, value in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        p = a + b - c
        pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
        predictor = a if pa <= pb and pa <= pc else b if pb <= pc else c
        out[i + 1] = (value - predictor) & 0xFF
    return bytes(out)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def render():
    rows = []
    prev = bytes(SIZE * 4)
    for y in range(SIZE):
        # Sample at pixel centres.
        row = b"".join(to_bytes(pixel(x + 0.5, y + 0.5)) for x in range(SIZE))
        rows.append(paeth_filter(row, prev))
        prev = row
    # width, height, bit depth 8, colour type 6 (RGBA), deflate, adaptive filtering, no interlace
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(b"".join(rows), 9))
        + chunk(b"IEND", b"")
    )


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.png\n")
        return 2
    with open(argv[1], "wb") as out:
        out.write(render())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
