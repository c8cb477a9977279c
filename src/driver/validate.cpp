// Validation of the run parameters: path style, directories, enumerations.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "driver/driver.h"

namespace {

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The first three characters decide a directory text's style; characters
// past the end of the text are read as the terminator.
struct PathHead {
    char c0, c1, c2;
};

PathHead path_head(const char* text) {
    PathHead head{text[0], '\0', '\0'};
    if (head.c0 != '\0') head.c1 = text[1];
    if (head.c1 != '\0') head.c2 = text[2];
    return head;
}

bool admissible_start(const PathHead& h) { return h.c0 == '/' || h.c0 == '\\' || is_ascii_letter(h.c0); }

bool unix_style(const PathHead& h) { return h.c0 == '/' || (is_ascii_letter(h.c0) && h.c1 == ':' && h.c2 == '/'); }

bool drive_path(const PathHead& h) { return is_ascii_letter(h.c0) && h.c1 == ':' && h.c2 == '\\'; }

bool network_path(const PathHead& h) { return h.c0 == '\\' && h.c1 == '\\' && h.c2 != '\0'; }

void append_separator(char* text, char separator) {
    const size_t length = std::strlen(text);
    if (length > 0 && text[length - 1] == separator) return;
    // The slot holds a 256-character value and its separator.
    text[length] = separator;
    text[length + 1] = '\0';
}

bool directory_opens(const char* path) { return DirHandle(opendir(path)) != nullptr; }

// Checks a, c and d of one directory parameter; b (same style as the input
// root) is the caller's, since the input root sets the style.
bool check_directory(int row, bool unix, char* run_message) {
    char* text = run_settings.param_text[row];
    const char* name = parameter_names[row];
    const PathHead head = path_head(text);
    if (!admissible_start(head)) {
        set_run_message(run_message,
                        "ERROR - %s must begin with a forward slash, backslash, or drive letter, got: %s", name,
                        text);
        return false;
    }
    if (row != PARAM_INPUT_ROOT_DIRECTORY && unix_style(head) != unix) {
        set_run_message(run_message,
                        "ERROR - mismatch of Unix/Windows directory formats between INPUT_ROOT_DIRECTORY and %s",
                        name);
        return false;
    }
    if (!unix) {
        if (is_ascii_letter(head.c0) && !drive_path(head)) {
            set_run_message(run_message,
                            "ERROR - %s has invalid Windows drive path (expected format X:\\dir), got: %s", name,
                            text);
            return false;
        }
        if (head.c0 == '\\' && !network_path(head)) {
            set_run_message(run_message,
                            "ERROR - %s has invalid Windows network path (expected format \\\\dir), got: %s", name,
                            text);
            return false;
        }
    }
    append_separator(text, unix ? '/' : '\\');
    if (!directory_opens(text)) {
        set_run_message(run_message, "ERROR - unable to access %s %s", name, text);
        return false;
    }
    return true;
}

bool input_root_is_valid(char* run_message) {
    const PathHead head = path_head(run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY]);
    if (admissible_start(head)) {
        run_settings.unix_paths = unix_style(head);
        run_settings.path_separator = run_settings.unix_paths ? '/' : '\\';
    }
    return check_directory(PARAM_INPUT_ROOT_DIRECTORY, run_settings.unix_paths, run_message);
}

// The working directory must hold nothing but "." and "..": every file in it
// is deleted before each extraction.
bool working_directory_is_empty(char* run_message) {
    const char* text = run_settings.param_text[PARAM_WORKING_DIRECTORY];
    DirHandle dir(opendir(text));
    if (!dir) {
        set_run_message(run_message, "ERROR - unable to access WORKING_DIRECTORY %s", text);
        return false;
    }
    errno = 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            set_run_message(run_message,
                            "ERROR - non-empty WORKING_DIRECTORY %s; ensure directory is empty and restart run",
                            text);
            return false;
        }
    }
    if (errno != 0) {
        set_run_message(run_message, "ERROR - unable to access WORKING_DIRECTORY %s", text);
        return false;
    }
    return true;
}

// The working directory held open and locked by this run until it ends.
int working_directory_lock = -1;
bool working_directory_is_claimed = false;

