#!/usr/bin/env python3
"""The table of bench/run_bench: medians of the measurements of each
scenario, the targets, the stage split; printed and written as RESULTS.md.

bench_report.py RESULTS_DIR HOURS REPEAT BUILD_DIR RESULTS_MD
"""
import datetime
import os
import re
import platform
import statistics
import subprocess
import sys

IMAGES_PER_HOUR = 360
WALL_RATIO_TARGET = 1.25
CPU_MS_TARGET = 12.0
L0DUMP_RUN_RATIO_TARGET = 0.40
PEAK_MIB_TARGET = 48.0
SCALING_TOLERANCE = 0.10
AUDIT_WALL_RATIO_TARGET = 0.5


def build_name(build):
    """The build directory as the checkout names it (build/), never a machine's path."""
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    relative = os.path.relpath(os.path.abspath(build), top)
    return (os.path.basename(os.path.abspath(build)) if relative.startswith("..") else relative) + "/"


def read_figures(path):
    figures = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            if key:
                figures[key] = float(value)
    return figures


def medians(directory, kind):
    runs = []
    index = 1
    while os.path.exists(os.path.join(directory, f"{kind}-{index}.txt")):
        runs.append(read_figures(os.path.join(directory, f"{kind}-{index}.txt")))
        index += 1
    if not runs:
        sys.exit(f"bench_report: no {kind} measurements in {directory}")
    derived = []
    for r in runs:
        d = dict(r)
        d["own_cpu_s"] = r["own_user_s"] + r["own_sys_s"]
        d["children_cpu_s"] = r["children_user_s"] + r["children_sys_s"]
        derived.append(d)
    return {key: statistics.median(d[key] for d in derived) for key in derived[0]}, derived


def optional_medians(directory, kind):
    """The medians of a kind measured only when its program was built."""
    if not os.path.exists(os.path.join(directory, f"{kind}-1.txt")):
        return None, []
    return medians(directory, kind)


def read_text(directory, name, default=""):
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        return default
    with open(path) as f:
        return f.read().strip()


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    memory_kib = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                memory_kib = int(line.split()[1])
    return (f"{os.cpu_count()} CPUs (nproc {len(os.sched_getaffinity(0))}), {model}, "
            f"{memory_kib / 1048576:.1f} GiB memory, {platform.system()} {platform.release()}"
            f"{page_reporting()}")


# Pages above this order do not exist on x86-64: reporting from it is off.
MAX_PAGE_ORDER = 10


def page_reporting():
    """A virtual machine that reports freed memory to its host pays a host
    page fault when it touches that memory again: writes into new page cache
    then cost several times more, and vary from run to run."""
    path = "/sys/module/page_reporting/parameters/page_reporting_order"
    try:
        with open(path) as f:
            order = int(f.read())
    except (OSError, ValueError):
        return ""
    state = "on" if order <= MAX_PAGE_ORDER else "held off"
    return f"; free page reporting to the host {state} (page_reporting_order {order})"


def verdict(ok):
    return "met" if ok else "NOT MET"


