// The export over products written by the product writer, checked against
// the products' headers as astropy reads them.
#include <cstdio>
#include <vector>

#include "base/base.h"
#include "fits/fits.h"
#include "isp/isp.h"
#include "isp/isp_test_support.h"
#include "run/run.h"

namespace {

using namespace isp_test;
using namespace test_support;

constexpr size_t kHeaderPacketBytes = 8200;
constexpr size_t kImagePixels = 2000000;
constexpr int kProductFieldCount = 494;  // three fixed fields and cards 11 to 501

// A header packet of a small image; every telemetry field not set is 0.
std::vector<uint8_t> header_packet(uint16_t cols, uint16_t rows) {
    std::vector<uint8_t> packet(kHeaderPacketBytes, 0);
    packet[40] = static_cast<uint8_t>(rows >> 8);
    packet[41] = static_cast<uint8_t>(rows);
    packet[42] = static_cast<uint8_t>(cols >> 8);
    packet[43] = static_cast<uint8_t>(cols);
    return packet;
}

TEST_F(IspTest, RowsOfWrittenProductsMatchTheirHeaders) {
    run_settings.param_number[PARAM_DESPIKE] = 1;
    std::vector<uint16_t> pixels(kImagePixels, 0);
    const std::vector<uint8_t> packet = header_packet(32, 24);
    const struct {
        uint32_t time;
        int32_t ms;
        uint32_t id;
    } images[] = {{151500, 250, 12}, {30000, 5, 10}, {30001, 0, 11}};
    for (const auto& image : images) {
        char hour[16];
        std::snprintf(hour, sizeof hour, "H%02u00/", image.time / 10000);
        const std::string directory = day_directory(20181101) + hour;
        make_dirs(directory);
        write_image_product(directory.c_str(), image.id, 0, 20181101, image.time, image.ms, packet.data(),
                         pixels.data());
    }
    ASSERT_EQ(write_isp_csv(run_message), 1) << run_message;

    const auto rows = read_csv(csv_path(20181101));
    ASSERT_EQ(rows.size(), 4u);
    for (const auto& row : rows) EXPECT_EQ(row.size(), static_cast<size_t>(kProductFieldCount));
    const std::vector<std::string> heading_start = {"FITS_NAME", "COLS",     "ROWS",      "IMG_TIME",
                                                    "SHT_EXP_TIME", "CMD_EXP_TIME", "EXPTIME", "DATE_OBS",
                                                    "IMAGETYPE", "FRAMETYPE"};
    EXPECT_EQ(std::vector<std::string>(rows[0].begin(), rows[0].begin() + 10), heading_start);
    EXPECT_EQ(std::vector<std::string>(rows[0].end() - 3, rows[0].end()),
              (std::vector<std::string>{"DESPIKE", "DESPIKE_PARAMS", "SEL_CNT"}));
    EXPECT_EQ(rows[1][0], "20181101_030000_005_00000010.fits");
    EXPECT_EQ(rows[3][0], "20181101_151500_250_00000012.fits");
    EXPECT_EQ(rows[1][3], "'2018-11-01 03:00:00.005'");

    const ProgramResult check = run_program({"/usr/bin/python3", TAVO_SOURCE_DIR "/tests/isp/csv_matches_products.py",
                                             csv_path(20181101), day_directory(20181101)});
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
}

}  // namespace
