// ISP CSV export: one table per day of the products' header values.
#pragma once

#include <cstddef>

// Day list: the products of one day as "Hhh00" + separator + file name.
constexpr int kDayListCapacity = 24090;
constexpr size_t kDayEntryBytes = 80;        // terminator included
constexpr size_t kMaxProductNameLength = 58;  // longer names are not listed
constexpr int kHoursPerDay = 24;

// Writes the CSV file of every day from START's date to END's date that has
// products. Returns non-zero on success, 0 after formatting a message.
int write_isp_csv(char* run_message);

// Appends the row of one product (and, for the first of the day, the
// heading) to the CSV file. Clears run_message first.
bool append_isp_row(const char* csv_path, const char* day_directory, const char* entry,
                    bool first_entry, char* run_message);
