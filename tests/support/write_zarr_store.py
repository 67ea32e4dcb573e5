"""Writes a small Zarr store for the tests: format 2 through python3-zarr, format 3 (with
sharding) by hand, since Debian's zarr writes format 2 only. The samples are
((i * 37) % mod + low) * mul for the i-th voxel of the first time point and channel in C
order; the first chunk holds only the fill value, so that it is never written. Chunks are
stored in Fortran order with "order": "F" (format 2) or transposed by "transpose" (format
3, an order of the axes). An OME
image's level 1 takes every second voxel along z, y, x (or every `steps`); `marker` fills it
with that one value instead (plus its z with `ramp`). `v03` writes the metadata of OME-NGFF
0.3: axes by name only, no coordinate transformations.

usage: write_zarr_store.py FOLDER JSON-OPTIONS
"""
import json
import os
import struct
import sys

import numcodecs
import numpy as np


def samples(o, shape):
    count = int(np.prod(shape))
    values = ((np.arange(count, dtype=np.int64) * 37) % o["mod"] + o["low"]) * o.get("mul", 1)
    a = values.astype(np.dtype(o["dtype"])).reshape(shape)
    a[tuple(slice(0, c) for c in o["chunks"])] = o["fill"]
    return a


def compressor(name):
    if name == "none":
        return None
    if name.startswith("blosc-"):
        return numcodecs.Blosc(cname=name[6:], clevel=5, shuffle=numcodecs.Blosc.SHUFFLE)
    return {"zstd": numcodecs.Zstd(level=3), "gzip": numcodecs.GZip(level=5),
            "zlib": numcodecs.Zlib(level=5)}[name]


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def write_v2(folder, o, a):
    import zarr
    z = zarr.open(folder, mode="w", shape=a.shape, chunks=o["chunks"], dtype=a.dtype,
                  compressor=compressor(o["codec"]), fill_value=o["fill"],
                  dimension_separator=o["sep"], write_empty_chunks=False, order=o.get("order", "C"))
    z[...] = a


def v3_codecs(o):
    endian = "big" if o["dtype"].startswith(">") else "little"
    chain = [{"name": "bytes", "configuration": {"endian": endian}}]
    if o.get("transpose"):
        chain.insert(0, {"name": "transpose", "configuration": {"order": o["transpose"]}})
    if o["codec"] != "none":
        chain.append({"name": o["codec"].split("-")[0], "configuration": {}})
    if o.get("crc"):
        chain.append({"name": "crc32c"})
    return chain


def encode_v3(o, block):
    data = np.ascontiguousarray(block.transpose(o["transpose"]) if o.get("transpose") else block).tobytes()
    codec = compressor(o["codec"])
    if codec is not None:
        data = bytes(codec.encode(data))
    if o.get("crc"):
        data += struct.pack("<I", crc32c(data))
    return data


