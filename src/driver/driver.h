// Run control: the run-settings record, the run message, parameter parsing
// and validation, the time window, the run log and directory creation.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// Parameter rows, in the order of parameter_names.
enum ParameterIndex : int {
    PARAM_INPUT_TYPE = 0,
    PARAM_INPUT_ROOT_DIRECTORY,
    PARAM_INPUT_SUBDIRECTORY,
    PARAM_WORKING_DIRECTORY,
    PARAM_H5DUMP_EXE,
    PARAM_OUTPUT_PRODUCT,
    PARAM_EVENT_OUTPUT,
    PARAM_OUTPUT_ROOT_DIRECTORY,
    PARAM_DESPIKE,
    PARAM_ISP_CSV,
    PARAM_KITE,
    PARAM_START,
    PARAM_END,
    PARAM_CONFIG,
};

constexpr int kParameterCount = 14;
constexpr int kParameterNameSlot = 25;   // 24 characters and a terminator
constexpr int kMaxValueLength = 256;     // longest accepted parameter value
// A directory value may reach 256 characters and still get its separator.
constexpr int kValueSlot = kMaxValueLength + 2;

extern const char parameter_names[kParameterCount][kParameterNameSlot];

// Where a parameter's value came from.
constexpr int32_t kSourceNone = 0;
constexpr int32_t kSourceCommandLine = 1;
constexpr int32_t kSourceConfigFile = 2;

// The one process-wide run-settings record: filled by parse_parameters and
// validate_parameters, only read afterwards.
struct RunSettings {
    char param_text[kParameterCount][kValueSlot];  // value text, "" when not given
    int32_t param_source[kParameterCount];         // kSource* of each value
    int32_t param_number[kParameterCount];         // numeric value set by validation
    bool unix_paths;                               // INPUT_ROOT_DIRECTORY is Unix style
    char path_separator;                           // '/' or '\\'
    uint32_t start_date;                           // YYYYMMDD of START
    uint32_t start_time;                           // HHMMSS of START
    uint32_t end_date;                             // YYYYMMDD of END
    uint32_t end_time;                             // HHMMSS of END, its last second
};

extern RunSettings run_settings;

// Resets the record to its start-of-run state (empty texts, Unix style,
// backslash separator).
void reset_run_settings();

// The run message: one buffer per run, passed first to every stage. It holds
// the longest message of any stage (fixed text and two inserted paths or lines).
constexpr size_t kRunMessageCapacity = 2048;

// Formats one message into run_message (never past kRunMessageCapacity).
void set_run_message(char* run_message, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Stages of a processing run. Each returns false after formatting one
// message into run_message.
bool parse_parameters(int argc, char** argv, char* run_message);
bool validate_parameters(char* run_message);
// The same checks; a program that never extracts into WORKING_DIRECTORY
// (an audit) passes false to accept one that is not empty.
bool validate_parameters(char* run_message, bool require_empty_working_directory);
bool parse_time_window(char* run_message);

// Makes sure the directory parent + name exists; true when it can be listed.
bool make_directory(const char* parent, const char* name);

// Appends one time-stamped line to the day's log file and echoes it on stdout.
void write_log_line(const char* message);

// The walk over the input files of a run: each file together with its
// successor, (0,1) ... (n-2,n-1) with the last pair flagged, and a single
// file alone as (0,-1). Stops at the first visit that returns false.
using FilePairVisit = bool (*)(void* context, int pair, bool last_pair, int current, int successor);
bool walk_file_pairs(int file_count, FilePairVisit visit, void* context);
// The number of pairs walk_file_pairs visits for file_count files.
int file_pair_count(int file_count);

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

// The program entry: dispatch, then a processing run. Returns the exit status.
int run_main(int argc, char** argv);
void print_usage();
void print_version();

// The revision number of a version-control keyword such as "$Rev: 18597 $":
// at most 7 characters from the first digit after ": " up to a blank, or
// "00000" when no digit follows ": ".
constexpr size_t kRevisionSlot = 8;
void revision_from_keyword(const char* keyword, char (&revision)[kRevisionSlot]);

// One entry of a closed list of codes (a report's reasons): the code and
// its text for people.
struct CodeText {
    const char* code;  // "final_packet_missing"
    const char* text;  // "final packet missing"
};

// Owners of an open stream and an open directory listing: every return path
// closes them. A write that must be checked closes explicitly with
// std::fclose(handle.release()).
struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;
