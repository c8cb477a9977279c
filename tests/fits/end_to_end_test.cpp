// TAVO_L0 on simulated level-0 files: every complete image of the manifest
// becomes one product whose header and pixels match what was simulated.
#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fits/header_packet.h"
#include "support/test_support.h"

using json = nlohmann::json;
using test_support::TempDir;

namespace {

std::string product_path(const std::string& root, const json& image) {
    const json& eof = image["end_of_frame"];
    const uint32_t date = eof["date"];
    const uint32_t time = eof["time"];
    char relative[256];
    std::snprintf(relative, sizeof relative, "KITE-17/%04u/%02u/%02u/H%02u00/%08u_%06u_%03d_%08u.fits", date / 10000,
                  date / 100 % 100, date % 100, time / 10000, date, time, eof["ms"].get<int>(),
                  image["id"].get<uint32_t>());
    return root + "/" + relative;
}

std::string read_string_key(fitsfile* file, const char* keyword, int& status) {
    char value[FLEN_VALUE] = "";
    fits_read_key(file, TSTRING, keyword, value, nullptr, &status);
    return value;
}

long read_long_key(fitsfile* file, const char* keyword, int& status) {
    long value = -999;
    fits_read_key(file, TLONG, keyword, &value, nullptr, &status);
    return value;
}

TEST(EndToEnd, ProductsMatchTheSimulatedImages) {
    TempDir t("tavo-fits-e2e");
    const auto sim = test_support::run_program(
        {TAVO_L0SIM_BINARY, "--out", t / "l0", "--kite", "17", "--fm", "2", "--start", "2018-03-27T14:50:00",
         "--duration", "5min", "--cadence", "60s", "--size", "48x40", "--dark-every", "3", "--seed", "5",
         "--fault", "sel-bits@1"});
    ASSERT_EQ(sim.exit_status, 0) << sim.err;
    const json manifest = json::parse(test_support::read_file(t / "l0/manifest.json"));
    test_support::make_dirs(t / "work");
    test_support::make_dirs(t / "out");
    test_support::write_file(t / "TAVO_configuration.cfg",
                             "INPUT_TYPE=HDF\nINPUT_ROOT_DIRECTORY=" + t / "l0" +
                                 "\nINPUT_SUBDIRECTORY=FLAT\nWORKING_DIRECTORY=" + t / "work" +
                                 "\nH5DUMP_EXE=/usr/bin/h5dump\nOUTPUT_ROOT_DIRECTORY=" + t / "out" +
                                 "\nDESPIKE=NO\nISP_CSV=NO\nKITE=17\nSTART=2018/03/27t14:50:00\n"
                                 "END=2018/03/27t14:59:59\n");
    const auto run = test_support::run_program({TAVO_L0_BINARY}, t.path());
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;

    std::vector<std::string> generated;
    for (const std::string& line : test_support::strip_log_stamps(run.out)) {
        if (line.rfind("FITS - Generated ", 0) == 0) generated.push_back(line.substr(17));
    }
    size_t complete = 0;
    for (const json& image : manifest["images"]) complete += image["complete"].get<bool>() ? 1 : 0;
    ASSERT_GE(complete, 4u);
    ASSERT_EQ(generated.size(), complete) << run.out;

    for (const json& image : manifest["images"]) {
        if (!image["complete"].get<bool>()) continue;
        const std::string path = product_path(t / "out", image);
        SCOPED_TRACE(path);
        EXPECT_NE(std::find(generated.begin(), generated.end(), path), generated.end());
        const std::string bytes = test_support::read_file(path);
        ASSERT_GE(bytes.size(), 40320u);
        std::string calendar = image["end_of_frame"]["calendar"];  // 2018-03-27T14:50:02.099Z
        calendar = calendar.substr(0, 10) + " " + calendar.substr(11, 12);
        EXPECT_EQ(fits_test::card_at(bytes, 10).substr(0, 36), "IMG_TIME = '" + calendar + "'");

        fitsfile* file = nullptr;
        int status = 0;
        ASSERT_EQ(fits_open_file(&file, path.c_str(), READONLY, &status), 0);
        const int nx = image["nx"], ny = image["ny"];
        EXPECT_EQ(read_long_key(file, "NAXIS1", status), nx);
        EXPECT_EQ(read_long_key(file, "NAXIS2", status), ny);
        EXPECT_EQ(read_long_key(file, "FM", status), 2);
        EXPECT_EQ(read_long_key(file, "TAV_ISP_HDR_ISN", status), image["id"].get<long>());
        EXPECT_EQ(read_long_key(file, "SEL_CNT", status), image["sel_count"].get<long>());
        EXPECT_EQ(read_long_key(file, "FW1POS", status), image["filter_wheel1"]["encoder"].get<long>());
        EXPECT_EQ(read_string_key(file, "FW1NAME", status), image["filter_wheel1"]["name"].get<std::string>());
        EXPECT_EQ(read_string_key(file, "FW2NAME", status), image["filter_wheel2"]["name"].get<std::string>());
        EXPECT_EQ(read_long_key(file, "ASENC", status), image["aperture_encoder"].get<long>());
        EXPECT_EQ(read_string_key(file, "ASNAME", status), image["passband"]["name"].get<std::string>());
        EXPECT_EQ(read_long_key(file, "WAVELNTH", status), image["passband"]["wavelength"].get<long>());
        EXPECT_EQ(read_string_key(file, "FRAMETYPE", status), image["frame_type"].get<std::string>());
        EXPECT_EQ(read_long_key(file, "RDOUTPORT", status), image["readout_port"].get<long>());
        EXPECT_EQ(read_long_key(file, "TAV_CA_FRM_EXP", status), image["exposure_ms"].get<long>());
        // Flight model 2: activation at 14:50:38.092, bakeout start one second later.
        const std::string bakeout =
            calendar > "2018-03-27 14:50:39.092" ? "2018-03-27 14:50:39.092" : "2018-03-27 14:50:38.092";
        EXPECT_EQ(read_string_key(file, "LAST_BAKEOUT_TIME", status), bakeout);
        EXPECT_EQ(status, 0);

        std::vector<short> pixels(static_cast<size_t>(nx) * ny);
        int any_null = 0;
        fits_read_img(file, TSHORT, 1, static_cast<LONGLONG>(pixels.size()), nullptr, pixels.data(), &any_null,
                      &status);
        fits_close_file(file, &status);
        ASSERT_EQ(status, 0);
        uint64_t fnv = 1469598103934665603ULL;
        uint64_t sum = 0;
        for (short p : pixels) {
            const auto v = static_cast<uint16_t>(p);
            fnv = (fnv ^ (v >> 8)) * 1099511628211ULL;
            fnv = (fnv ^ (v & 0xFF)) * 1099511628211ULL;
            sum += v;
        }
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv));
        EXPECT_EQ(hex, image["pixel_fnv1a64"].get<std::string>());
        EXPECT_EQ(sum, image["pixel_sum"].get<uint64_t>());
    }
}

}  // namespace
