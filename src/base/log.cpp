// The run log and directory creation.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "base/base.h"

namespace {

// Long enough for the deepest product or CSV directory the run creates.
constexpr size_t kPathBufferSize = 512;
constexpr mode_t kDirectoryMode = 0777;  // before the umask, as mkdir(1) does

bool directory_opens(const char* path) { return DirHandle(opendir(path)) != nullptr; }

bool create_one_level(const char* path) { return mkdir(path, kDirectoryMode) == 0 || errno == EEXIST; }

// Creates every missing level of path, like "mkdir -p". Outcome is judged by
// the caller, so failures of single levels are not reported here.
void create_all_levels(char* path) {
    const size_t length = std::strlen(path);
    for (size_t i = 1; i < length; ++i) {
        if (path[i] != '/' || path[i - 1] == '/') continue;
        path[i] = '\0';
        create_one_level(path);
        path[i] = '/';
    }
    create_one_level(path);
}

}  // namespace

bool make_directory(const char* parent, const char* name) {
    if (std::strpbrk(name, "/\\:") != nullptr) return false;
    char path[kPathBufferSize];
    const int written = std::snprintf(path, sizeof path, "%s%s", parent, name);
    if (written < 0 || static_cast<size_t>(written) >= sizeof path) return false;
    if (directory_opens(path)) return true;
    if (run_settings.unix_paths) {
        create_all_levels(path);
    } else {
        create_one_level(path);
    }
    return directory_opens(path);
}

namespace {

// Appends one line to the day's log file; false when it could not be written.
bool append_to_log_file(const std::tm& now, const char* stamp, const char* message) {
    const char* root = run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY];
    if (!make_directory(root, kLogDirectoryName)) return false;
    const char separator = run_settings.unix_paths ? '/' : '\\';
    const int day = (now.tm_year + 1900) * 10000 + (now.tm_mon + 1) * 100 + now.tm_mday;
    char file_name[kPathBufferSize];
    const int written =
        std::snprintf(file_name, sizeof file_name, "%s%s%c%08d.log", root, kLogDirectoryName, separator, day);
    if (written < 0 || static_cast<size_t>(written) >= sizeof file_name) return false;
    FileHandle file(open_append_stream(file_name));
    if (!file) return false;
    const bool line_written = std::fprintf(file.get(), "%s %s\n", stamp, message) >= 0;
    const bool closed = std::fclose(file.release()) == 0;
    return line_written && closed;
}

// Room for a message whose every character is escaped as "\xNN".
constexpr size_t kPrintableSlot = 4 * kRunMessageCapacity;

// message as it is written: control characters escaped, so a name in it can
// never start a line, but for the one line end some messages close with.
void make_printable(const char* message, char (&out)[kPrintableSlot]) {
    const size_t length = escape_control_characters(message, out, sizeof out);
    const size_t message_length = std::strlen(message);
    const bool closing_line_end = message_length > 0 && message[message_length - 1] == '\n';
    if (closing_line_end && length >= 2 && out[length - 2] == '\\' && out[length - 1] == 'n') {
        out[length - 2] = '\n';
        out[length - 1] = '\0';
    }
}

}  // namespace

namespace {

// Set when a thread stopping the run takes the log for its last line.
std::atomic<bool> log_reserved{false};
thread_local bool log_reserved_here = false;

}  // namespace

void reserve_log_for_this_thread() {
    log_reserved_here = true;
    log_reserved = true;
}

bool log_is_reserved() { return log_reserved; }

void write_log_line(const char* raw_message) {
    // The run is being stopped by another thread, which ends the process.
    while (log_reserved && !log_reserved_here) pause();
    char message[kPrintableSlot];
    make_printable(raw_message, message);
    const std::time_t clock = std::time(nullptr);
    std::tm now = {};
    localtime_r(&clock, &now);
    char stamp[80];  // room for any int fields, though real ones take 19
    std::snprintf(stamp, sizeof stamp, "%04d/%02d/%02d %02d:%02d:%02d", now.tm_year + 1900, now.tm_mon + 1,
                  now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    // A log file that cannot be written leaves the line on the console only.
    append_to_log_file(now, stamp, message);
    std::printf("%s %s\n", stamp, message);
    std::fflush(stdout);
}
