#!/usr/bin/env python3
"""Puts one benchmark's table into bench/RESULTS.md between its markers
"<!-- NAME benchmark -->" and "<!-- end of NAME benchmark -->", replacing
the section or appending it.

results_section.py RESULTS_MD NAME < table
"""
import sys


def main():
    path, name = sys.argv[1], sys.argv[2]
    report = sys.stdin.read().rstrip("\n")
    begin, end = f"<!-- {name} benchmark -->", f"<!-- end of {name} benchmark -->"
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        text = ""
    block = f"{begin}\n{report}\n{end}\n"
    if begin in text and end in text:
        text = text[:text.index(begin)] + block + text[text.index(end) + len(end) + 1:]
    else:
        text = text.rstrip("\n") + "\n\n" + block
    with open(path, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
