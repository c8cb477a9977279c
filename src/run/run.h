// The run: the program entry, the walk over the input files, the product
// of each image (written, despiked, logged), progress and version.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/base.h"
#include "packets/packets.h"

// The program entry: dispatch, then a processing run. Returns the exit status.
int run_main(int argc, char** argv);
void print_usage();
void print_version();

// Lets SIGTERM, SIGINT and SIGHUP stop the run cleanly: the dump utility
// under way ends, the working directory this run claimed is emptied, one
// "ERROR - " line is logged and the process exits with 128 + the signal.
// Called before any other thread starts; false when no watcher could start.
bool watch_stop_signals();

// The revision number of a version-control keyword such as "$Rev: 18597 $":
// at most 7 characters from the first digit after ": " up to a blank, or
// "00000" when no digit follows ": ".
constexpr size_t kRevisionSlot = 8;
void revision_from_keyword(const char* keyword, char (&revision)[kRevisionSlot]);

// The product of one image: written, then despiked, then logged as
// generated. True when the product was written.
bool write_image_product(const char* product_dir, uint32_t image_id, uint32_t sel_count, uint32_t image_date,
                         uint32_t image_time, int32_t image_ms, const uint8_t* header_packet,
                         const uint16_t* pixels);

// The walk over the input files of a run: each file together with its
// successor, (0,1) ... (n-2,n-1) with the last pair flagged, and a single
// file alone as (0,-1). Stops at the first visit that returns false.
using FilePairVisit = bool (*)(void* context, int pair, bool last_pair, int current, int successor);
bool walk_file_pairs(int file_count, FilePairVisit visit, void* context);
// The number of pairs walk_file_pairs visits for file_count files.
int file_pair_count(int file_count);
// The pairs of that walk: the first, and the one after pair (current -1 for
// none).
FilePair first_file_pair(int file_count);
FilePair file_pair_after(int file_count, FilePair pair);

// Progress of a run's walk over its input file pairs: one line on standard
// error, redrawn in place, only while standard error is a terminal.
struct ProgressState {
    int pair = 0;              // the pair being processed, from 1
    int pair_count = 0;
    int pairs_done = 0;        // pairs finished; the estimate of what remains
    int images_written = 0;
    double elapsed_seconds = 0;
};
constexpr size_t kProgressLineSlot = 128;
// "File pair 3 of 9, 71 images written, elapsed 0:00:42, remaining 0:01:38";
// the remaining time reads "-:--:--" until a pair has finished.
void format_progress_line(const ProgressState& state, char (&line)[kProgressLineSlot]);
// Starts the clock; the display is on only when standard error is a terminal.
void start_progress(int pair_count);
// Redraws the line while pair (from 1) is processed, the pairs before it done.
void show_progress(int pair, int images_written);
// Clears the line, leaving the terminal as it was before the run.
void end_progress();
