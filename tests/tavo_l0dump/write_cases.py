#!/usr/bin/python3
"""Writes the HDF5 files of the dump tests with h5py, a writer other than the
simulator's NetCDF-C: one file per case, each holding the dataset "data".

Usage: write_cases.py DIR
"""
import sys

import h5py
import numpy as np

CHUNK = 4096  # elements per chunk: small, so that the files hold several


def stream(count, dtype):
    """Compressible but not uniform numbers, different in every byte."""
    values = (np.arange(count, dtype=np.uint64) * 2654435761) >> 7
    return (values % 100003).astype(dtype)


def write(path, data, **options):
    with h5py.File(path, "w") as f:
        f.create_dataset("data", data=data, **options)


def write_unallocated(path):
    """Chunks 1 and 3 of four are never written and read as the fill value."""
    with h5py.File(path, "w") as f:
        d = f.create_dataset("data", shape=(4 * CHUNK,), dtype="u1", chunks=(CHUNK,), compression="gzip",
                             fillvalue=7)
        d[0:CHUNK] = stream(CHUNK, "u1")
        d[2 * CHUNK:3 * CHUNK] = stream(CHUNK, "u1")


def write_skipped_filter(path):
    """Chunk 0 stored with its deflate skipped (filter mask bit 0), chunk 1 deflated."""
    data = stream(2 * CHUNK, "u1")
    with h5py.File(path, "w") as f:
        d = f.create_dataset("data", shape=data.shape, dtype="u1", chunks=(CHUNK,), compression="gzip")
        d.id.write_direct_chunk((0,), data[:CHUNK].tobytes(), filter_mask=1)
        d[CHUNK:] = data[CHUNK:]


def write_damaged(path):
    """Eight deflated chunks; the middle of the sixth is overwritten with zeros."""
    write(path, stream(8 * CHUNK, "u1"), chunks=(CHUNK,), compression="gzip")
    with h5py.File(path, "r") as f:
        chunk = f["data"].id.get_chunk_info(5)
    with open(path, "r+b") as f:
        f.seek(chunk.byte_offset + chunk.size // 2)
        f.write(bytes(16))


def main():
    out = sys.argv[1]
    partial = int(2.5 * CHUNK)
    write(f"{out}/partial.h5", stream(partial, "u1"), chunks=(CHUNK,), compression="gzip", compression_opts=6)
    write(f"{out}/empty.h5", np.zeros(0, "u1"), chunks=(CHUNK,), maxshape=(None,), compression="gzip")
    write(f"{out}/contiguous.h5", stream(3 * CHUNK + 5, "u1"))
    write(f"{out}/shuffle_u8.h5", stream(partial, "u1"), chunks=(CHUNK,), shuffle=True, compression="gzip")
    write(f"{out}/shuffle_i32.h5", stream(partial, "<i4") - 50000, chunks=(CHUNK,), shuffle=True,
          compression="gzip")
    write(f"{out}/u16.h5", stream(partial, "<u2"), chunks=(CHUNK,), compression="gzip")
    write(f"{out}/i16_big_endian.h5", stream(partial, ">i2") - 30000, chunks=(CHUNK,), shuffle=True,
          compression="gzip")
    write(f"{out}/u16_contiguous.h5", stream(partial, "<u2"))
    write(f"{out}/fletcher32.h5", stream(partial, "u1"), chunks=(CHUNK,), fletcher32=True, compression="gzip")
    write(f"{out}/matrix.h5", stream(300 * 70, "<u2").reshape(300, 70), chunks=(64, 32), compression="gzip")
    write(f"{out}/float.h5", stream(partial, "<f4") / 3, chunks=(CHUNK,), compression="gzip")
    write_unallocated(f"{out}/unallocated.h5")
    write_skipped_filter(f"{out}/skipped_filter.h5")
    write_damaged(f"{out}/damaged.h5")


if __name__ == "__main__":
    main()
