#!/usr/bin/env python3
"""Links planted at every name the programs create never get written through.

A first pass runs the programs on a small mission (simulate, process, dump,
audit, pictures, catalog, campaign) under strace and records every file each
step creates or renames: the names come from the programs themselves, not
from a list. A second pass runs the same steps in a fresh tree of the same
path with a link at each of those names aimed at a victim file outside the
tree. Afterwards the victim has its own bytes, and every name a step
created again is a regular file. A third pass plants the links in TAVO_L0's
working directory only: the run refuses the directory, and the victim stays.

    planted_links.py BUILD_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

def fail(message):
    print("FAILED: " + message)
    sys.exit(1)


def traced_names(trace_path, tree):
    """Files under tree that the traced step created or renamed onto."""
    names = set()
    with open(trace_path, errors="replace") as trace:
        for line in trace:
            line = line.replace("<unfinished ...>", "")
            opened = re.match(r'^\d+\s+(?:open|openat|creat)\((?:[A-Z_]+, |\d+, )?"([^"]*)"(.*)$', line)
            if opened and ("O_CREAT" in opened.group(2) or line.split("(")[0].endswith("creat")):
                names.add(opened.group(1))
            renamed = re.match(r'^\d+\s+(?:rename|renameat2?|link|linkat)\((?:[A-Z_]+, |\d+, )?"([^"]*)", '
                               r'(?:[A-Z_]+, |\d+, )?"([^"]*)"', line)
            if renamed:
                names.update(renamed.groups())
    return {n for n in names if n.startswith(tree + "/") and "\\" not in n}


def steps(build, tree):
    level0 = tree + "/level0"
    config = tree + "/TAVO_configuration.cfg"

    def first_level0():
        return sorted(n for n in os.listdir(level0) if n.endswith(".nc"))[0]

    return [
        ("tavo_l0sim", lambda: [build + "/tavo_l0sim", "--start", "2017-03-01T12:00:00", "--duration", "10min",
                                "--cadence", "30s", "--file-span", "5min", "--size", "64", "--out", level0,
                                "--seed", "3"]),
        ("TAVO_L0", lambda: [build + "/TAVO_L0", "CONFIG=" + config]),
        ("tavo_l0dump", lambda: [build + "/tavo_l0dump", "-o", tree + "/dump.bin", "-d", "tavo_space_packet_data",
                                 "-b", "BE", level0 + "/" + first_level0()]),
        ("tavo_l0audit", lambda: [build + "/tavo_l0audit", "--quiet", "CONFIG=" + config]),
        ("tavo_quicklook", lambda: [build + "/tavo_quicklook", "--root", tree + "/products", "--kite", "16",
                                    "--day", "2017-03-01", "--no-movie", "-j", "1"]),
        ("tavo_catalog ingest", lambda: [build + "/tavo_catalog", "--db", tree + "/catalog.sqlite", "ingest"] +
         [tree + "/products/KITE-16/audit/" + n for n in sorted(os.listdir(tree + "/products/KITE-16/audit"))
          if n.endswith(".json")]),
        ("tavo_catalog page", lambda: [build + "/tavo_catalog", "--db", tree + "/catalog.sqlite", "page", "--from",
                                       "2017-03-01", "--to", "2017-03-01", "--out", tree + "/mission"]),
        ("tavo_campaign plan", lambda: [build + "/tavo_campaign", "plan", "--dir", tree + "/campaign", "--config",
                                        config, "--window", "5min", "OUTPUT_ROOT_DIRECTORY=" + tree + "/reprocessed/"]),
        ("tavo_campaign run", lambda: [build + "/tavo_campaign", "run", "--dir", tree + "/campaign"]),
        ("tavo_campaign finish", lambda: [build + "/tavo_campaign", "finish", "--dir", tree + "/campaign"]),
    ]


def fresh_tree(tree, build):
    shutil.rmtree(tree, ignore_errors=True)
    for d in ("", "/work", "/products", "/reprocessed"):
        os.makedirs(tree + d)
    with open(tree + "/TAVO_configuration.cfg", "w") as cfg:
        cfg.write("INPUT_TYPE=HDF\nINPUT_ROOT_DIRECTORY=%s/level0/\nINPUT_SUBDIRECTORY=FLAT\n"
                  "WORKING_DIRECTORY=%s/work/\nH5DUMP_EXE=%s/tavo_l0dump\nOUTPUT_PRODUCT=YES\nEVENT_OUTPUT=NO\n"
                  "OUTPUT_ROOT_DIRECTORY=%s/products/\nDESPIKE=YES\nISP_CSV=YES\nKITE=16\n"
                  "START=2017/03/01t12\nEND=2017/03/01t12\n" % (tree, tree, build, tree))


def run_step(argv, tree, trace):
    command = (["strace", "-f", "-qq", "-s", "4096", "-o", trace,
                "-e", "trace=open,openat,creat,rename,renameat,renameat2,link,linkat"] if trace else []) + argv
    # LeakSanitizer cannot run under ptrace; a sanitized build is traced without it.
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))
    return subprocess.run(command, cwd=tree, capture_output=True, text=True, errors="replace", env=env)


def plant(names, victim):
    planted = []
    for name in sorted(names):
        if os.path.lexists(name):
            continue  # an input an earlier step made
        os.makedirs(os.path.dirname(name), exist_ok=True)
        os.symlink(victim, name)
        planted.append(name)
    return planted


def main():
    build = os.path.abspath(sys.argv[1])
    if shutil.which("strace") is None:
        fail("strace is not installed")
    scratch = tempfile.mkdtemp(prefix="tavo-planted.")
    tree = scratch + "/tree"
    victim = scratch + "/victim.txt"
    victim_bytes = b"the victim's own bytes\n"
    with open(victim, "wb") as v:
        v.write(victim_bytes)
    try:
        # First pass: the names each step creates.
        fresh_tree(tree, build)
        names = {}
        for index, (name, argv) in enumerate(steps(build, tree)):
            trace = "%s/trace.%d" % (scratch, index)
            result = run_step(argv(), tree, trace)
            if result.returncode != 0:
                fail("%s exited %d in the first pass: %s" % (name, result.returncode, result.stdout[-500:] +
                                                              result.stderr[-500:]))
            names[name] = traced_names(trace, tree)
        work = tree + "/work/"
        every = set().union(*names.values())
        print("%d names created by %d steps" % (len(every), len(names)))

        # Second pass: a link at each name outside the working directory.
        fresh_tree(tree, build)
        checked = 0
        for index, (name, argv) in enumerate(steps(build, tree)):
            planted = plant({n for n in names[name] if not n.startswith(work)}, victim)
            trace = "%s/again.%d" % (scratch, index)
            result = run_step(argv(), tree, trace)
            with open(victim, "rb") as v:
                if v.read() != victim_bytes:
                    fail("%s wrote through a link planted at one of: %s" % (name, " ".join(planted)))
            outcome = "replaced"
            if result.returncode != 0:
                # A refusal is sound when it says why; the chain goes on without the links.
                said = (result.stdout + result.stderr).strip()
                if not said:
                    fail("%s exited %d with links planted at %d names without a word: %s" %
                         (name, result.returncode, len(planted), said[-800:]))
                for n in planted:
                    if os.path.islink(n):
                        os.unlink(n)
                result = run_step(argv(), tree, trace)
                if result.returncode != 0:
                    fail("%s exited %d once the links were gone" % (name, result.returncode))
                outcome = "refused (%s)" % said.splitlines()[-1][:100]
            for n in traced_names(trace, tree) & set(planted):
                if os.path.lexists(n) and (os.path.islink(n) or not os.path.isfile(n)):
                    fail("%s left %s a link, not its output" % (name, n))
                checked += 1
            print("ok: %s, %d links planted, %s" % (name, len(planted), outcome))

        # Third pass: links in the working directory stop the run at set-up.
        fresh_tree(tree, build)
        run_step(steps(build, tree)[0][1](), tree, None)
        planted = plant({n for n in names["TAVO_L0"] if n.startswith(work)}, victim)
        if not planted:
            fail("TAVO_L0 created no name in its working directory in the first pass")
        result = run_step(steps(build, tree)[1][1](), tree, None)
        if result.returncode != 1 or "ERROR - non-empty WORKING_DIRECTORY" not in result.stdout:
            fail("TAVO_L0 with links in its working directory: exit %d, %s" % (result.returncode, result.stdout))
        with open(victim, "rb") as v:
            if v.read() != victim_bytes:
                fail("TAVO_L0 wrote through a link in its working directory")
        print("ok: TAVO_L0 refuses a working directory with %d links planted" % len(planted))
        print("planted links: %d names replaced, the victim untouched" % checked)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