// Errors by which a file system says it cannot lock (NFS emulates flock
// with locks that need a file open for writing, which a directory is not).
bool lock_unsupported(int error) {
    return error == EBADF || error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

// Locks WORKING_DIRECTORY exclusively for the rest of the process: another
// run holding it stops this one.
bool lock_working_directory(char* run_message) {
    const char* text = run_settings.param_text[PARAM_WORKING_DIRECTORY];
    if (working_directory_lock >= 0) close(working_directory_lock);
    working_directory_lock = open(text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (working_directory_lock < 0) {
        set_run_message(run_message, "ERROR - unable to access WORKING_DIRECTORY %s", text);
        return false;
    }
    if (flock(working_directory_lock, LOCK_EX | LOCK_NB) == 0) return true;
    const int error = errno;
    if (error == EWOULDBLOCK) {
        set_run_message(run_message,
                        "ERROR - WORKING_DIRECTORY %s is in use by another run; wait for it to end or choose "
                        "another directory",
                        text);
        return false;
    }
    if (!lock_unsupported(error)) {
        set_run_message(run_message, "ERROR - unable to lock WORKING_DIRECTORY %s: %s", text, std::strerror(error));
        return false;
    }
    char warning[kRunMessageCapacity];
    set_run_message(warning,
                    "WARNING - WORKING_DIRECTORY %s cannot be locked on its file system (%s); make sure no other "
                    "run uses it",
                    text, std::strerror(error));
    write_log_line(warning);
    return true;
}

// Sets the number of an enumerated parameter from the word it matches (case
// ignored); false when it matches none.
struct Choice {
    const char* word;
    int32_t number;
};

bool choose(int row, const Choice (&choices)[2]) {
    for (const Choice& choice : choices) {
        if (strcasecmp(run_settings.param_text[row], choice.word) == 0) {
            run_settings.param_number[row] = choice.number;
            return true;
        }
    }
    return false;
}

bool enumerations_are_valid(char* run_message) {
    if (!choose(PARAM_INPUT_TYPE, {{"HDF", 1}, {"APID", 0}})) {
        set_run_message(run_message, "ERROR - parameter INPUT_TYPE must be HDF or APID, got: %s",
                        run_settings.param_text[PARAM_INPUT_TYPE]);
        return false;
    }
    if (!choose(PARAM_INPUT_SUBDIRECTORY, {{"HIERARCHICAL", 1}, {"FLAT", 0}})) {
        set_run_message(run_message, "ERROR - parameter INPUT_SUBDIRECTORY must be HIERARCHICAL or FLAT, got: %s",
                        run_settings.param_text[PARAM_INPUT_SUBDIRECTORY]);
        return false;
    }
    if (!choose(PARAM_DESPIKE, {{"YES", 1}, {"NO", 0}})) {
        set_run_message(run_message, "ERROR - parameter DESPIKE must be YES or NO, got: %s",
                        run_settings.param_text[PARAM_DESPIKE]);
        return false;
    }
    if (!choose(PARAM_ISP_CSV, {{"YES", 1}, {"NO", 0}})) {
        set_run_message(run_message, "ERROR - parameter ISP_CSV must be YES or NO, got: %s",
                        run_settings.param_text[PARAM_ISP_CSV]);
        return false;
    }
    return true;
}

bool kite_is_valid(char* run_message) {
    const char* text = run_settings.param_text[PARAM_KITE];
    int32_t kite = 0;
    if (parse_satellite(text, kite)) {
        run_settings.param_number[PARAM_KITE] = kite;
        return true;
    }
    set_run_message(run_message, "ERROR - " TAVO_SATELLITE_RANGE_FORMAT, text);
    return false;
}

// The dump tool must be a file that opens for reading; a directory is none.
bool h5dump_exists(char* run_message) {
    const char* text = run_settings.param_text[PARAM_H5DUMP_EXE];
    FileHandle file(std::fopen(text, "r"));
    struct stat status = {};
    if (!file || fstat(fileno(file.get()), &status) != 0 || S_ISDIR(status.st_mode)) {
        set_run_message(run_message, "ERROR - H5DUMP_EXE file does not exist: %s", text);
        return false;
    }
    return true;
}

}  // namespace

bool validate_parameters(char* run_message) { return validate_parameters(run_message, true); }

namespace {

enum class WorkingDirectoryUse { kAny, kEmpty, kLockedEmpty };

bool working_directory_is_usable(char* run_message, WorkingDirectoryUse use) {
    if (use == WorkingDirectoryUse::kAny) return true;
    if (use == WorkingDirectoryUse::kLockedEmpty && !lock_working_directory(run_message)) return false;
    return working_directory_is_empty(run_message);
}

bool validate_parameters_for(char* run_message, WorkingDirectoryUse use) {
    return input_root_is_valid(run_message) &&
           check_directory(PARAM_OUTPUT_ROOT_DIRECTORY, run_settings.unix_paths, run_message) &&
           check_directory(PARAM_WORKING_DIRECTORY, run_settings.unix_paths, run_message) &&
           working_directory_is_usable(run_message, use) && enumerations_are_valid(run_message) &&
           kite_is_valid(run_message) && h5dump_exists(run_message) && parse_time_window(run_message);
}

}  // namespace

bool validate_parameters(char* run_message, bool require_empty_working_directory) {
    return validate_parameters_for(run_message, require_empty_working_directory ? WorkingDirectoryUse::kEmpty
                                                                                : WorkingDirectoryUse::kAny);
}

bool validate_run_parameters(char* run_message) {
    working_directory_is_claimed = validate_parameters_for(run_message, WorkingDirectoryUse::kLockedEmpty);
    return working_directory_is_claimed;
}

bool working_directory_claimed() { return working_directory_is_claimed; }

bool parse_satellite(const char* text, int32_t& kite) {
    // Exactly two digits: "016" or "+16" is no satellite number.
    if (std::strlen(text) != 2 || text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9') return false;
    const int32_t number = 10 * (text[0] - '0') + (text[1] - '0');
    if (!satellite_is_valid(number)) return false;
    kite = number;
    return true;
}

bool satellite_is_valid(int32_t kite) { return kite >= kFirstSatellite && kite <= kLastSatellite; }
