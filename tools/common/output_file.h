// Output files of the companions, on the run's own helper: created under a
// name no one can guess beside the final name, never through a link, and
// published by a rename that replaces whatever stands at the final name
// (a link included, never its target).
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace tavo_tools {

class OutputFile {
public:
    // Creates the temporary file beside path; check ok() (error() says why not).
    explicit OutputFile(std::string path);
    ~OutputFile();  // removes the temporary file unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool ok() const { return stream_ != nullptr; }
    const std::string& error() const { return error_; }
    FILE* stream() { return stream_; }
    const std::string& temporary_path() const { return temporary_; }

    // Appends bytes; a failure is remembered and reported by commit.
    void write(std::string_view bytes);
    // Closes and renames onto the final name; false with error() set.
    // Durable: the file is on disk before the rename (after a power loss the
    // name holds the old file or the whole new one).
    bool commit(bool durable = false);

private:
    std::string path_;
    std::string temporary_;
    std::string error_;
    FILE* stream_ = nullptr;
    bool failed_ = false;
};

// Writes content as path (through an OutputFile); false with error set.
bool write_output_file(const std::string& path, std::string_view content, std::string& error);

// Opens path to append, creating it when absent, never through a link; -1
// with error set.
int open_append_output(const std::string& path, std::string& error);

// Creates path exclusively for a child's output, removing a leftover at the
// name (never a link's target); -1 with error set.
int create_output(const std::string& path, std::string& error);

// Removes a leftover at path (a file or a link, never its target) before a
// library (SQLite, HDF5) creates the name itself; false with error set.
bool remove_leftover(const std::string& path, std::string& error);

// True when something other than a regular file stands at path (a device,
// a pipe, a directory, a link). An output the user names is then written in
// place (open_in_place), since a file renamed over it would replace it.
bool written_in_place(const std::string& path);

// Opens path to write in place, as written_in_place found it: a link
// standing at the name is refused (never followed, never replaced), and so
// is a regular file; -1 with error set.
int open_in_place(const std::string& path, std::string& error);

// Writes an output whose name the user gave: fill writes the content into
// the stream, in place at a device or a pipe (/dev/null), otherwise through
// an OutputFile; a link at the name is refused. False with error set.
bool write_named_output(const std::string& path, const std::function<void(FILE*)>& fill, std::string& error);

// name with its control characters escaped ("\n", "\x1b"), for a log line
// or the console: a name can never start a line.
std::string printable(std::string_view name);

}  // namespace tavo_tools
