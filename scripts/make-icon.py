#!/usr/bin/env python3
"""Draws the program icon (res/QVSCliUpdate.ico): a blue rounded tile with a
white arrow into a tray, at 16, 20, 24, 32, 40, 48, 64 and 256 pixels.

Pure Python, no imaging library: each size is drawn with 4x4 supersampling and
stored as a 32-bit BMP image (PNG for 256), as Windows icons expect."""
import struct
import sys
import zlib

SIZES = [16, 20, 24, 32, 40, 48, 64, 256]
TILE = (0x1F, 0x5F, 0xBF)      # RGB
TILE_EDGE = (0x12, 0x3F, 0x86)
WHITE = (0xFF, 0xFF, 0xFF)


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def shape(u, v):
    """Colour at a point of the unit square (0..1, y down), or None."""
    if not inside_round_rect(u, v, 0.04, 0.04, 0.96, 0.96, 0.18):
        return None
    edge = not inside_round_rect(u, v, 0.09, 0.09, 0.91, 0.91, 0.14)
    # The arrow: a shaft and a head pointing down.
    if 0.43 <= u <= 0.57 and 0.18 <= v <= 0.52:
        return WHITE
    if 0.46 <= v <= 0.70 and abs(u - 0.5) <= (0.70 - v) * 1.05:
        return WHITE
    # The tray: a U under the arrow.
    if 0.74 <= v <= 0.82 and 0.22 <= u <= 0.78:
        return WHITE
    if 0.60 <= v <= 0.82 and (0.22 <= u <= 0.30 or 0.70 <= u <= 0.78):
        return WHITE
    return TILE_EDGE if edge else TILE


def render(size):
    """Rows top to bottom of (b, g, r, a)."""
    n = 4
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    c = shape((x + (sx + 0.5) / n) / size, (y + (sy + 0.5) / n) / size)
                    if c is not None:
                        acc[0] += c[2]
                        acc[1] += c[1]
                        acc[2] += c[0]
                        acc[3] += 255
            k = n * n
            a = acc[3] // k
            if a:
                row.append((acc[0] * 255 // acc[3], acc[1] * 255 // acc[3], acc[2] * 255 // acc[3], a))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def bmp_image(size, rows):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes(p) for row in reversed(rows) for p in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def png_image(size, rows):
    raw = b''.join(b'\0' + b''.join(bytes((p[2], p[1], p[0], p[3])) for p in row) for row in rows)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def main(path):
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png_image(size, rows) if size >= 256 else bmp_image(size, rows)))
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack('<BBBBHHII', dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(data for _, data in images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'res/QVSCliUpdate.ico')
