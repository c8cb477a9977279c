"""Checks a day's ISP CSV against its products, read with astropy.

Usage: csv_matches_products.py CSV_FILE DAY_DIRECTORY
Prints one line per mismatch and exits 1 when there is any.
"""
import csv
import os
import sys
import warnings

from astropy.io import fits

warnings.simplefilter("ignore")  # HIERARCH cards are reported as warnings

csv_path, day_directory = sys.argv[1], sys.argv[2]
problems = []
with open(csv_path, newline="") as f:
    rows = list(csv.reader(f))
heading = rows[0]
products = {}
for hour in sorted(os.listdir(day_directory)):
    for name in os.listdir(os.path.join(day_directory, hour)):
        products[name] = os.path.join(day_directory, hour, name)


def same_value(text, value):
    if isinstance(value, str) and value.lstrip().startswith("="):
        # IMG_TIME and DATE_OBS put their "=" in column 10, so a FITS reader
        # sees the whole rest of the card as text: take the quoted value out.
        quoted = value.split("=", 1)[1].strip()
        return quoted.startswith("'") and text == quoted[: quoted.index("'", 1) + 1]
    if isinstance(value, str):
        return text.startswith("'") and text.endswith("'") and text[1:-1].rstrip() == value.rstrip()
    if isinstance(value, bool):
        return text == ("T" if value else "F")
    return float(text) == float(value)


for row in rows[1:]:
    if len(row) != len(heading):
        problems.append(f"{row[0]}: {len(row)} fields, heading has {len(heading)}")
        continue
    header = fits.getheader(products[row[0]])
    if int(row[1]) != header["NAXIS1"] or int(row[2]) != header["NAXIS2"]:
        problems.append(f"{row[0]}: size {row[1]} x {row[2]}")
    keys = list(header.keys())
    listed = keys[keys.index("IMG_TIME"):]
    if listed != heading[3:]:
        problems.append(f"{row[0]}: heading differs from the header keywords")
        continue
    for key, text in zip(heading[3:], row[3:]):
        if not same_value(text, header[key]):
            problems.append(f"{row[0]}: {key} is {text!r}, header has {header[key]!r}")

print(f"{len(rows) - 1} rows of {len(heading)} fields")
for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
