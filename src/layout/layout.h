// The product layout: where products and tables lie under the output root
// and what they are called. Every program forms and reads these names here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/base.h"

// --- Product file names ----------------------------------------------------

constexpr char kProductExtension[] = ".fits";
constexpr int kProductNameSlot = 64;
// "%08d_%06d_%03d_%08d.fits": date, clock time, milliseconds, image id.
constexpr size_t kProductNameLength = 33;

void format_product_name(uint32_t image_date, uint32_t image_time, int32_t image_ms, uint32_t image_id,
                         char (&name)[kProductNameSlot]);

// What a product's file name tells.
struct ProductName {
    uint32_t date;      // YYYYMMDD
    uint32_t time;      // HHMMSS
    uint32_t ms;        // 0 to 999
    uint32_t image_id;
};
// True only for a name of exactly the product form (digits where numbers stand).
bool parse_product_name(const char* name, ProductName& product);

// The daily CSV export lists every name that contains ".fits" anywhere,
// products or not, as processing always has.
bool csv_lists_name(const char* name);

// --- The product tree -----------------------------------------------------

// OUTPUT_ROOT_DIRECTORY / "KITE-nn" / yyyy / mm / dd / "Hhh00"
constexpr int kProductTreeLevels = 5;
constexpr size_t kTreeLevelSlot = 16;
using ProductTreeLevels = char[kProductTreeLevels][kTreeLevelSlot];
void format_satellite_directory(int32_t kite, char (&name)[kTreeLevelSlot]);  // "KITE-16"
void format_hour_directory(int hour, char (&name)[kTreeLevelSlot]);            // "H1200"
void format_product_tree_levels(int32_t kite, uint32_t image_date, uint32_t image_time, ProductTreeLevels& levels);

// A path of levels joined by separator, each level followed by it:
// "KITE-16/2017/03/01/H1200/". False when it does not fit size bytes.
bool join_levels(const char* const* levels, int count, char separator, char* path, size_t size);

// The hour directory of a product relative to the output root, ending with
// the separator; the day directory is the same without the hour level.
bool format_product_directory_path(int32_t kite, uint32_t image_date, uint32_t image_time, char separator,
                                   char* path, size_t size);
bool format_day_directory_path(int32_t kite, uint32_t date, char separator, char* path, size_t size);

constexpr int kHoursPerDay = 24;

// --- The daily CSV tables ---------------------------------------------------

// KITE-nn / "isp" / yyyy / mm / yyyymmdd.csv under the output root.
constexpr char kCsvDirectoryName[] = "isp";
bool format_csv_path(int32_t kite, uint32_t date, char separator, char* path, size_t size);

// --- Temporary names --------------------------------------------------------

// A product is written, and rewritten by despike, into a temporary file
// beside it that is renamed over it only when complete. The temporary name is
// the product's with ".fits" replaced by a suffix ending in kTemporaryNameEnd,
// so that one left by a killed run never passes for a product (nor for one in
// the CSV export, which takes every name containing ".fits").
constexpr char kProductTemporarySuffix[] = ".write-tmp";
constexpr char kDespikeTemporarySuffix[] = ".despike-tmp";

// Forms the temporary path of the product at path: a final ".fits" replaced
// by suffix (or suffix appended). False when it does not fit size bytes.
bool format_temporary_path(const char* path, const char* suffix, char* temporary_path, size_t size);
bool is_temporary_name(const char* name);

// --- Despike labels -----------------------------------------------------------

// The first word of DESPIKE_PARAMS: the image despiked (DESPIKE=YES) or
// only its spikes listed (DESPIKE=NO).
constexpr char kDespikedLabel[] = "L1A";
constexpr char kSpikesListedLabel[] = "L0";
inline const char* despike_label(bool despiked) { return despiked ? kDespikedLabel : kSpikesListedLabel; }
