#include "despike/product_builder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "despike/despike.h"
#include "base/base.h"
#include "support/test_support.h"

namespace product_builder {

std::string card(const std::string& text) {
    std::string padded = text.substr(0, 80);
    padded.resize(80, ' ');
    return padded;
}

namespace {

constexpr size_t kEndCardOffset = 501 * 80;  // card 502

std::string right(int value, int width) {
    std::string text = std::to_string(value);
    return std::string(text.size() < static_cast<size_t>(width) ? width - text.size() : 0, ' ') + text;
}

std::string left(const std::string& text, size_t width) {
    std::string padded = text;
    if (padded.size() < width) padded.resize(width, ' ');
    return padded;
}

}  // namespace

std::string build_product(const ProductPlan& plan) {
    const std::vector<std::string> cards = {
        "SIMPLE  =                    T /Written by a test",
        "BITPIX  =                   16 /2_BYTE_DATA",
        "NAXIS   =                    2 /2_AXIS_IMAGE",
        "NAXIS1  =                " + right(plan.nx, 5) + " /COLS",
        "NAXIS2  =                " + right(plan.ny, 5) + " /ROWS",
        "EXTEND  =                    T / FITS dataset may contain extensions",
        "HIERARCH FRAMETYPE = " + left(plan.frametype, 20),
        "ASSTATUS= " + plan.asstatus,
        "SUMM    = " + left(plan.summ, 20),
        "DESPIKE =                    0 /Despike Count and Headers Present if not 0",
        "HIERARCH DESPIKE_PARAMS = 'Despike not yet run'",
    };
    std::string file;
    for (const std::string& text : cards) {
        const bool omitted = std::any_of(plan.omit.begin(), plan.omit.end(),
                                         [&](const std::string& prefix) { return text.rfind(prefix, 0) == 0; });
        if (!omitted) file += card(text);
    }
    // END stands in the last block, as in real products, so that readers
    // find the data after 40,320 bytes.
    file.resize(kEndCardOffset, ' ');
    file += card("END");
    file.resize(kHeaderBytes, ' ');
    const size_t count = static_cast<size_t>(std::max(plan.nx, 0)) * std::max(plan.ny, 0);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t v = static_cast<uint16_t>(plan.pixels.empty() ? 100 : plan.pixels.at(i));
        file += static_cast<char>(v >> 8);
        file += static_cast<char>(v & 0xFF);
    }
    file.resize((file.size() + kBlockBytes - 1) / kBlockBytes * kBlockBytes, '\0');
    return file;
}

std::vector<std::string> run_despike_product(const std::string& path, bool despike_yes,
                                             const std::string& log_root) {
    reset_run_settings();
    std::snprintf(run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY], kValueSlot, "%s/", log_root.c_str());
    run_settings.path_separator = '/';
    run_settings.param_number[PARAM_DESPIKE] = despike_yes ? 1 : 0;
    ::testing::internal::CaptureStdout();
    despike_product(path.c_str());
    const std::string out = ::testing::internal::GetCapturedStdout();
    std::vector<std::string> lines;
    for (const std::string& line : test_support::strip_log_stamps(out))
        if (!line.empty()) lines.push_back(line);
    return lines;
}

std::string find_card(const std::string& file, const std::string& prefix) {
    for (size_t at = 0; at + 80 <= static_cast<size_t>(kHeaderBytes) && at + 80 <= file.size(); at += 80) {
        if (file.compare(at, prefix.size(), prefix) == 0) return file.substr(at, 80);
    }
    return "";
}

std::vector<int16_t> data_pixels(const std::string& file, int nx, int ny) {
    std::vector<int16_t> pixels(static_cast<size_t>(nx) * ny);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const auto hi = static_cast<uint8_t>(file.at(kHeaderBytes + 2 * i));
        const auto lo = static_cast<uint8_t>(file.at(kHeaderBytes + 2 * i + 1));
        pixels[i] = static_cast<int16_t>((hi << 8) | lo);
    }
    return pixels;
}

}  // namespace product_builder
