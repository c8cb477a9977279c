// Helpers shared by the test programs: scratch directories, files, and
// running the built programs as a person would.
#pragma once

#include <string>
#include <vector>

namespace test_support {

// A fresh directory under the system's temporary folder, removed with all
// its contents when the object goes away (unless TAVO_KEEP_TEST_DIRS is set).
class TempDir {
public:
    explicit TempDir(const std::string& tag = "tavo");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The directory's path, without a final separator.
    const std::string& path() const { return path_; }
    // path() + "/" + name.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Makes every write past bytes fail (EFBIG) in this process while the
// object lives, as a full device does: writes fail, nothing is redirected.
class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    unsigned long saved_soft_ = 0;
    void (*saved_handler_)(int) = nullptr;
};

// A file outside every tree a test writes, aimed at by planted links: its
// bytes must never change.
struct Victim {
    TempDir dir{"tavo-victim"};
    std::string path = dir / "victim.txt";
    std::string content = "the victim's own bytes\n";
    Victim();
    bool untouched() const;
};

// Writes an executable stand-in for the dump utility at path: it appends its
// pid to pids_file, and when its input's name holds slow_name ("" for every
// input) it creates pids_file + ".slow" and waits seconds before it runs
// h5dump with its arguments. One process throughout, so a test can watch it.
void write_slow_dump(const std::string& path, const std::string& pids_file, const std::string& slow_name,
                     int seconds);

// A program started in the background (no shell), standard input from
// /dev/null, standard output into output_path; its pid.
int start_program(const std::vector<std::string>& argv, const std::string& output_path);
// Waits for a started program: its exit status, or 128 + the signal that ended it.
int wait_for(int pid);
// True while pid is a process that has not ended (a zombie has ended).
bool process_alive(int pid);
// The parent of pid, from /proc; -1 when it is gone.
int parent_of(int pid);

struct ProgramResult {
    int exit_status = -1;  // the exit code, or -1 when the program did not exit normally
    std::string out;       // everything written on standard output
    std::string err;       // everything written on standard error
};

// Runs argv[0] with the given arguments (no shell), in directory cwd when
// it is not empty, with standard input from /dev/null, and waits for it.
ProgramResult run_program(const std::vector<std::string>& argv, const std::string& cwd = "");
// The same with standard error on a pseudo-terminal: err holds what the
// program showed there.
ProgramResult run_program_with_terminal_stderr(const std::vector<std::string>& argv, const std::string& cwd = "");

// Headless Chromium with its own profile directory, on args (a page to
// load with --dump-dom or --screenshot=FILE), given 3 s of page time.
ProgramResult run_chromium(const std::string& profile, const std::vector<std::string>& args);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
void make_dirs(const std::string& path);
// Names of the entries of a directory (without "." and ".."), sorted.
std::vector<std::string> list_dir(const std::string& path);

// The configuration file text of a TAVO_L0 run with Debian's h5dump.
struct RunConfiguration {
    std::string input_root;   // INPUT_ROOT_DIRECTORY
    std::string work;         // WORKING_DIRECTORY
    std::string output_root;  // OUTPUT_ROOT_DIRECTORY
    std::string start = "2017/03/01t12:00:00";
    std::string end = "2017/03/01t12:59:59";
    std::string subdirectory = "FLAT";
    std::string despike = "NO";
    std::string isp_csv = "NO";
    int kite = 16;
};
std::string configuration_text(const RunConfiguration& c);

// Splits text into lines (without their line ends).
std::vector<std::string> split_lines(const std::string& text);

// The name of today's log file, "YYYYMMDD.log" in local time.
std::string today_log_name();

// The console lines of a run with their "YYYY/MM/DD HH:MM:SS " time stamp
// removed; lines without a stamp are kept as they are.
std::vector<std::string> strip_log_stamps(const std::string& text);

}  // namespace test_support
