// Parameter validation: path styles and normalisation of the three
// directories, access tests, enumerations, the dump utility, the window.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <strings.h>

#include "driver/driver.h"

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

enum class PathStyle { kInadmissible, kUnix, kWindows };

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

PathStyle classify_path(const char* text) {
    const char c0 = text[0];
    const char c1 = c0 != '\0' ? text[1] : '\0';
    const char c2 = c1 != '\0' ? text[2] : '\0';
    if (c0 != '/' && c0 != '\\' && !is_ascii_letter(c0)) return PathStyle::kInadmissible;
    if (c0 == '/' || (is_ascii_letter(c0) && c1 == ':' && c2 == '/')) return PathStyle::kUnix;
    return PathStyle::kWindows;
}

void append_separator(char* text, char separator) {
    const size_t length = std::strlen(text);
    if (length == 0 || text[length - 1] != separator) {
        text[length] = separator;
        text[length + 1] = '\0';
    }
}

// Checks a, c and d of one directory parameter; b (the style match) is the
// caller's. Returns false after formatting the message.
bool check_windows_form(int row, char* run_message) {
    const char* text = run_settings.param_text[row];
    if (is_ascii_letter(text[0]) && !(text[1] == ':' && text[2] == '\\')) {
        set_run_message(run_message,
                        "ERROR - %s has invalid Windows drive path (expected format X:\\dir), got: %s",
                        parameter_names[row], text);
        return false;
    }
    if (text[0] == '\\' && !(text[1] == '\\' && text[2] != '\0')) {
        set_run_message(run_message,
                        "ERROR - %s has invalid Windows network path (expected format \\\\dir), got: %s",
                        parameter_names[row], text);
        return false;
    }
    return true;
}

bool check_admissible(int row, char* run_message) {
    if (classify_path(run_settings.param_text[row]) != PathStyle::kInadmissible) return true;
    set_run_message(run_message,
                    "ERROR - %s must begin with a forward slash, backslash, or drive letter, got: %s",
                    parameter_names[row], run_settings.param_text[row]);
    return false;
}

bool check_access(int row, char* run_message) {
    if (DirHandle(opendir(run_settings.param_text[row])) != nullptr) return true;
    set_run_message(run_message, "ERROR - unable to access %s %s", parameter_names[row],
                    run_settings.param_text[row]);
    return false;
}

bool check_input_root(char* run_message) {
    const int row = PARAM_INPUT_ROOT_DIRECTORY;
    if (!check_admissible(row, run_message)) return false;
    run_settings.unix_paths = classify_path(run_settings.param_text[row]) == PathStyle::kUnix;
    if (!run_settings.unix_paths && !check_windows_form(row, run_message)) return false;
    run_settings.path_separator = run_settings.unix_paths ? '/' : '\\';
    append_separator(run_settings.param_text[row], run_settings.path_separator);
    return check_access(row, run_message);
}

bool check_other_directory(int row, char* run_message) {
    if (!check_admissible(row, run_message)) return false;
    const bool unix_style = classify_path(run_settings.param_text[row]) == PathStyle::kUnix;
    if (unix_style != run_settings.unix_paths) {
        set_run_message(run_message,
                        "ERROR - mismatch of Unix/Windows directory formats between INPUT_ROOT_DIRECTORY and %s",
                        parameter_names[row]);
        return false;
    }
    if (!unix_style && !check_windows_form(row, run_message)) return false;
    append_separator(run_settings.param_text[row], unix_style ? '/' : '\\');
    return check_access(row, run_message);
}

bool check_working_directory_empty(char* run_message) {
    const char* text = run_settings.param_text[PARAM_WORKING_DIRECTORY];
    DirHandle dir(opendir(text));
    bool empty = true;
    if (dir) {
        while (const dirent* entry = readdir(dir.get())) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                empty = false;
                break;
            }
        }
    }
    if (empty) return true;
    set_run_message(run_message,
                    "ERROR - non-empty WORKING_DIRECTORY %s; ensure directory is empty and restart run", text);
    return false;
}

// Sets the number of a two-valued parameter (case ignored) or fails.
bool check_choice(int row, const char* one, const char* zero, const char* format, char* run_message) {
    const char* text = run_settings.param_text[row];
    if (strcasecmp(text, one) == 0) {
        run_settings.param_number[row] = 1;
        return true;
    }
    if (strcasecmp(text, zero) == 0) {
        run_settings.param_number[row] = 0;
        return true;
    }
    set_run_message(run_message, format, text);
    return false;
}

bool check_kite(char* run_message) {
    static const char* const kSatellites[] = {"16", "17", "18", "19"};
    const char* text = run_settings.param_text[PARAM_KITE];
    for (const char* satellite : kSatellites) {
        if (std::strcmp(text, satellite) == 0) {
            run_settings.param_number[PARAM_KITE] = (satellite[0] - '0') * 10 + (satellite[1] - '0');
            return true;
        }
    }
    set_run_message(run_message, "ERROR - parameter KITE must be 16, 17, 18, or 19, got: %s", text);
    return false;
}

// The dump utility must be a file that opens for reading; a directory,
// which fopen would also open, is no program.
bool check_dump_utility(char* run_message) {
    const char* path = run_settings.param_text[PARAM_H5DUMP_EXE];
    struct stat status = {};
    FILE* file = stat(path, &status) == 0 && !S_ISDIR(status.st_mode) ? std::fopen(path, "r") : nullptr;
    if (file != nullptr) {
        std::fclose(file);
        return true;
    }
    set_run_message(run_message, "ERROR - H5DUMP_EXE file does not exist: %s", path);
    return false;
}

}  // namespace

bool validate_parameters(char* run_message) {
    return check_input_root(run_message) && check_other_directory(PARAM_OUTPUT_ROOT_DIRECTORY, run_message) &&
           check_other_directory(PARAM_WORKING_DIRECTORY, run_message) &&
           check_working_directory_empty(run_message) &&
           check_choice(PARAM_INPUT_TYPE, "HDF", "APID", "ERROR - parameter INPUT_TYPE must be HDF or APID, got: %s",
                        run_message) &&
           check_choice(PARAM_INPUT_SUBDIRECTORY, "HIERARCHICAL", "FLAT",
                        "ERROR - parameter INPUT_SUBDIRECTORY must be HIERARCHICAL or FLAT, got: %s", run_message) &&
           check_choice(PARAM_DESPIKE, "YES", "NO", "ERROR - parameter DESPIKE must be YES or NO, got: %s",
                        run_message) &&
           check_choice(PARAM_ISP_CSV, "YES", "NO", "ERROR - parameter ISP_CSV must be YES or NO, got: %s",
                        run_message) &&
           check_kite(run_message) && check_dump_utility(run_message) && parse_time_window(run_message);
}