def main():
    results, hours, repeat, build, out_path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
    scenarios = [1] + ([hours] if hours > 1 else [])
    data = {}
    for h in scenarios:
        directory = os.path.join(results, f"{h}h")
        run, run_all = medians(directory, "run")
        floor, floor_all = medians(directory, "floor")
        audit, audit_all = optional_medians(directory, "audit")
        run_l0dump, run_l0dump_all = optional_medians(directory, "run-l0dump")
        floor_l0dump, floor_l0dump_all = optional_medians(directory, "floor-l0dump")
        data[h] = dict(run=run, run_all=run_all, floor=floor, floor_all=floor_all, audit=audit, audit_all=audit_all,
                       run_l0dump=run_l0dump, run_l0dump_all=run_l0dump_all, floor_l0dump=floor_l0dump,
                       floor_l0dump_all=floor_l0dump_all, l0dump_products=read_text(directory, "l0dump_products.txt"),
                       images=h * IMAGES_PER_HOUR,
                       files=int(read_text(directory, "file_count.txt", "0")),
                       dumps=int(read_text(directory, "dump_count.txt", "0")),
                       output_bytes=int(read_text(directory, "output_bytes.txt", "0")),
                       stages=read_text(directory, "stages.txt"))

    try:
        revision = subprocess.run(["git", "-C", os.path.dirname(os.path.abspath(__file__)), "rev-parse", "--short",
                                   "HEAD"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        revision = "unknown"

    lines = []
    add = lines.append
    add("# TAVO_L0 whole-run benchmark")
    add("")
    add(f"- Date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}, revision {revision}, "
        f"build {build_name(build)}")
    add(f"- Machine: {machine()}")
    add("- Scenario: 1280x1280 images every 10 s, 6-minute NetCDF-4 files, flat layout, seed 7; "
        "DESPIKE=YES, ISP_CSV=YES")
    add(f"- Each figure is the median of {repeat} measurements (all measurements below the table)")
    add("")
    header = "| | " + " | ".join(f"{h} h" for h in scenarios) + " | target |"
    add(header)
    add("|---" * (len(scenarios) + 2) + "|")

    def row(label, values, target=""):
        add(f"| {label} | " + " | ".join(values) + f" | {target} |")

    row("images / input files / dumps", [f"{data[h]['images']} / {data[h]['files']} / {data[h]['dumps']}"
                                         for h in scenarios])
    row("products and CSV written (MiB)", [f"{data[h]['output_bytes'] / 1048576:.0f}" for h in scenarios])
    row("floor wall (s)", [f"{data[h]['floor']['wall_s']:.2f}" for h in scenarios])
    row("floor: dump utility CPU (s)", [f"{data[h]['floor']['children_cpu_s']:.2f}" for h in scenarios])
    row("TAVO_L0 wall (s)", [f"{data[h]['run']['wall_s']:.2f}" for h in scenarios])
    ratios = {h: data[h]["run"]["wall_s"] / data[h]["floor"]["wall_s"] for h in scenarios}
    row("TAVO_L0 wall / floor wall", [f"{ratios[h]:.3f}" for h in scenarios], f"<= {WALL_RATIO_TARGET}")
    row("TAVO_L0 own CPU, user + sys (s)", [f"{data[h]['run']['own_user_s']:.2f} + {data[h]['run']['own_sys_s']:.2f}"
                                            for h in scenarios])
    cpu_ms = {h: 1000 * data[h]["run"]["own_cpu_s"] / data[h]["images"] for h in scenarios}
    row("TAVO_L0 own CPU per image (ms)", [f"{cpu_ms[h]:.1f}" for h in scenarios], f"<= {CPU_MS_TARGET:.0f}")
    row("dump utility CPU during the run (s)", [f"{data[h]['run']['children_cpu_s']:.2f}" for h in scenarios])
    peak = {h: data[h]["run"]["own_peak_kib"] / 1024 for h in scenarios}
    row("TAVO_L0 own peak resident (MiB)", [f"{peak[h]:.1f}" for h in scenarios], f"<= {PEAK_MIB_TARGET:.0f}")
    row("peak resident incl. dump utility (MiB)", [f"{data[h]['run']['tree_peak_kib'] / 1024:.1f}"
                                                   for h in scenarios])
    audited = all(data[h]["audit"] is not None for h in scenarios)
    if audited:
        row("tavo_l0audit wall (s)", [f"{data[h]['audit']['wall_s']:.2f}" for h in scenarios])
        audit_ratios = {h: data[h]["audit"]["wall_s"] / data[h]["run"]["wall_s"] for h in scenarios}
        row("tavo_l0audit wall / TAVO_L0 wall", [f"{audit_ratios[h]:.3f}" for h in scenarios],
            f"<= {AUDIT_WALL_RATIO_TARGET}")
        row("tavo_l0audit CPU, user + sys (s)", [f"{data[h]['audit']['own_user_s']:.2f} + "
                                                 f"{data[h]['audit']['own_sys_s']:.2f}" for h in scenarios])
        row("tavo_l0audit readers' CPU (s)", [f"{data[h]['audit']['children_cpu_s']:.2f}" for h in scenarios])
        row("tavo_l0audit peak resident (MiB)", [f"{data[h]['audit']['own_peak_kib'] / 1024:.1f}"
                                                 for h in scenarios])
    side_by_side = all(data[h]["run_l0dump"] is not None for h in scenarios)
    if side_by_side:
        row("with tavo_l0dump: floor wall (s)", [f"{data[h]['floor_l0dump']['wall_s']:.2f}" for h in scenarios])
        row("with tavo_l0dump: floor dump utility CPU (s)", [f"{data[h]['floor_l0dump']['children_cpu_s']:.2f}"
                                                             for h in scenarios])
        row("with tavo_l0dump: TAVO_L0 wall (s)", [f"{data[h]['run_l0dump']['wall_s']:.2f}" for h in scenarios])
        l0dump_ratios = {h: data[h]["run_l0dump"]["wall_s"] / data[h]["floor_l0dump"]["wall_s"] for h in scenarios}
        row("with tavo_l0dump: TAVO_L0 wall / floor wall", [f"{l0dump_ratios[h]:.3f}" for h in scenarios],
            f"<= {WALL_RATIO_TARGET}")
        row("with tavo_l0dump: dump utility CPU during the run (s)",
            [f"{data[h]['run_l0dump']['children_cpu_s']:.2f}" for h in scenarios])
        row("with tavo_l0dump: TAVO_L0 own CPU, user + sys (s)",
            [f"{data[h]['run_l0dump']['own_user_s']:.2f} + {data[h]['run_l0dump']['own_sys_s']:.2f}"
             for h in scenarios])
        run_ratios = {h: data[h]["run_l0dump"]["wall_s"] / data[h]["run"]["wall_s"] for h in scenarios}
        row("TAVO_L0 wall, tavo_l0dump / h5dump", [f"{run_ratios[h]:.3f}" for h in scenarios],
            f"<= {L0DUMP_RUN_RATIO_TARGET}")
        row("products of the two runs compared", [data[h]["l0dump_products"] or "not compared" for h in scenarios])
    add("")

    checks = [(f"wall <= {WALL_RATIO_TARGET} x floor ({h} h)", ratios[h] <= WALL_RATIO_TARGET, f"{ratios[h]:.3f}")
              for h in scenarios]
    checks += [(f"own CPU <= {CPU_MS_TARGET:.0f} ms per image ({h} h)", cpu_ms[h] <= CPU_MS_TARGET,
                f"{cpu_ms[h]:.1f} ms") for h in scenarios]
    checks += [(f"own peak resident <= {PEAK_MIB_TARGET:.0f} MiB ({h} h)", peak[h] <= PEAK_MIB_TARGET,
                f"{peak[h]:.1f} MiB") for h in scenarios]
    if audited:
        checks += [(f"audit wall <= {AUDIT_WALL_RATIO_TARGET} x TAVO_L0 wall ({h} h)",
                    audit_ratios[h] <= AUDIT_WALL_RATIO_TARGET, f"{audit_ratios[h]:.3f}") for h in scenarios]
    if side_by_side:
        checks += [(f"wall <= {WALL_RATIO_TARGET} x floor with tavo_l0dump ({h} h)",
                    l0dump_ratios[h] <= WALL_RATIO_TARGET, f"{l0dump_ratios[h]:.3f}") for h in scenarios]
        checks += [(f"wall with tavo_l0dump <= {L0DUMP_RUN_RATIO_TARGET} x wall with h5dump ({h} h)",
                    run_ratios[h] <= L0DUMP_RUN_RATIO_TARGET, f"{run_ratios[h]:.3f}") for h in scenarios]
    if len(scenarios) > 1:
        h = scenarios[1]
        scale = data[h]["run"]["wall_s"] / (h * data[1]["run"]["wall_s"])
        checks.append((f"{h} h wall = {h} x 1 h wall within {SCALING_TOLERANCE:.0%}",
                       abs(scale - 1) <= SCALING_TOLERANCE, f"{scale:.3f}"))
        cpu_scale = data[h]["run"]["own_cpu_s"] / (h * data[1]["run"]["own_cpu_s"])
        checks.append((f"{h} h own CPU = {h} x 1 h within {SCALING_TOLERANCE:.0%}",
                       abs(cpu_scale - 1) <= SCALING_TOLERANCE, f"{cpu_scale:.3f}"))
        same_peak = abs(peak[h] - peak[1]) <= 1.0
        checks.append((f"peak resident the same for {h} h as for 1 h (within 1 MiB)", same_peak,
                       f"{peak[1]:.1f} / {peak[h]:.1f} MiB"))
    add("| target | figure | |")
    add("|---|---|---|")
    for label, ok, figure in checks:
        add(f"| {label} | {figure} | {verdict(ok)} |")
    add("")

    stages = data[1]["stages"]
    add("Stage split of TAVO_L0's own CPU time (1 h scenario; perf samples of one extra run, "
        "scaled to the median own CPU above):")
    add("")
    if stages:
        add("| stage | share | ms per image |")
        add("|---|---|---|")
        for line in stages.splitlines():
            name, share = line.split("\t")
            add(f"| {name} | {100 * float(share):.1f} % | {float(share) * cpu_ms[1]:.2f} |")
    else:
        add("(not measured: perf is not available or not permitted here)")
    add("")
    add("All measurements (wall s, own CPU s, dump utility CPU s, own peak MiB):")
    add("")
    for h in scenarios:
        for kind, name in (("run", "TAVO_L0"), ("floor", "floor"), ("audit", "tavo_l0audit"),
                           ("run_l0dump", "TAVO_L0 with tavo_l0dump"), ("floor_l0dump", "floor with tavo_l0dump")):
            if not data[h][f"{kind}_all"]:
                continue
            values = "; ".join(f"{d['wall_s']:.2f}, {d['own_cpu_s']:.2f}, {d['children_cpu_s']:.2f}, "
                               f"{d['own_peak_kib'] / 1024:.1f}" for d in data[h][f"{kind}_all"])
            add(f"- {h} h {name}: {values}")
    add("")
    text = "\n".join(lines)
    print(text)
    # Sections that other benchmarks keep between their markers
    # ("<!-- NAME benchmark -->" ... "<!-- end of NAME benchmark -->") stay.
    kept = ""
    if os.path.exists(out_path):
        with open(out_path) as f:
            old = f.read()
        for section in re.finditer(r"<!-- (\w+) benchmark -->.*?<!-- end of \1 benchmark -->", old, re.S):
            kept += "\n" + section.group(0) + "\n"
    with open(out_path, "w") as f:
        f.write(text + kept)


if __name__ == "__main__":
    main()
