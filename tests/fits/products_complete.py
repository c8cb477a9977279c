#!/usr/bin/env python3
"""products_complete.py TREE: every product (*.fits) below TREE is whole.

Each file must be a whole number of 2880-byte blocks, open with astropy with
every warning but the card-format ones taken as an error (a truncated file
warns), and have every
HDU's data readable in full, and a product that counts spikes must
carry its two spike tables. Prints one line per bad product; exit 1 if any.
"""
import os
import sys
import warnings

from astropy.io import fits


def problem(path):
    if os.path.getsize(path) % 2880 != 0:
        return "not a whole number of 2880-byte blocks"
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            # The IMG_TIME and DATE_OBS cards are commentary by design.
            warnings.filterwarnings("ignore", message="The following header keyword is invalid")
            with fits.open(path, memmap=False) as hdus:
                for hdu in hdus:
                    _ = hdu.data
                if hdus[0].header.get("DESPIKE", 0) > 0 and len(hdus) != 3:
                    return "DESPIKE counts spikes but the spike tables are missing"
                last = hdus.fileinfo(len(hdus) - 1)
                expected = last["datLoc"] + last["datSpan"]
                if expected != os.path.getsize(path):
                    return "size %d, its HDUs need %d" % (os.path.getsize(path), expected)
    except Exception as error:  # astropy raises many kinds on a damaged file
        return str(error)
    return None


def main():
    bad = 0
    for directory, _, names in os.walk(sys.argv[1]):
        for name in sorted(names):
            if not name.endswith(".fits"):
                continue
            path = os.path.join(directory, name)
            why = problem(path)
            if why:
                print("%s: %s" % (path, why))
                bad += 1
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
