#!/usr/bin/env python3
"""Stage split of TAVO_L0's own CPU time from a perf recording of a run.

Reads `perf script -F pid,period,ip,sym --inline` output on standard input
and attributes every sample of the main process (the TAVO_L0 pid with the
most samples; the dump utility's processes are left out) to the innermost frame
of its call chain that belongs to a stage. Kernel frames are passed over, so
a write's copy into the page cache counts for the stage that wrote.

Prints one line per stage: name, share of the process's samples.
"""
import re
import sys

# Innermost match wins, so specific functions come before their callers.
STAGES = [
    ("despike detect", ["despike_image", "unpack_image", "histogram_pedestal", "fill_border", "pack_image",
                        "fill_header_cards", "outer_ring_median", "ring_median", "scan_pass", "flag_row"]),
    ("despike rewrite", ["replace_product", "write_product", "write_spike_locations", "write_spike_values",
                         "write_table_header", "write_block_padding"]),
    ("despike read", ["despike_product"]),
    ("header cards", ["format_primary_header", "format_creation_time", "derive_header_keywords",
                      "format_telemetry_card", "find_last_bakeout_time"]),
    ("log lines", ["write_log_line", "log_product_line"]),
    ("pixel write", ["write_product_file", "write_fits_image"]),
    ("product directory", ["make_product_directory", "make_directory"]),
    ("assembly", ["assemble_images", "assemble_pixels", "read_packet", "store_pixel_samples", "find_next_header"]),
    ("scan and sort", ["scan_packet_streams", "scan_stream", "sort_packet_records", "select_packet_records",
                       "compute_packet_window", "process_packet_streams"]),
    ("dump and work area", ["run_dump_utility", "clean_work_directory", "process_input_file"]),
    ("CSV", ["write_isp_csv", "append_isp_row"]),
]
ORDER = ["scan and sort", "assembly", "product directory", "header cards", "pixel write", "despike read",
         "despike detect", "despike rewrite", "log lines", "CSV", "dump and work area", "other"]

STAGE_OF = {name: stage for stage, names in STAGES for name in names}
# "(anonymous namespace)::scan_stream(...)", "scan_pass (inlined)", "run_main".
NAME = re.compile(r"(?:.*::)?([A-Za-z_][A-Za-z0-9_]*)(?:\(.*\))?(?: \(inlined\))?$")


def stage_of(frames):
    for symbol in frames:
        match = NAME.match(symbol)
        if match and match.group(1) in STAGE_OF:
            return STAGE_OF[match.group(1)]
    return "other"


def samples(lines):
    header = None
    frames = []
    for line in lines:
        line = line.rstrip("\n")
        if not line:
            if header:
                yield header[0], header[1], frames
            header, frames = None, []
        elif line[0] != "\t":  # a sample line; its frames follow, tab-indented
            fields = line.split()
            header = (int(fields[0]), int(fields[1]))
            frames = []
        else:
            parts = line.strip().split(None, 1)
            if len(parts) == 2 and not parts[0].startswith("ffffffff"):
                frames.append(parts[1])
    if header:
        yield header[0], header[1], frames


def main():
    per_pid = {}
    for pid, period, frames in samples(sys.stdin):
        per_pid.setdefault(pid, []).append((period, frames))
    if not per_pid:
        sys.exit("stage_split: no samples")
    main_pid = max(per_pid, key=lambda pid: len(per_pid[pid]))
    totals = {stage: 0 for stage in ORDER}
    for period, frames in per_pid[main_pid]:
        totals[stage_of(frames)] += period
    whole = sum(totals.values())
    for stage in ORDER:
        print(f"{stage}\t{totals[stage] / whole:.6f}")


if __name__ == "__main__":
    main()
