// Input file discovery: the level-0 files whose names say they may hold
// packets of the window START - 121 s .. END + 121 s, in the FLAT layout or
// in one day directory per day (HIERARCHICAL), in the order of the files'
// start times.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/base.h"
#include "input/input.h"
#include "time/time.h"

char input_file_list[kMaxInputFiles][kInputEntrySlot];
int input_file_count = 0;
InputSearch last_input_search = InputSearch::kFailed;

namespace {

constexpr int kMaxNameLength = 67;        // longest accepted file name
constexpr int kTimeFieldLength = 16;      // "_s" or "_e", YYYYDDD, HHMMSS, tenths
constexpr int kDayDirectorySlot = 24;     // "K16_2017_060/" or "K16_20170301/"
constexpr int kDirectoryPathSlot = kValueSlot + kDayDirectorySlot;

// The strings a level-0 file name is matched against.
struct NameFilter {
    char satellite[8];      // "_K16_"
    char end_limit[20];     // "_e" + START - 121 s + "9"
    char start_limit[20];   // "_s" + END + 121 s + "0"
    InputObserver* observer;  // told of every level-0 file not taken; nullptr for none
};

// A day in the (year, day of year) form.
struct OrdinalDay {
    int32_t year;
    int32_t day;
};

OrdinalDay split_ordinal(uint32_t ordinal_date) {
    return {static_cast<int32_t>(ordinal_date / 1000), static_cast<int32_t>(ordinal_date % 1000)};
}

void advance_ordinal(OrdinalDay& day) {
    const int32_t year_length = is_leap_year(day.year) ? 366 : 365;
    if (++day.day > year_length) {
        day.day = 1;
        ++day.year;
    }
}

// Days touched from first to last inclusive, counted up to kMaxWindowDays + 1.
int count_window_days(OrdinalDay first, OrdinalDay last) {
    int count = 1;
    while ((first.year != last.year || first.day != last.day) && count <= kMaxWindowDays) {
        advance_ordinal(first);
        ++count;
    }
    return count;
}

// The window edge with margin in calendar and ordinal form.
struct WindowEdge {
    uint32_t date;
    uint32_t time;
    uint32_t ordinal_date;
};

bool shift_window_edge(uint32_t date, uint32_t time, int32_t offset, WindowEdge& edge) {
    uint32_t ordinal_time = 0;
    return shift_date_time(date, time, offset, DATE_FORM_CALENDAR, edge.date, edge.time) &&
           shift_date_time(edge.date, edge.time, 0, DATE_FORM_ORDINAL, edge.ordinal_date, ordinal_time);
}

// Copies the time field that begins at the first occurrence of tag (at most
// 16 characters, fewer when the name ends first; empty without the tag).
void copy_time_field(const char* name, const char* tag, char (&field)[kTimeFieldLength + 1]) {
    const char* begin = std::strstr(name, tag);
    std::snprintf(field, sizeof field, "%.*s", kTimeFieldLength, begin != nullptr ? begin : "");
}

constexpr const char* kLevel0Prefix = "R_TAVO-L0_";

void tell_passed_over(const NameFilter& filter, const char* prefix, const char* name, FileSkip why) {
    // Only level-0 files are accounted for; other names are not input.
    if (filter.observer != nullptr && std::strstr(name, kLevel0Prefix) != nullptr)
        filter.observer->file_passed_over(prefix, name, why);
}

// Why name is not taken, or false when it is.
bool name_refused(const char* name, const NameFilter& filter, FileSkip& why) {
    why = FileSkip::kNameTooLong;
    if (std::strlen(name) > kMaxNameLength) return true;
    why = FileSkip::kNamePattern;
    if (std::strstr(name, kLevel0Prefix) == nullptr || std::strstr(name, ".nc") == nullptr ||
        std::strstr(name, "_s20") == nullptr || std::strstr(name, "_e20") == nullptr) {
        return true;
    }
    why = FileSkip::kSatellite;
    if (std::strstr(name, filter.satellite) == nullptr) return true;
    char start_field[kTimeFieldLength + 1];
    char end_field[kTimeFieldLength + 1];
    copy_time_field(name, "_s20", start_field);
    copy_time_field(name, "_e20", end_field);
    why = FileSkip::kOutsideWindow;
    if (std::strcmp(filter.end_limit, end_field) > 0) return true;      // ended before the window
    if (std::strcmp(start_field, filter.start_limit) > 0) return true;  // starts after the window
    return false;
}

// Adds the matching names of one opened directory, each prefixed by prefix.
bool collect_directory(char* run_message, DIR* dir, const char* prefix, const NameFilter& filter) {
    while (const dirent* entry = readdir(dir)) {
        FileSkip why{};
        if (name_refused(entry->d_name, filter, why)) {
            tell_passed_over(filter, prefix, entry->d_name, why);
            continue;
        }
        if (input_file_count >= kMaxInputFiles) {
            tell_passed_over(filter, prefix, entry->d_name, FileSkip::kOverTableLimit);
            set_run_message(run_message, "ERROR - too many input files, rerun with a shorter START to END period");
            return false;
        }
        // prefix (at most 13) + name (at most 67) always fits the 80-character slot.
        const size_t prefix_length = std::strlen(prefix);
        const size_t name_length = std::strlen(entry->d_name);
        if (prefix_length + name_length >= static_cast<size_t>(kInputEntrySlot)) {
            tell_passed_over(filter, prefix, entry->d_name, FileSkip::kNameTooLong);
            continue;
        }
        char* slot = input_file_list[input_file_count];
        std::memcpy(slot, prefix, prefix_length);
        std::memcpy(slot + prefix_length, entry->d_name, name_length + 1);
        ++input_file_count;
    }
    return true;
}

int compare_list_rows(const void* a, const void* b) {
    return compare_file_names(static_cast<const char*>(a), static_cast<const char*>(b));
}

// Opens the day directory of the cursors, ordinal form first. On success
// prefix holds the directory name with its separator.
DirHandle open_day_directory(const OrdinalDay& ordinal, uint32_t calendar, char (&prefix)[kDayDirectorySlot],
                             char (&ordinal_path)[kDirectoryPathSlot], char (&calendar_path)[kDirectoryPathSlot]) {
    const char* root = run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY];
    const int kite = run_settings.param_number[PARAM_KITE];
    const char separator = run_settings.path_separator;

