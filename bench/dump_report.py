#!/usr/bin/env python3
"""The table of bench/run_dump_bench: per file, the median of the repeats;
per utility, the mean over the files; tavo_l0dump against h5dump.

dump_report.py RESULTS_DIR FILES REPEAT BUILD_DIR LOAD_AVERAGE
"""
import datetime
import os
import statistics
import sys

from bench_report import machine, read_figures

UTILITIES = ("h5dump", "tavo_l0dump")
CPU_RATIO_TARGET = 0.35


def per_file(results, utility, index, repeat):
    runs = [read_figures(os.path.join(results, f"{utility}-{index}-{r}.txt")) for r in range(1, repeat + 1)]
    return {
        "cpu_s": statistics.median(r["own_user_s"] + r["own_sys_s"] for r in runs),
        "user_s": statistics.median(r["own_user_s"] for r in runs),
        "sys_s": statistics.median(r["own_sys_s"] for r in runs),
        "wall_s": statistics.median(r["wall_s"] for r in runs),
        "peak_mib": statistics.median(r["own_peak_kib"] for r in runs) / 1024,
    }


def cpu_text(figures):
    return f"{figures['cpu_s']:.3f} ({figures['user_s']:.3f} + {figures['sys_s']:.3f})"


def main():
    results, files, repeat, build, load = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
    figures = {u: [per_file(results, u, i, repeat) for i in range(files)] for u in UTILITIES}
    mean = {u: {k: statistics.mean(f[k] for f in figures[u]) for k in figures[u][0]} for u in UTILITIES}
    stream_mib = statistics.mean(int(open(os.path.join(results, f"bytes-{i}.txt")).read()) for i in range(files))
    stream_mib /= 1048576
    ratio = {k: mean["tavo_l0dump"][k] / mean["h5dump"][k] for k in mean["h5dump"]}

    lines = [
        "## Dump utility (bench/run_dump_bench)",
        "",
        f"- Date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}, build {build}, "
        f"load average {load} at the end",
        f"- Machine: {machine()}",
        f"- Files: the whole-run scenario's {files} level-0 files (1280x1280 images every 10 s, 6-minute files, "
        f"deflate 1, 1 MiB chunks), {stream_mib:.1f} MiB of packets each; both utilities write the same bytes",
        f"- Each file dumped {repeat} times by each utility, alternating, with TAVO_L0's command line; "
        "per file the median, then the mean over the files",
        "",
        "| per file | h5dump | tavo_l0dump | tavo_l0dump / h5dump | target |",
        "|---|---|---|---|---|",
    ]
    lines.append(f"| CPU (s; user + sys) | {cpu_text(mean['h5dump'])} | {cpu_text(mean['tavo_l0dump'])} | "
                 f"{ratio['cpu_s']:.2f} | <= {CPU_RATIO_TARGET} "
                 f"({'met' if ratio['cpu_s'] <= CPU_RATIO_TARGET else 'NOT MET'}) |")
    lines.append(f"| wall (s) | {mean['h5dump']['wall_s']:.3f} | {mean['tavo_l0dump']['wall_s']:.3f} | "
                 f"{ratio['wall_s']:.2f} | |")
    lines.append(f"| peak resident (MiB) | {mean['h5dump']['peak_mib']:.1f} | {mean['tavo_l0dump']['peak_mib']:.1f} | "
                 f"{ratio['peak_mib']:.2f} | |")
    lines.append("")
    lines.append("CPU s per file (medians), h5dump / tavo_l0dump: " +
                 "; ".join(f"{h['cpu_s']:.3f} / {t['cpu_s']:.3f}"
                           for h, t in zip(figures["h5dump"], figures["tavo_l0dump"])))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
