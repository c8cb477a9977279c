// Product names, the product tree, the CSV paths and temporary names.
#include "layout/layout.h"

#include <cstdio>
#include <cstring>

void format_product_name(uint32_t image_date, uint32_t image_time, int32_t image_ms, uint32_t image_id,
                         char (&name)[kProductNameSlot]) {
    std::snprintf(name, sizeof name, "%08d_%06d_%03d_%08d%s", static_cast<int>(image_date),
                  static_cast<int>(image_time), static_cast<int>(image_ms), static_cast<int>(image_id),
                  kProductExtension);
}

namespace {

// Digits at the fields' places, the separators and the extension elsewhere.
constexpr char kProductNamePattern[] = "dddddddd_dddddd_ddd_dddddddd.fits";
static_assert(sizeof kProductNamePattern - 1 == kProductNameLength);

uint32_t digits_value(const char* text, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    return value;
}

}  // namespace

bool parse_product_name(const char* name, ProductName& product) {
    if (std::strlen(name) != kProductNameLength) return false;
    for (size_t i = 0; i < kProductNameLength; ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (kProductNamePattern[i] == 'd' ? !digit : name[i] != kProductNamePattern[i]) return false;
    }
    product.date = digits_value(name, 8);
    product.time = digits_value(name + 9, 6);
    product.ms = digits_value(name + 16, 3);
    product.image_id = digits_value(name + 20, 8);
    return true;
}

bool csv_lists_name(const char* name) { return std::strstr(name, kProductExtension) != nullptr; }

void format_satellite_directory(int32_t kite, char (&name)[kTreeLevelSlot]) {
    std::snprintf(name, sizeof name, "KITE-%02d", kite);
}

void format_hour_directory(int hour, char (&name)[kTreeLevelSlot]) {
    std::snprintf(name, sizeof name, "H%02d00", hour);
}

void format_product_tree_levels(int32_t kite, uint32_t image_date, uint32_t image_time, ProductTreeLevels& levels) {
    format_satellite_directory(kite, levels[0]);
    std::snprintf(levels[1], kTreeLevelSlot, "%04u", image_date / 10000);
    std::snprintf(levels[2], kTreeLevelSlot, "%02u", (image_date / 100) % 100);
    std::snprintf(levels[3], kTreeLevelSlot, "%02u", image_date % 100);
    format_hour_directory(static_cast<int>(image_time / 10000), levels[4]);
}

bool join_levels(const char* const* levels, int count, char separator, char* path, size_t size) {
    size_t used = 0;
    if (size == 0) return false;
    path[0] = '\0';
    for (int i = 0; i < count; ++i) {
        const int length = std::snprintf(path + used, size - used, "%s%c", levels[i], separator);
        if (length < 0 || static_cast<size_t>(length) >= size - used) return false;
        used += static_cast<size_t>(length);
    }
    return true;
}

namespace {

bool join_tree_levels(const ProductTreeLevels& levels, int count, char separator, char* path, size_t size) {
    const char* names[kProductTreeLevels];
    for (int i = 0; i < kProductTreeLevels; ++i) names[i] = levels[i];
    return join_levels(names, count, separator, path, size);
}

}  // namespace

bool format_product_directory_path(int32_t kite, uint32_t image_date, uint32_t image_time, char separator,
                                   char* path, size_t size) {
    ProductTreeLevels levels;
    format_product_tree_levels(kite, image_date, image_time, levels);
    return join_tree_levels(levels, kProductTreeLevels, separator, path, size);
}

bool format_day_directory_path(int32_t kite, uint32_t date, char separator, char* path, size_t size) {
    ProductTreeLevels levels;
    format_product_tree_levels(kite, date, 0, levels);
    return join_tree_levels(levels, kProductTreeLevels - 1, separator, path, size);
}

bool format_csv_path(int32_t kite, uint32_t date, char separator, char* path, size_t size) {
    char satellite[kTreeLevelSlot];
    format_satellite_directory(kite, satellite);
    const int length = std::snprintf(path, size, "%s%c%s%c%04u%c%02u%c%08u.csv", satellite, separator,
                                     kCsvDirectoryName, separator, date / 10000, separator, date / 100 % 100,
                                     separator, date);
    return length >= 0 && static_cast<size_t>(length) < size;
}

bool format_temporary_path(const char* path, const char* suffix, char* temporary_path, size_t size) {
    const size_t path_length = std::strlen(path);
    const size_t end_length = sizeof kProductExtension - 1;
    size_t stem_length = path_length;
    if (path_length >= end_length && std::strcmp(path + path_length - end_length, kProductExtension) == 0)
        stem_length -= end_length;
    const int length = std::snprintf(temporary_path, size, "%.*s%s", static_cast<int>(stem_length), path, suffix);
    return length >= 0 && static_cast<size_t>(length) < size;
}

bool is_temporary_name(const char* name) {
    const size_t length = std::strlen(name);
    const size_t end_length = sizeof kTemporaryNameEnd - 1;
    return length >= end_length && std::strcmp(name + length - end_length, kTemporaryNameEnd) == 0;
}