    std::snprintf(prefix, sizeof prefix, "K%02d_%04d_%03d%c", kite, ordinal.year, ordinal.day, separator);
    std::snprintf(ordinal_path, sizeof ordinal_path, "%s%s", root, prefix);
    if (DIR* dir = opendir(ordinal_path)) return DirHandle(dir);

    std::snprintf(prefix, sizeof prefix, "K%02d_%08u%c", kite, calendar, separator);
    std::snprintf(calendar_path, sizeof calendar_path, "%s%s", root, prefix);
    return DirHandle(opendir(calendar_path));
}

constexpr CodeText kFileSkips[kFileSkipCount] = {
    {"name_pattern", "name pattern"},
    {"satellite", "satellite"},
    {"name_too_long", "name too long"},
    {"outside_window", "outside the window with its margins"},
    {"over_table_limit", "over the table limit"},
};

}  // namespace

const char* file_skip_code(FileSkip skip) { return kFileSkips[static_cast<int>(skip)].code; }
const char* file_skip_text(FileSkip skip) { return kFileSkips[static_cast<int>(skip)].text; }

int compare_file_names(const char* a, const char* b) {
    // Day directories of both forms ("K18_2017_060/", "K18_20170302/") would
    // interleave days in plain text order; the files' own start times do not.
    char a_start[kTimeFieldLength + 1];
    char b_start[kTimeFieldLength + 1];
    copy_time_field(a, "_s20", a_start);
    copy_time_field(b, "_s20", b_start);
    const int by_start = std::strcmp(a_start, b_start);
    return by_start != 0 ? by_start : std::strcmp(a, b);
}

