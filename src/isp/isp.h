// ISP CSV export: one table per day of the products' header values.
#pragma once

#include <cstddef>
#include <cstdint>

// Day list: the products of one day as "Hhh00" + separator + file name.
constexpr int kDayListCapacity = 24090;
constexpr size_t kDayEntryBytes = 80;        // terminator included
constexpr size_t kMaxProductNameLength = 58;  // longer names are not listed

// Writes the CSV file of every day from START's date to END's date that has
// products. Returns non-zero on success, 0 after formatting a message.
int write_isp_csv(char* run_message);

// The same export over a product tree that other runs wrote (a campaign's):
// the products of satellite kite under output_root (a Unix path ending with
// "/") from first_date to last_date (YYYYMMDD), their tables formed under
// table_root as under an output root (KITE-nn/isp/...), so that a caller may
// stage them and rename them into place. Sets up the run-settings record the
// export reads, as a validated run would have it.
int write_isp_csv_for_tree(char* run_message, const char* output_root, const char* table_root, int32_t kite,
                           uint32_t first_date, uint32_t last_date);

// Appends the row of one product (and, for the first of the day, the
// heading) to the CSV file. Clears run_message first.
bool append_isp_row(const char* csv_path, const char* day_directory, const char* entry,
                    bool first_entry, char* run_message);
