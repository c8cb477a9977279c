// Hand-built image products with the cards the despike step reads, and the
// helpers to run it and read its results back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace product_builder {

constexpr int kHeaderBytes = 40320;
constexpr int kBlockBytes = 2880;

struct ProductPlan {
    int nx = 20;
    int ny = 16;
    std::string summ = "'1x1'";
    std::string asstatus = "+2";
    std::string frametype = "'LIGHT'";
    std::vector<int16_t> pixels;      // row after row; empty: every pixel 100
    std::vector<std::string> omit;    // keyword prefixes whose cards are left out
};

// The card text padded with blanks to 80 columns.
std::string card(const std::string& text);

// Primary header (40,320 bytes), big-endian data, zero padding.
std::string build_product(const ProductPlan& plan);

// Runs despike_product with DESPIKE YES (true) or NO and the log under
// log_root; returns the non-empty console lines without their stamps.
std::vector<std::string> run_despike_product(const std::string& path, bool despike_yes,
                                             const std::string& log_root);

// The 80-column card of the primary header that starts with prefix, or "".
std::string find_card(const std::string& file, const std::string& prefix);

// Pixels from the big-endian data after the primary header.
std::vector<int16_t> data_pixels(const std::string& file, int nx, int ny);

}  // namespace product_builder