namespace {

bool parse_time_field(const char (&text)[kTimeFieldLength + 1], NameTimeField& field) {
    if (std::strlen(text) != kTimeFieldLength) return false;
    for (int i = 2; i < kTimeFieldLength; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    unsigned date = 0, time = 0, tenths = 0;
    if (std::sscanf(text + 2, "%7u%6u%1u", &date, &time, &tenths) != 3) return false;
    field = {date, time, tenths};
    return true;
}

}  // namespace

bool read_name_time_fields(const char* name, NameTimeField& start, NameTimeField& end) {
    char start_text[kTimeFieldLength + 1];
    char end_text[kTimeFieldLength + 1];
    copy_time_field(name, "_s20", start_text);
    copy_time_field(name, "_e20", end_text);
    return parse_time_field(start_text, start) && parse_time_field(end_text, end);
}

int find_input_files(char* run_message, InputObserver* observer) {
    input_file_count = 0;
    last_input_search = InputSearch::kFailed;
    const char* start_text = run_settings.param_text[PARAM_START];
    const char* end_text = run_settings.param_text[PARAM_END];
    const char* root = run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY];
    const bool hierarchical = run_settings.param_number[PARAM_INPUT_SUBDIRECTORY] == 1;

    WindowEdge first{};
    if (!shift_window_edge(run_settings.start_date, run_settings.start_time, -kWindowMarginSeconds, first)) {
        set_run_message(run_message, "ERROR - Unable to calculate %d seconds offset from START of %s",
                        -kWindowMarginSeconds, start_text);
        return 0;
    }
    WindowEdge last{};
    if (!shift_window_edge(run_settings.end_date, run_settings.end_time, kWindowMarginSeconds, last)) {
        set_run_message(run_message, "ERROR - Unable to calculate %d seconds offset from END of %s",
                        kWindowMarginSeconds, end_text);
        return 0;
    }
    const int day_count = count_window_days(split_ordinal(first.ordinal_date), split_ordinal(last.ordinal_date));
    if (day_count > kMaxWindowDays) {
        set_run_message(run_message, "ERROR - More than %d days with +/-5 miutes of margin from START of %s to END of %s",
                        kMaxWindowDays, start_text, end_text);
        return 0;
    }

    NameFilter filter{};
    filter.observer = observer;
    std::snprintf(filter.satellite, sizeof filter.satellite, "_K%02d_", run_settings.param_number[PARAM_KITE]);
    std::snprintf(filter.end_limit, sizeof filter.end_limit, "_e%07u%06u9", first.ordinal_date, first.time);
    std::snprintf(filter.start_limit, sizeof filter.start_limit, "_s%07u%06u0", last.ordinal_date, last.time);

    const int directory_count = hierarchical ? day_count : 1;
    OrdinalDay ordinal_cursor = split_ordinal(first.ordinal_date);
    uint32_t calendar_cursor = first.date;
    for (int d = 0; d < directory_count; ++d) {
        const bool last_directory = d == directory_count - 1;
        if (hierarchical) {
            char prefix[kDayDirectorySlot];
            char ordinal_path[kDirectoryPathSlot];
            char calendar_path[kDirectoryPathSlot];
            DirHandle dir = open_day_directory(ordinal_cursor, calendar_cursor, prefix, ordinal_path, calendar_path);
            if (dir) {
                if (!collect_directory(run_message, dir.get(), prefix, filter)) return 0;
            } else if (last_directory && input_file_count == 0) {
                set_run_message(run_message,
                                "ERROR - after no other input files found, unable to open HIERARCHICAL input "
                                "directory %s nor %s",
                                ordinal_path, calendar_path);
                last_input_search = InputSearch::kNoDayDirectory;
                return 0;
            }
        } else {
            DirHandle dir(opendir(root));
            if (!dir) {
                set_run_message(run_message, "ERROR - unable to reopen INPUT_ROOT_DIRECTORY %s", root);
                return 0;
            }
            if (!collect_directory(run_message, dir.get(), "", filter)) return 0;
        }
        if (last_directory) break;  // no further day is looked at
        if (!next_day(calendar_cursor, calendar_cursor)) {
            set_run_message(run_message, "ERROR - Unable to calculate +1 day offset from %08u", calendar_cursor);
            return 0;
        }
        advance_ordinal(ordinal_cursor);
    }

    if (input_file_count == 0) {
        set_run_message(run_message, "ERROR - no input files found in %s directory structure %s",
                        hierarchical ? "HIERARCHICAL" : "FLAT", root);
        last_input_search = InputSearch::kNoneFound;
        return 0;
    }
    std::qsort(input_file_list, static_cast<size_t>(input_file_count), kInputEntrySlot, compare_list_rows);
    last_input_search = InputSearch::kSelected;
    return input_file_count;
}
