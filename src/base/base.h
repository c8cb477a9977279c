// The base every stage stands on: the run-settings record, the run message,
// the run log, directory creation, owners of open files and directories,
// output files created without following a link, and big-endian reads.
#pragma once

#include <dirent.h>
#include <sys/types.h>

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
void set_run_message(char* run_message, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Makes sure the directory parent + name exists; true when it can be listed.
bool make_directory(const char* parent, const char* name);

// The run log's directory under OUTPUT_ROOT_DIRECTORY: LOG/YYYYMMDD.log.
constexpr const char* kLogDirectoryName = "LOG";

// Appends one time-stamped line to the day's log file and echoes it on
// stdout, control characters escaped (a closing line end kept).
void write_log_line(const char* message);
// For a thread that stops the run: from now on only it logs; another thread
// that comes to log waits there until the process ends.
void reserve_log_for_this_thread();
// True once a thread has reserved the log to stop the run.
bool log_is_reserved();

// Output files. Every file the run (and every companion) creates goes
// through these: a link or file planted at the name is never followed nor
// reused, and a finished file is published by renaming it onto its name,
// which replaces a link standing there, never the link's target.
constexpr mode_t kOutputFileMode = 0666;  // as for fopen; the umask applies

// Creates path for writing, exclusively and without following a link. A
// leftover at the name (a file or a link, not a directory) is removed and
// the creation tried again. The descriptor, or -1 with errno set.
int create_output_file(const char* path);

// Opens path to append at its end, creating it when absent. A link, a FIFO
// or a file with a second name standing there is replaced by a new file.
// The descriptor, or -1 with errno set.
int open_append_file(const char* path);

// Every temporary name ends so: a file left by a killed process is never
// taken for a product or a finished output, and the audit lists it.
constexpr char kTemporaryNameEnd[] = "-tmp";

// Creates a file beside final_path under a name no one can guess ahead
// (final_path + ".XXXXXXXXXX-tmp"), written to temporary_path. The
// descriptor, or -1 with errno set.
int create_temporary_file(const char* final_path, char* temporary_path, size_t slot);

// Removes the files (or links, never their targets) left at final_path's
// temporary names by a killed writer. Only for a writer that alone may write
// final_path: another's file under way would be removed too.
void remove_temporary_leftovers(const char* final_path);

// For a library that creates a file by its name itself (HDF5, SQLite):
// removes a leftover at path (a file or a link, never its target, never a
// directory), after which the library creates the name exclusively. False
// with errno set when something stays.
bool remove_output_leftover(const char* path);

// The same as binary stdio streams; null with errno set.
FILE* create_output_stream(const char* path);
FILE* open_append_stream(const char* path);

// Opens a file this process created at path for reading and writing ("r+b"),
// refusing whatever else has taken its name since (a link, a second name).
FILE* reopen_output_stream(const char* path);

// Copies text into out (slot bytes with the terminator) with every control
// character escaped ("\n", "\t", "\r", "\x1b"), so a name in a log line can
// never start a line of its own; other bytes are copied as they are. The
// length written.
size_t escape_control_characters(const char* text, char* out, size_t slot);

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

// Big-endian reads of packet and FITS fields, byte offsets from bytes.
inline uint32_t read_be8(const uint8_t* bytes, size_t at) { return bytes[at]; }
inline uint32_t read_be16(const uint8_t* bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) << 8 | bytes[at + 1];
}
inline uint32_t read_be24(const uint8_t* bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) << 16 | static_cast<uint32_t>(bytes[at + 1]) << 8 | bytes[at + 2];
}
inline uint32_t read_be32(const uint8_t* bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
           static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}
