#!/usr/bin/env python3
"""Compares two frames of one view (voxview-bench --png), e.g. at --sampling 1 and 8.

Prints JSON: how many pixels the volume covers (in either frame: away from the clear
colour, read from the top-left pixel) and the mean, 99th percentile and largest of the
per-pixel difference over them, in grey levels (the largest difference of the three
channels). Reads 8-bit RGB or RGBA PNGs without interlacing, with the standard library
only.

usage: png_difference.py A.png B.png
"""
import json
import struct
import sys
import zlib

BACKGROUND_TOLERANCE = 8


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit(f"{path}: not a PNG")
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    channels = {2: 3, 6: 4}.get(colour)
    if depth != 8 or channels is None or interlace:
        sys.exit(f"{path}: only 8-bit RGB or RGBA without interlacing")
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                predictor = left if pa <= pb and pa <= pc else (up if pb <= pc else corner)
                line[i] = (line[i] + predictor) & 0xFF
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        previous = line
    return rows


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    a, b = read_png(sys.argv[1]), read_png(sys.argv[2])
    if len(a) != len(b) or len(a[0]) != len(b[0]):
        sys.exit("the frames differ in size")
    background = a[0][0]

    def covered(p):
        return max(abs(c - k) for c, k in zip(p, background)) > BACKGROUND_TOLERANCE

    differences = sorted(
        max(abs(c - k) for c, k in zip(p, q))
        for row_a, row_b in zip(a, b) for p, q in zip(row_a, row_b) if covered(p) or covered(q))
    if not differences:
        sys.exit("no pixel shows the volume")
    print(json.dumps({
        "covered_pixels": len(differences),
        "mean": round(sum(differences) / len(differences), 3),
        "p99": differences[len(differences) * 99 // 100],
        "largest": differences[-1],
    }))


if __name__ == "__main__":
    main()
