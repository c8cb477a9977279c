// The daily CSV tables: for every day of the window, the products of its 24
// hour directories, sorted, one row each, in isp/YYYY/MM/YYYYMMDD.csv under
// the satellite directory.
#include <dirent.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/base.h"
#include "isp/isp.h"
#include "layout/layout.h"
#include "time/time.h"

namespace {

// The deepest path formed here is the output root (kValueSlot) with the
// satellite, day and hour levels and a day-list entry below it.
constexpr size_t kPathCapacity = 512;
static_assert(kValueSlot + kProductTreeLevels * kTreeLevelSlot + kDayEntryBytes < kPathCapacity);


// The day list, rebuilt for every day and sorted in place.
char day_list[kDayListCapacity][kDayEntryBytes];
int day_list_count = 0;

// The paths of the export; every one ends with the separator except the CSV file.
struct CsvPaths {
    const char* table_root;  // where the tables go: OUTPUT_ROOT_DIRECTORY, or a staging root
    char satellite_directory[kPathCapacity];
    char csv_directory[kPathCapacity];
    char year_directory[kPathCapacity];
    char day_directory[kPathCapacity];
    char csv_file[kPathCapacity];
};

// Formats one path of the export. They fit by construction (see kPathCapacity).
__attribute__((format(printf, 2, 3))) void format_path(char* path, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(path, kPathCapacity, format, args);
    va_end(args);
}

bool ensure_directory(const char* parent, const char* name, char* run_message) {
    if (make_directory(parent, name)) return true;
    set_run_message(run_message, "ERROR - Failed to create subdirectory %s%s", parent, name);
    return false;
}

// Adds the products of one hour directory; a missing directory adds nothing.
void list_hour_directory(const char* day_directory, int hour, char separator) {
    char hour_name[kTreeLevelSlot];
    format_hour_directory(hour, hour_name);
    char hour_directory[kPathCapacity];
    format_path(hour_directory, "%s%s%c", day_directory, hour_name, separator);
    DirHandle directory(opendir(hour_directory));
    if (!directory) return;
    while (const dirent* item = readdir(directory.get())) {
        if (!csv_lists_name(item->d_name)) continue;
        if (day_list_count >= kDayListCapacity) continue;
        if (std::strlen(item->d_name) > kMaxProductNameLength) continue;
        const int length =
            std::snprintf(day_list[day_list_count], kDayEntryBytes, "%s%c%s", hour_name, separator, item->d_name);
        if (length > 0 && static_cast<size_t>(length) < kDayEntryBytes) ++day_list_count;
    }
}

int compare_entries(const void* left, const void* right) {
    return std::strcmp(static_cast<const char*>(left), static_cast<const char*>(right));
}

void build_day_list(const char* day_directory, char separator) {
    day_list_count = 0;
    for (int hour = 0; hour < kHoursPerDay; ++hour) list_hour_directory(day_directory, hour, separator);
    // strcmp orders by unsigned bytes: hour directory first, then file name.
    std::qsort(day_list, static_cast<size_t>(day_list_count), kDayEntryBytes, compare_entries);
}

// Creates the day's CSV file anew (an earlier one, or a link at its name, removed).
bool create_csv_file(const char* csv_path, char* run_message) {
    FileHandle csv(create_output_stream(csv_path));
    if (!csv || std::fclose(csv.release()) != 0) {
        set_run_message(run_message, "ERROR - Failed to write to file %s", csv_path);
        return false;
    }
    return true;
}

bool export_day(uint32_t date, CsvPaths& paths, char* run_message) {
    const char separator = run_settings.path_separator;
    const int year = static_cast<int>(date / 10000);
    const int month = static_cast<int>(date / 100 % 100);
    char name[8];

    std::snprintf(name, sizeof name, "%04d", year);
    if (!ensure_directory(paths.csv_directory, name, run_message)) return false;
    format_path(paths.year_directory, "%s%04d%c", paths.csv_directory, year, separator);
    std::snprintf(name, sizeof name, "%02d", month);
    if (!ensure_directory(paths.year_directory, name, run_message)) return false;

    const char* root = run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY];
    const int32_t kite = run_settings.param_number[PARAM_KITE];
    char relative[kPathCapacity];
    format_csv_path(kite, date, separator, relative, sizeof relative);
    format_path(paths.csv_file, "%s%s", paths.table_root, relative);
    format_day_directory_path(kite, date, separator, relative, sizeof relative);
    format_path(paths.day_directory, "%s%s", root, relative);

    build_day_list(paths.day_directory, separator);
    if (day_list_count == 0) return true;  // a day without products keeps its file
    if (!create_csv_file(paths.csv_file, run_message)) return false;
    for (int i = 0; i < day_list_count; ++i) {
        if (!append_isp_row(paths.csv_file, paths.day_directory, day_list[i], i == 0, run_message)) return false;
    }
    char line[kPathCapacity + 32];
    std::snprintf(line, sizeof line, "ISP - Generated %s", paths.csv_file);
    write_log_line(line);
    return true;
}

// The tables of the products under OUTPUT_ROOT_DIRECTORY, written under table_root.
int export_tables(char* run_message, const char* table_root) {
    CsvPaths paths;
    paths.table_root = table_root;
    const char separator = run_settings.path_separator;
    char satellite[kTreeLevelSlot];
    format_satellite_directory(run_settings.param_number[PARAM_KITE], satellite);
    format_path(paths.satellite_directory, "%s%s%c", table_root, satellite, separator);
    if (!ensure_directory(paths.satellite_directory, kCsvDirectoryName, run_message)) return 0;
    format_path(paths.csv_directory, "%s%s%c", paths.satellite_directory, kCsvDirectoryName,
                  separator);

    uint32_t date = run_settings.start_date;
    // Dates in YYYYMMDD order as numbers, so the walk ends at END's date.
    while (date <= run_settings.end_date) {
        if (!export_day(date, paths, run_message)) return 0;
        if (date == run_settings.end_date) break;  // no day after the last is needed
        if (!next_day(date, date)) {
            set_run_message(run_message, "ERROR - Unable to calculate +1 day offset from ISP of %08u", date);
            return 0;
        }
    }
    return 1;
}

}  // namespace

int write_isp_csv(char* run_message) {
    return export_tables(run_message, run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY]);
}

int write_isp_csv_for_tree(char* run_message, const char* output_root, const char* table_root, int32_t kite,
                           uint32_t first_date, uint32_t last_date) {
    reset_run_settings();
    std::snprintf(run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY], kValueSlot, "%s", output_root);
    std::snprintf(run_settings.param_text[PARAM_KITE], kValueSlot, "%d", kite);
    run_settings.param_number[PARAM_KITE] = kite;
    run_settings.param_number[PARAM_ISP_CSV] = 1;
    run_settings.unix_paths = true;
    run_settings.path_separator = '/';
    run_settings.start_date = first_date;
    run_settings.end_date = last_date;
    return export_tables(run_message, table_root);
}
