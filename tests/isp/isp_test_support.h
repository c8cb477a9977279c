// Fixtures of the ISP export tests: a product tree under a scratch output
// root, hand-made product headers, and the CSV read back with Python's csv.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace isp_test {

// One 80-character card: the text padded with blanks (cut at 80).
std::string card(const std::string& text);

// A 40,320-byte primary header made of the given card texts, END appended
// when with_end is set, then blanks.
std::string header_of(const std::vector<std::string>& cards, bool with_end = true);

// The cards of a small product: NAXIS1/NAXIS2, IMG_TIME and a few values.
std::vector<std::string> small_product_cards(int cols = 1280, int rows = 1280);

// Rows of a CSV file as read by Python's csv module.
std::vector<std::vector<std::string>> read_csv(const std::string& path);

// The run's output root with the run settings of a Unix-style run.
class IspTest : public ::testing::Test {
protected:
    void SetUp() override;

    // OUTPUT_ROOT_DIRECTORY, ending with "/".
    std::string root() const { return root_.path() + "/"; }
    // KITE-16/YYYY/MM/DD/ under the root.
    std::string day_directory(uint32_t date) const;
    std::string csv_path(uint32_t date) const;
    // Writes bytes as hour directory H<hh>00/name of a day; returns its path.
    std::string write_product(uint32_t date, int hour, const std::string& name, const std::string& bytes);
    void set_window(uint32_t start_date, uint32_t end_date);
    // The run-log lines written so far, without their time stamps.
    std::vector<std::string> log_lines() const;

    test_support::TempDir root_{"tavo-isp"};
    char run_message[2048] = {};
};

}  // namespace isp_test
