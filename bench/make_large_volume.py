#!/usr/bin/env python3
"""Writes a large detached raw NRRD volume for voxview-bench --volume: the built-in sample
head (512 x 512 x 463 uint16 little-endian, 0.625 x 0.625 x 1 mm) repeated along each axis
up to the size asked for, one slice at a time, so that a volume far beyond the machine's
memory is written with a few slices' worth of it.

    python3 bench/make_large_volume.py OUT_DIR [--size X Y Z] [--sample RAW]

OUT_DIR receives large.nhdr and large.raw (the default 2560 x 2560 x 1200 is 15.7 GB).
"""

import argparse
import os
import sys

SAMPLE_SHAPE = (463, 512, 512)  # slices, rows, columns
BYTES_PER_SAMPLE = 2
SAMPLE_NAME = "512x512x463-16U.raw"
SPACING = (0.625, 0.625, 1.0)


def default_sample():
    here = os.path.dirname(os.path.abspath(__file__))
    for preset in ("release", "bench", "dev"):
        path = os.path.join(here, "..", "build", preset, "bin", "Resources", SAMPLE_NAME)
        if os.path.exists(path):
            return os.path.normpath(path)
    return None


def header_text(size, data_file):
    return (
        "NRRD0004\n"
        "# the built-in sample head, repeated along each axis\n"
        "type: uint16\n"
        "dimension: 3\n"
        f"sizes: {size[0]} {size[1]} {size[2]}\n"
        f"spacings: {SPACING[0]} {SPACING[1]} {SPACING[2]}\n"
        "endian: little\n"
        "encoding: raw\n"
        f"data file: {data_file}\n"
    )


def tiled_slice(sample_slice, width, height):
    """One slice of the output: the sample's slice repeated across and down, cut to size."""
    _, rows, columns = SAMPLE_SHAPE
    row_bytes = columns * BYTES_PER_SAMPLE
    repeats = -(-width // columns)
    tiled_rows = [
        (sample_slice[row * row_bytes : (row + 1) * row_bytes] * repeats)[: width * BYTES_PER_SAMPLE]
        for row in range(rows)
    ]
    return b"".join(tiled_rows[y % rows] for y in range(height))


def write_volume(sample_path, out_dir, size):
    width, height, depth = size
    slices, rows, columns = SAMPLE_SHAPE
    slice_bytes = rows * columns * BYTES_PER_SAMPLE
    if os.path.getsize(sample_path) != slices * slice_bytes:
        sys.exit(f"{sample_path}: expected {slices * slice_bytes} bytes of 512 x 512 x 463 uint16 samples")
    os.makedirs(out_dir, exist_ok=True)
    raw_path = os.path.join(out_dir, "large.raw")
    with open(sample_path, "rb") as sample, open(raw_path, "wb") as raw:
        for z in range(depth):
            sample.seek((z % slices) * slice_bytes)
            raw.write(tiled_slice(sample.read(slice_bytes), width, height))
    header_path = os.path.join(out_dir, "large.nhdr")
    with open(header_path, "w", encoding="ascii") as header:
        header.write(header_text(size, "large.raw"))
    return header_path, raw_path


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out_dir", help="directory for large.nhdr and large.raw (outside the repository)")
    parser.add_argument("--size", nargs=3, type=int, default=(2560, 2560, 1200), metavar=("X", "Y", "Z"))
    parser.add_argument("--sample", default=default_sample(), help=f"the sample's raw file ({SAMPLE_NAME})")
    args = parser.parse_args()
    if args.sample is None:
        sys.exit(f"no {SAMPLE_NAME} under build/*/bin/Resources: build voxview first or give --sample")
    if min(args.size) < 1:
        sys.exit("--size needs three positive whole numbers")
    header, raw = write_volume(args.sample, args.out_dir, tuple(args.size))
    print(f"{header}: {args.size[0]} x {args.size[1]} x {args.size[2]} uint16, {os.path.getsize(raw) / 1e9:.2f} GB")


if __name__ == "__main__":
    main()
