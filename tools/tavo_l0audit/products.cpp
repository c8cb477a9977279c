// Reconciles the audited images with the product tree: each product's file,
// its size and despike cards, its row in the day's CSV table, and the files
// of the window that match no image.
#include <dirent.h>
#include <fitsio.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "audit.h"
#include "base/base.h"
#include "fits/fits.h"
#include "layout/layout.h"
#include "time/time.h"

namespace tavo_audit {

namespace {


// The DESPIKE_PARAMS form the despike step writes for each DESPIKE value.
constexpr const char* kSpikeTableName = "SPIKELOCS";  // one row per spike found

struct FitsFile {
    fitsfile* file = nullptr;
    ~FitsFile() {
        int status = 0;
        if (file != nullptr) fits_close_file(file, &status);
    }
};

std::string fits_error(int status) {
    char text[FLEN_STATUS];
    fits_get_errstatus(status, text);
    fits_clear_errmsg();
    return text;
}

// The rows of the spike table: 0 without one (no spike found).
void read_despike_count(fitsfile* file, int hdus, ImageAudit& image) {
    image.despiked = 0;
    for (int hdu = 2; hdu <= hdus; ++hdu) {
        int status = 0;
        char name[FLEN_VALUE] = "";
        long rows = 0;
        if (fits_movabs_hdu(file, hdu, nullptr, &status) == 0 &&
            fits_read_key_str(file, "EXTNAME", name, nullptr, &status) == 0 && std::strcmp(name, kSpikeTableName) == 0 &&
            fits_read_key_lng(file, "NAXIS2", &rows, nullptr, &status) == 0) {
            image.despiked = rows;
            break;
        }
        fits_clear_errmsg();
    }
}

// Checks one product; problems are appended to the image.
void check_product_file(ImageAudit& image, const std::string& path) {
    struct stat info = {};
    if (stat(path.c_str(), &info) != 0) {
        image.problems.push_back("missing");
        return;
    }
    image.product_bytes = static_cast<uint64_t>(info.st_size);
    image.product_modified = static_cast<int64_t>(info.st_mtime);
    FitsFile fits;
    int status = 0;
    if (fits_open_diskfile(&fits.file, path.c_str(), READONLY, &status) != 0) {
        image.problems.push_back("unreadable: " + fits_error(status));
        return;
    }
    long columns = 0, rows = 0;
    fits_read_key_lng(fits.file, "NAXIS1", &columns, nullptr, &status);
    fits_read_key_lng(fits.file, "NAXIS2", &rows, nullptr, &status);
    if (status == 0 && (columns != static_cast<long>(image.columns) || rows != static_cast<long>(image.rows))) {
        image.problems.push_back("image size " + std::to_string(columns) + "x" + std::to_string(rows) +
                                 ", expected " + std::to_string(image.columns) + "x" + std::to_string(image.rows));
    }
    LONGLONG header_start = 0, data_start = 0, data_end = 0;
    fits_get_hduaddrll(fits.file, &header_start, &data_start, &data_end, &status);
    if (status == 0 && data_start != kPrimaryHeaderBytes) {
        image.problems.push_back("primary header of " + std::to_string(data_start) + " bytes");
    }
    // The product ends where its last extension (or the image) ends.
    int hdus = 0;
    fits_get_num_hdus(fits.file, &hdus, &status);
    if (hdus > 1) fits_movabs_hdu(fits.file, hdus, nullptr, &status);
    if (status == 0) fits_get_hduaddrll(fits.file, &header_start, &data_start, &data_end, &status);
    if (status != 0) {
        image.problems.push_back("unreadable: " + fits_error(status));
        return;
    }
    if (static_cast<LONGLONG>(info.st_size) != data_end) {
        image.problems.push_back("size " + std::to_string(info.st_size) + " bytes, expected " +
                                 std::to_string(data_end));
    }
    read_despike_count(fits.file, hdus, image);
    if (hdus > 1) fits_movabs_hdu(fits.file, 1, nullptr, &status);
    char params[FLEN_VALUE] = "";
    fits_read_key_str(fits.file, "DESPIKE_PARAMS", params, nullptr, &status);
    // The label and the blank after it: "L1A nx=..." or "L0 nx=...".
    const std::string label = std::string(despike_label(run_settings.param_number[PARAM_DESPIKE] == 1)) + " ";
    if (status != 0 || std::strncmp(params, label.c_str(), label.size()) != 0) {
        image.problems.push_back(std::string("DESPIKE cards not filled in (DESPIKE_PARAMS '") + params + "')");
        fits_clear_errmsg();
    }
}

// The FITS_NAME column of one day's CSV table; false when there is no table.
bool read_csv_names(uint32_t date, std::set<std::string>& names) {
    char relative[64];
    format_csv_path(run_settings.param_number[PARAM_KITE], date, run_settings.path_separator, relative,
                    sizeof relative);
    std::ifstream csv(std::string(run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY]) + relative);
    if (!csv) return false;
    std::string line;
    std::getline(csv, line);  // the heading
    while (std::getline(csv, line)) names.insert(line.substr(0, line.find(',')));
    return true;
}

std::string file_name_of(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Product and temporary files in the hour directories of the window.
void scan_product_tree(AuditResult& result, const std::set<std::string>& expected) {
    const std::string root = run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY];
    const int32_t kite = run_settings.param_number[PARAM_KITE];
    uint32_t date = run_settings.start_date;
    for (;;) {
        for (int hour = 0; hour < kHoursPerDay; ++hour) {
            char relative[64];
            format_product_directory_path(kite, date, static_cast<uint32_t>(hour) * 10000, run_settings.path_separator,
                                          relative, sizeof relative);
            const std::string directory = relative;
            DirHandle dir(opendir((root + directory).c_str()));
            if (!dir) continue;
            while (const dirent* entry = readdir(dir.get())) {
                const std::string name = entry->d_name;
                if (is_temporary_name(name.c_str())) {
                    result.products.temporary_files.push_back(directory + name);
                    continue;
                }
                ProductName product{};
                if (!parse_product_name(name.c_str(), product)) continue;
                const uint32_t d = product.date;
                const uint32_t t = product.time;
                const bool after_start = d > run_settings.start_date ||
                                         (d == run_settings.start_date && t > run_settings.start_time);
                const bool until_end =
                    d < run_settings.end_date || (d == run_settings.end_date && t <= run_settings.end_time);
                if (after_start && until_end && expected.count(directory + name) == 0)
                    result.products.unmatched.push_back(directory + name);
            }
        }
        if (date >= run_settings.end_date) break;
        if (!next_day(date, date)) break;
    }
}

}  // namespace

void audit_products(AuditResult& result) {
    const std::string root = run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY];
    const bool csv = run_settings.param_number[PARAM_ISP_CSV] == 1;
    std::map<uint32_t, std::set<std::string>> csv_names;
    std::set<uint32_t> days_without_table;
    std::set<std::string> expected;
    for (ImageAudit& image : result.images) {
        if (image.status == ImageStatus::kNotWritten) continue;
        expected.insert(image.product);
        ++result.products.checked;
        check_product_file(image, root + image.product);
        if (!csv) continue;
        if (csv_names.count(image.date) == 0 && days_without_table.count(image.date) == 0) {
            if (!read_csv_names(image.date, csv_names[image.date])) days_without_table.insert(image.date);
        }
        if (csv_names[image.date].count(file_name_of(image.product)) == 0)
            image.problems.push_back(days_without_table.count(image.date) ? "no CSV table for its day"
                                                                          : "not in the day's CSV table");
    }
    scan_product_tree(result, expected);
}

}  // namespace tavo_audit
