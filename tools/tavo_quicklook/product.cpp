// Reading a product: header values through CFITSIO, IMG_TIME from its
// card's text (readers take that card for commentary), the image as 16-bit
// integers.
#include <fitsio.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "fits/fits.h"
#include "quicklook.h"

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

// A keyword's value text without apostrophes and surrounding blanks.
std::string value_text(fitsfile* file, const char* keyword, int& status) {
    char value[FLEN_VALUE] = "";
    if (fits_read_keyword(file, keyword, value, nullptr, &status) != 0) return "";
    std::string text = value;
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') text = text.substr(1, text.size() - 2);
    const size_t first = text.find_first_not_of(' ');
    const size_t last = text.find_last_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
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

bool find_image_time(fitsfile* file, std::string& text, int& status) {
    int cards = 0;
    fits_get_hdrspace(file, &cards, nullptr, &status);
    char card[FLEN_CARD];
    for (int i = 1; i <= cards && status == 0; ++i) {
        if (fits_read_record(file, i, card, &status) != 0) break;
        if (std::strncmp(card, kTimeCardPrefix, sizeof kTimeCardPrefix - 1) == 0) {
            text.assign(card + sizeof kTimeCardPrefix - 1, std::min<size_t>(std::strlen(card + sizeof kTimeCardPrefix - 1),
                                                                          static_cast<size_t>(kTimeTextLength)));
            return true;
        }
    }
    return false;
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
    info.nx = static_cast<int>(axes[0]);
    info.ny = static_cast<int>(axes[1]);

    if (!find_image_time(file.get(), info.time_text, status) || !time_of_day(info.time_text, info.time)) {
        error = path + ": no IMG_TIME card with a time";
        return false;
    }
    long wavelength = -1;
    double exposure = 0;
    fits_read_key(file.get(), TLONG, "WAVELNTH", &wavelength, nullptr, &status);
    fits_read_key(file.get(), TDOUBLE, "EXPTIME", &exposure, nullptr, &status);
    if (status != 0) {
        error = path + ": " + fits_message(status) + " (WAVELNTH, EXPTIME)";
        return false;
    }
    info.wavelength = static_cast<int>(wavelength);
    info.exposure = exposure;
    // Missing optional values stay empty on the page.
    for (const char* keyword : kTableColumns) {
        int column_status = 0;
        info.columns.push_back(value_text(file.get(), keyword, column_status));
    }
    int optional = 0;
    info.dark = value_text(file.get(), "FRAMETYPE", optional) == "DARK";
    optional = 0;
    fits_read_key(file.get(), TLONG, "DESPIKE", &info.despike_count, nullptr, &optional);
    optional = 0;
    info.despike_params = value_text(file.get(), "DESPIKE_PARAMS", optional);

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
