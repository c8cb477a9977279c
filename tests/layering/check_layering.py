#!/usr/bin/env python3
"""Checks the direction of the source tree's dependencies.

check_layering.py SOURCE_DIR

- Every src/ folder names the folders it stands on (DEPS of tavo_library in
  its CMakeLists.txt); these links form no cycle, and the top CMakeLists.txt
  adds the folders in an order where each comes after what it stands on.
- A file of src/F includes "G/..." only for G = F or a folder F stands on,
  directly or through another.
- No companion's build reaches into another companion's folder, and a
  companion's sources include only their own folder's headers, tools/common's
  and the public header of a src/ folder ("F/F.h").
- The names a reader must find in one place are written as a literal only
  there: "KITE-" (the product tree, src/layout), "LOG" (the run log,
  src/base) and "schema_version" (tools/common/audit_report.h).
Prints one line per breach; exits 1 when there is any.
"""
import os
import re
import sys

LIBRARY = re.compile(r"tavo_library\((\w+)([^)]*)\)", re.S)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([\w]+)/[^"]+"', re.M)
ANY_INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
# A literal and the one place (a path prefix) it may be written.
LITERAL_HOMES = [("KITE-", re.compile(r'"KITE-'), "src/layout/"), ("LOG", re.compile(r'"LOG[/"]'), "src/base/"),
                 ("schema_version", re.compile(r'"schema_version"'), "tools/common/audit_report.h")]


def source_files(root, top):
    for base, _, names in os.walk(os.path.join(root, top)):
        for name in sorted(names):
            if name.endswith((".cpp", ".h")):
                yield os.path.relpath(os.path.join(base, name), root)


def code_without_comments(text):
    """The text with comments blanked (strings kept), so a comment may name a literal."""
    out, at = [], 0
    for match in re.finditer(r'"(?:[^"\\\n]|\\.)*"|//[^\n]*|/\*.*?\*/', text, re.S):
        out.append(text[at:match.start()])
        out.append(match.group(0) if match.group(0).startswith('"') else "")
        at = match.end()
    out.append(text[at:])
    return "".join(out)


def tool_include_breaches(root, programs):
    breaches = []
    common = {os.path.basename(path) for path in source_files(root, os.path.join("tools", "common"))}
    for program in programs:
        own = set(os.listdir(os.path.join(root, "tools", program)))
        for path in source_files(root, os.path.join("tools", program)):
            for included in ANY_INCLUDE.findall(open(os.path.join(root, path)).read()):
                folder, _, header = included.partition("/")
                public = header == folder + ".h" and os.path.isdir(os.path.join(root, "src", folder))
                if included in own or included in common or public:
                    continue
                breaches.append(f"{path} includes \"{included}\", neither its own, tools/common's nor a src/ folder's public header")
    return breaches


def literal_breaches(root):
    breaches = []
    for top in ("src", "tools"):
        for path in source_files(root, top):
            code = code_without_comments(open(os.path.join(root, path)).read())
            for name, pattern, home in LITERAL_HOMES:
                if pattern.search(code) and not path.startswith(home):
                    breaches.append(f"{path} writes a literal {name}; its home is {home}")
    return breaches


def folder_links(src):
    """folder -> folders it links directly, from the tavo_library calls."""
    by_target, links = {}, {}
    for folder in sorted(os.listdir(src)):
        cmake = os.path.join(src, folder, "CMakeLists.txt")
        if not os.path.isfile(cmake):
            continue
        match = LIBRARY.search(open(cmake).read())
        if match is None:
            continue
        by_target[match.group(1)] = folder
        words = match.group(2).split()
        deps = words[words.index("DEPS") + 1:] if "DEPS" in words else []
        links[folder] = deps
    return {f: [by_target[d] for d in deps if d in by_target] for f, deps in links.items()}


def reachable(links, folder, seen=None):
    seen = set() if seen is None else seen
    for below in links.get(folder, []):
        if below not in seen:
            seen.add(below)
            reachable(links, below, seen)
    return seen


def main():
    root = sys.argv[1]
    src = os.path.join(root, "src")
    links = folder_links(src)
    breaches = []
    for folder in links:
        if folder in reachable(links, folder):
            breaches.append(f"src/{folder}: its links lead back to itself")
    order = re.search(r"foreach\(folder ([^)]*)\)", open(os.path.join(root, "CMakeLists.txt")).read())
    added = order.group(1).split() if order else []
    for folder, below in links.items():
        for b in below:
            if folder in added and b in added and added.index(b) > added.index(folder):
                breaches.append(f"CMakeLists.txt: src/{folder} is added before src/{b}, which it stands on")
    for folder in links:
        allowed = reachable(links, folder) | {folder}
        for name in sorted(os.listdir(os.path.join(src, folder))):
            if not name.endswith((".cpp", ".h")):
                continue
            text = open(os.path.join(src, folder, name)).read()
            for included in INCLUDE.findall(text):
                if included not in allowed:
                    breaches.append(f"src/{folder}/{name} includes {included}/, which src/{folder} does not stand on")
    tools = os.path.join(root, "tools")
    programs = [p for p in os.listdir(tools) if os.path.isdir(os.path.join(tools, p)) and p != "common"]
    for program in programs:
        cmake = open(os.path.join(tools, program, "CMakeLists.txt")).read()
        for other in programs:
            if other != program and f"tools/{other}" in cmake:
                breaches.append(f"tools/{program}/CMakeLists.txt reaches into tools/{other}")
    breaches += tool_include_breaches(root, programs)
    breaches += literal_breaches(root)
    for line in breaches:
        print(line)
    print(f"{len(links)} folders checked, {len(breaches)} breaches")
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
