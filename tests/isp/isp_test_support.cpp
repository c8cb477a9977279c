#include "isp/isp_test_support.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "base/base.h"

namespace isp_test {

using namespace test_support;

namespace {
constexpr size_t kCard = 80;
constexpr size_t kHeader = 40320;

std::string two_digits(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}
}  // namespace

std::string card(const std::string& text) {
    std::string padded = text.substr(0, kCard);
    padded.resize(kCard, ' ');
    return padded;
}

std::string header_of(const std::vector<std::string>& cards, bool with_end) {
    std::string header;
    for (const std::string& text : cards) header += card(text);
    if (with_end) header += card("END");
    header.resize(kHeader, ' ');
    return header;
}

std::vector<std::string> small_product_cards(int cols, int rows) {
    char naxis1[81];
    char naxis2[81];
    std::snprintf(naxis1, sizeof naxis1, "NAXIS1  =                %5d /COLS", cols);
    std::snprintf(naxis2, sizeof naxis2, "NAXIS2  =                %5d /ROWS", rows);
    return {
        "SIMPLE  =                    T /Written by TAVO_L0:  Tue Mar 27 14:50:40 2018",
        "BITPIX  =                   16 /2_BYTE_DATA",
        naxis1,
        naxis2,
        "IMG_TIME = '2018-03-27 14:50:38.092' /End of CCD Integration time",
        "HIERARCH FRAMETYPE = 'LIGHT'",
        "ASSTATUS= +1",
        "SEL_CNT =                    0 /Count of SEL errors in data (bit 14)",
    };
}

std::vector<std::vector<std::string>> read_csv(const std::string& path) {
    static const char* script =
        "import csv, json, sys\n"
        "with open(sys.argv[1], newline='') as f:\n"
        "    print(json.dumps(list(csv.reader(f))))\n";
    const ProgramResult result = run_program({"/usr/bin/python3", "-c", script, path});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    if (result.exit_status != 0) return {};
    return nlohmann::json::parse(result.out).get<std::vector<std::vector<std::string>>>();
}

void IspTest::SetUp() {
    reset_run_settings();
    run_settings.unix_paths = true;
    run_settings.path_separator = '/';
    std::snprintf(run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY], kValueSlot, "%s", root().c_str());
    run_settings.param_number[PARAM_KITE] = 16;
    run_settings.param_number[PARAM_ISP_CSV] = 1;
    set_window(20181101, 20181101);
}

std::string IspTest::day_directory(uint32_t date) const {
    return root() + "KITE-16/" + std::to_string(date / 10000) + "/" + two_digits(date / 100 % 100) + "/" +
           two_digits(date % 100) + "/";
}

std::string IspTest::csv_path(uint32_t date) const {
    return root() + "KITE-16/isp/" + std::to_string(date / 10000) + "/" + two_digits(date / 100 % 100) + "/" +
           std::to_string(date) + ".csv";
}

std::string IspTest::write_product(uint32_t date, int hour, const std::string& name, const std::string& bytes) {
    const std::string directory = day_directory(date) + "H" + two_digits(hour) + "00";
    make_dirs(directory);
    const std::string path = directory + "/" + name;
    write_file(path, bytes);
    return path;
}

void IspTest::set_window(uint32_t start_date, uint32_t end_date) {
    run_settings.start_date = start_date;
    run_settings.start_time = 0;
    run_settings.end_date = end_date;
    run_settings.end_time = 235959;
}

std::vector<std::string> IspTest::log_lines() const {
    std::string text;
    for (const std::string& name : list_dir(root() + "LOG")) text += read_file(root() + "LOG/" + name);
    return strip_log_stamps(text);
}

}  // namespace isp_test
