// Reading a product: header values through CFITSIO, IMG_TIME from its
// card's text (readers take that card for commentary), the image as 16-bit
// integers.
#include <fitsio.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>

#include "fits/fits.h"
#include "quicklook.h"
#include "text.h"

namespace quicklook {

const char* const kTableColumns[kTableColumnCount] = {
    "WAVELNTH", "FRAMETYPE", "IMAGETYPE", "EXPTIME", "NAXIS1",  "NAXIS2",
    "CCDTEMP1", "GTYERR",    "GTZERR",    "DESPIKE", "SEL_CNT", "FW1NAME",
};

namespace {

constexpr char kTimeCardPrefix[] = "IMG_TIME = '";

struct FitsCloser {
    void operator()(fitsfile* file) const {
        int status = 0;
        fits_close_file(file, &status);
    }
};
using FitsHandle = std::unique_ptr<fitsfile, FitsCloser>;

std::string fits_message(int status) {
    char text[FLEN_STATUS] = "";
    fits_get_errstatus(status, text);
    return text;
}

using tavo_tools::unquoted;

// The keywords read besides the table's columns.
enum Extra : int { EXTRA_EXPTIME = 0, EXTRA_DESPIKE_PARAMS, kExtraCount };
constexpr const char* kExtraKeywords[kExtraCount] = {"EXPTIME", "DESPIKE_PARAMS"};

// Every value wanted from the header, found in one pass over its cards
// (a search per keyword would scan the 502 cards again each time).
struct HeaderValues {
    std::string image_time;             // the IMG_TIME text, "" when missing
    std::string columns[kTableColumnCount];
    std::string extras[kExtraCount];
    bool found_columns[kTableColumnCount] = {};
    bool found_extras[kExtraCount] = {};
};

void take_value(char* card, std::string& value, bool& found) {
    char text[FLEN_VALUE] = "";
    char comment[FLEN_COMMENT] = "";
    int status = 0;
    if (fits_parse_value(card, text, comment, &status) == 0) {
        value = unquoted(text);
        found = true;
    }
}

bool read_header_values(fitsfile* file, HeaderValues& values, int& status) {
    char* header = nullptr;
    int cards = 0;
    if (fits_hdr2str(file, 0, nullptr, 0, &header, &cards, &status) != 0) return false;
    char card[FLEN_CARD];
    char name[FLEN_KEYWORD];
    for (int i = 0; i < cards; ++i) {
        std::memcpy(card, header + static_cast<size_t>(i) * kCardBytes, kCardBytes);
        card[kCardBytes] = '\0';
        if (std::strncmp(card, kTimeCardPrefix, sizeof kTimeCardPrefix - 1) == 0) {
            values.image_time.assign(card + sizeof kTimeCardPrefix - 1, static_cast<size_t>(kTimeTextLength));
            continue;
        }
        int length = 0;
        int name_status = 0;
        if (fits_get_keyname(card, name, &length, &name_status) != 0) continue;
        for (int k = 0; k < kTableColumnCount; ++k) {
            if (std::strcmp(name, kTableColumns[k]) == 0) take_value(card, values.columns[k], values.found_columns[k]);
        }
        for (int k = 0; k < kExtraCount; ++k) {
            if (std::strcmp(name, kExtraKeywords[k]) == 0) take_value(card, values.extras[k], values.found_extras[k]);
        }
    }
    int free_status = 0;
    fits_free_memory(header, &free_status);
    return true;
}

int column_index(const char* keyword) {
    for (int k = 0; k < kTableColumnCount; ++k) {
        if (std::strcmp(kTableColumns[k], keyword) == 0) return k;
    }
    return -1;
}

bool digits_at(const std::string& text, size_t position, size_t count, int& value) {
    value = 0;
    for (size_t i = position; i < position + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// "YYYY-MM-DD hh:mm:ss.mmm" as seconds of its day.
bool time_of_day(const std::string& text, double& seconds) {
    int hour = 0, minute = 0, second = 0, ms = 0;
    if (text.size() != static_cast<size_t>(kTimeTextLength) || !digits_at(text, 11, 2, hour) ||
        !digits_at(text, 14, 2, minute) || !digits_at(text, 17, 2, second) || !digits_at(text, 20, 3, ms) ||
        hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    seconds = hour * 3600.0 + minute * 60.0 + second + ms / 1000.0;
    return true;
}

// The image a header announces fits the format and the file: each side at
// most 65535 (the header packet's 16-bit fields), at most kMaxDataPixels
// pixels (the data array a product holds), and all its bytes in the file.
// Checked before anything is allocated for it.
bool image_fits_file(fitsfile* file, const std::string& path, const long (&axes)[2], std::string& error) {
    constexpr long kMaxSide = 65535;
    const std::string size_text = std::to_string(axes[0]) + " x " + std::to_string(axes[1]);
    if (axes[0] > kMaxSide || axes[1] > kMaxSide ||
        static_cast<uint64_t>(axes[0]) * static_cast<uint64_t>(axes[1]) > kMaxDataPixels) {
        error = path + ": image of " + size_text + " pixels, more than a product holds";
        return false;
    }
    int status = 0;
    int bitpix = 0;
    LONGLONG header_start = 0, data_start = 0, data_end = 0;
    fits_get_img_type(file, &bitpix, &status);
    fits_get_hduaddrll(file, &header_start, &data_start, &data_end, &status);
    std::error_code ec;
    const uintmax_t file_bytes = std::filesystem::file_size(path, ec);
    const uint64_t image_bytes = static_cast<uint64_t>(axes[0]) * static_cast<uint64_t>(axes[1]) *
                                 static_cast<uint64_t>(bitpix < 0 ? -bitpix : bitpix) / 8;
    if (status != 0 || ec || data_start < 0 || static_cast<uint64_t>(data_start) + image_bytes > file_bytes) {
        error = path + ": image of " + size_text + " pixels, cut short (file of " +
                (ec ? std::string("unknown size") : std::to_string(file_bytes) + " bytes") + ")";
        return false;
    }
    return true;
}

}  // namespace

bool read_product(const std::string& path, ProductInfo& info, std::vector<int16_t>* pixels, std::string& error) {
    info = ProductInfo{};
    info.path = path;
    const size_t slash = path.find_last_of('/');
    info.name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (info.name.size() > 5 && info.name.compare(info.name.size() - 5, 5, ".fits") == 0) {
        info.name.resize(info.name.size() - 5);
    }

    int status = 0;
    fitsfile* raw = nullptr;
    if (fits_open_diskfile(&raw, path.c_str(), READONLY, &status) != 0) {
        error = path + ": " + fits_message(status);
        return false;
    }
    FitsHandle file(raw);
    int naxis = 0;
    long axes[2] = {0, 0};
    fits_get_img_dim(file.get(), &naxis, &status);
    fits_get_img_size(file.get(), 2, axes, &status);
    if (status != 0 || naxis != 2 || axes[0] < 1 || axes[1] < 1) {
        error = path + ": not a two-dimensional image" + (status ? " (" + fits_message(status) + ")" : "");
        return false;
    }
    if (!image_fits_file(file.get(), path, axes, error)) return false;
    info.nx = static_cast<int>(axes[0]);
    info.ny = static_cast<int>(axes[1]);

    HeaderValues values;
    if (!read_header_values(file.get(), values, status)) {
        error = path + ": " + fits_message(status) + " (header)";
        return false;
    }
    info.time_text = values.image_time;
    if (!time_of_day(info.time_text, info.time)) {
        error = path + ": no IMG_TIME card with a time";
        return false;
    }
    const int wavelength_column = column_index("WAVELNTH");
    char* end = nullptr;
    const std::string& wavelength = values.columns[wavelength_column];
    info.wavelength = static_cast<int>(std::strtol(wavelength.c_str(), &end, 10));
    if (!values.found_columns[wavelength_column] || wavelength.empty() || *end != '\0') {
        error = path + ": no WAVELNTH value";
        return false;
    }
    const std::string& exposure = values.extras[EXTRA_EXPTIME];
    info.exposure = std::strtod(exposure.c_str(), &end);
    if (!values.found_extras[EXTRA_EXPTIME] || exposure.empty() || *end != '\0') {
        error = path + ": no EXPTIME value";
        return false;
    }
    // Missing optional values stay empty on the page.
    info.columns.assign(std::begin(values.columns), std::end(values.columns));
    info.dark = values.columns[column_index("FRAMETYPE")] == "DARK";
    info.despike_count = std::strtol(values.columns[column_index("DESPIKE")].c_str(), nullptr, 10);
    info.despike_params = values.extras[EXTRA_DESPIKE_PARAMS];

    if (pixels) {
        const size_t count = static_cast<size_t>(info.nx) * static_cast<size_t>(info.ny);
        pixels->resize(count);
        int any_null = 0;
        fits_read_img(file.get(), TSHORT, 1, static_cast<LONGLONG>(count), nullptr, pixels->data(), &any_null,
                      &status);
        if (status != 0) {
            error = path + ": " + fits_message(status) + " (image data)";
            return false;
        }
    }
    return true;
}

}  // namespace quicklook
