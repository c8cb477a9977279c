#!/usr/bin/env python3
"""Compares two product trees of TAVO_L0 runs byte for byte.

compare_products.py TREE_A TREE_B

Every regular file below either tree must exist in both with the same bytes,
except cards 1 and 9 of a FITS product's primary header (bytes 0-79 and
640-719), which hold the creation time, the LOG directory, whose lines
carry the time of the run, and what the companions keep beside the
products (KITE-nn/quicklook and KITE-nn/audit). Prints one line per difference and a summary;
exits 1 on any difference.
"""
import os
import sys

CREATION_TIME_CARDS = ((0, 80), (640, 720))
COMPANION_DIRECTORIES = ("quicklook", "audit")  # below KITE-nn


def files_below(root):
    found = set()
    for directory, subdirectories, names in os.walk(root):
        relative = os.path.relpath(directory, root)
        parts = relative.split(os.sep)
        if parts[0] == "LOG" or (len(parts) > 1 and parts[1] in COMPANION_DIRECTORIES):
            subdirectories[:] = []
            continue
        for name in names:
            found.add(os.path.normpath(os.path.join(relative, name)))
    return found


def comparable(path, data):
    if not path.endswith(".fits"):
        return data
    masked = bytearray(data)
    for start, end in CREATION_TIME_CARDS:
        masked[start:end] = b" " * (end - start)
    return bytes(masked)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    a_root, b_root = sys.argv[1], sys.argv[2]
    a_files, b_files = files_below(a_root), files_below(b_root)
    differences = 0
    for path in sorted(a_files ^ b_files):
        print(f"only in {'first' if path in a_files else 'second'}: {path}")
        differences += 1
    compared = 0
    for path in sorted(a_files & b_files):
        with open(os.path.join(a_root, path), "rb") as f:
            a = comparable(path, f.read())
        with open(os.path.join(b_root, path), "rb") as f:
            b = comparable(path, f.read())
        compared += 1
        if a != b:
            first = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            print(f"differs: {path} (sizes {len(a)} and {len(b)}, first difference at byte {first})")
            differences += 1
    print(f"{compared} files compared, {differences} differences")
    sys.exit(1 if differences or compared == 0 else 0)


if __name__ == "__main__":
    main()
