// The one-line progress display on a terminal's standard error. The line is
// drawn from column 0 and the cursor is put back there, so that a console
// line on the same terminal simply writes over it.
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "run/run.h"

namespace {

constexpr int kProgressWidth = 79;  // padded so that a shorter redraw leaves no residue

struct Display {
    bool on = false;
    int pair_count = 0;
    timespec start{};
};
Display display;

double seconds_since(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) * 1e-9;
}

constexpr int kDurationSlot = 16;
constexpr double kLongestShownSeconds = 9999 * 3600.0 - 1;  // "9998:59:59"

// H:MM:SS; an estimate beyond the longest shown is shown as the longest.
void format_duration(double seconds, char (&text)[kDurationSlot]) {
    const double shown = seconds < kLongestShownSeconds ? seconds : kLongestShownSeconds;
    const int whole = shown > 0 ? static_cast<int>(shown + 0.5) : 0;
    std::snprintf(text, sizeof text, "%d:%02d:%02d", whole / 3600 % 10000, whole / 60 % 60, whole % 60);
}

void draw(const char* text) {
    std::fprintf(stderr, "\r%-*s\r", kProgressWidth, text);
    std::fflush(stderr);
}

}  // namespace

void format_progress_line(const ProgressState& state, char (&line)[kProgressLineSlot]) {
    char elapsed[kDurationSlot];
    format_duration(state.elapsed_seconds, elapsed);
    char remaining[kDurationSlot] = "-:--:--";
    if (state.pairs_done > 0) {
        const int left = state.pair_count - state.pairs_done;
        format_duration(state.elapsed_seconds / state.pairs_done * left, remaining);
    }
    std::snprintf(line, sizeof line, "File pair %d of %d, %d images written, elapsed %s, remaining %s", state.pair,
                  state.pair_count, state.images_written, elapsed, remaining);
}

void start_progress(int pair_count) {
    display.on = isatty(STDERR_FILENO) == 1;
    display.pair_count = pair_count;
    clock_gettime(CLOCK_MONOTONIC, &display.start);
}

void show_progress(int pair, int images_written) {
    if (!display.on) return;
    ProgressState state;
    state.pair = pair;
    state.pair_count = display.pair_count;
    state.pairs_done = pair - 1;
    state.images_written = images_written;
    state.elapsed_seconds = seconds_since(display.start);
    char line[kProgressLineSlot];
    format_progress_line(state, line);
    draw(line);
}

void end_progress() {
    if (display.on) draw("");
    display.on = false;
}