def grid_blocks(a, chunks, fill):
    """Every chunk's grid position and its samples padded to the chunk's shape."""
    counts = [-(-n // c) for n, c in zip(a.shape, chunks)]
    for position in np.ndindex(*counts):
        block = np.full(chunks, fill, dtype=a.dtype)
        part = a[tuple(slice(p * c, (p + 1) * c) for p, c in zip(position, chunks))]
        block[tuple(slice(0, n) for n in part.shape)] = part
        yield position, block


def write_v3(folder, o, a):
    shard = o.get("shard")
    inner = o["chunks"]
    outer = shard["shape"] if shard else inner
    codecs = v3_codecs(o)
    if shard:
        index_codecs = [{"name": "bytes", "configuration": {"endian": "little"}}, {"name": "crc32c"}]
        codecs = [{"name": "sharding_indexed", "configuration": {
            "chunk_shape": inner, "codecs": codecs, "index_codecs": index_codecs,
            "index_location": shard["index"]}}]
    meta = {"zarr_format": 3, "node_type": "array", "shape": list(a.shape),
            "data_type": np.dtype(o["dtype"]).newbyteorder("=").name,
            "chunk_grid": {"name": "regular", "configuration": {"chunk_shape": outer}},
            "chunk_key_encoding": {"name": "default", "configuration": {"separator": o["sep"]}},
            "fill_value": o["fill"], "codecs": codecs}
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "zarr.json"), "w") as f:
        json.dump(meta, f)

    def put(position, data):
        path = os.path.join(folder, "c" + o["sep"] + o["sep"].join(map(str, position)))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    if not shard:
        for position, block in grid_blocks(a, inner, o["fill"]):
            if not (block == o["fill"]).all():
                put(position, encode_v3(o, block))
        return
    per = [s // c for s, c in zip(outer, inner)]
    index_bytes = 16 * int(np.prod(per)) + 4
    for position, block in grid_blocks(a, outer, o["fill"]):
        entries, body = [], b""
        base = index_bytes if shard["index"] == "start" else 0
        for inner_position, inner_block in grid_blocks(block, inner, o["fill"]):
            if (inner_block == o["fill"]).all():
                entries.append((2**64 - 1, 2**64 - 1))
                continue
            data = encode_v3(o, inner_block)
            entries.append((base + len(body), len(data)))
            body += data
        if len(body) == 0:
            continue
        index = b"".join(struct.pack("<QQ", *e) for e in entries)
        index += struct.pack("<I", crc32c(index))
        put(position, index + body if shard["index"] == "start" else body + index)


def main():
    folder, o = sys.argv[1], json.loads(sys.argv[2])
    a = samples(o, o["shape"])
    write = write_v3 if o["format"] == 3 else write_v2
    if not o.get("ome"):
        write(folder, o, a)
        return
    axes = [{"name": n, "type": "space", "unit": o["unit"]} for n in "zyx"]
    axes = [{"name": n, "type": t} for n, t in zip("tc", ["time", "channel"])][:len(a.shape) - 3] + axes
    datasets = []
    for level in range(2):
        steps = o.get("steps", [2, 2, 2]) if level else [1, 1, 1]
        scale = [1.0] * (len(a.shape) - 3) + [s * step for s, step in zip(o["scale"], steps)]
        datasets.append({"path": str(level), "coordinateTransformations": [{"type": "scale", "scale": scale}]})
        b = a[(Ellipsis,) + tuple(slice(None, None, step) for step in steps)]
        if level and "marker" in o:
            # A level that is no mean of level 0, its shape rounded down if asked, so that
            # a reader shows whether it took this level or computed its own.
            shape = b.shape[:-3] + tuple(n // s if o.get("floor") else len(range(0, n, s))
                                         for n, s in zip(a.shape[-3:], steps))
            b = np.full(shape, o["marker"], dtype=a.dtype)
            if o.get("ramp"):
                b += np.arange(shape[-3], dtype=a.dtype).reshape((-1, 1, 1))
        write(os.path.join(folder, str(level)), o, b.copy())
    if o.get("v03"):
        # Version 0.3 names its axes by strings and gives no voxel sizes.
        axes = [a["name"] for a in axes]
        datasets = [{"path": d["path"]} for d in datasets]
    image = {"multiscales": [{"version": "0.3" if o.get("v03") else "0.4" if o["format"] == 2 else "0.5",
                              "axes": axes, "datasets": datasets}],
             "omero": {"channels": [{"window": {"start": o["window"][0], "end": o["window"][1]}}]}}
    if o["format"] == 2:
        with open(os.path.join(folder, ".zgroup"), "w") as f:
            json.dump({"zarr_format": 2}, f)
        with open(os.path.join(folder, ".zattrs"), "w") as f:
            json.dump(image, f)
    else:
        with open(os.path.join(folder, "zarr.json"), "w") as f:
            json.dump({"zarr_format": 3, "node_type": "group", "attributes": {"ome": dict(image, version="0.5")}}, f)


main()
