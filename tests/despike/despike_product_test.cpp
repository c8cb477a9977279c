#include <fitsio.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/base.h"
#include "despike/despike.h"
#include "despike/product_builder.h"
#include "layout/layout.h"
#include "support/test_support.h"

namespace {

using namespace product_builder;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

// A flat 100 background with isolated spikes (row, column, value).
std::vector<int16_t> spiky_pixels(int nx, int ny, const std::vector<std::array<int, 3>>& spikes) {
    std::vector<int16_t> pixels(static_cast<size_t>(nx) * ny, 100);
    for (const auto& s : spikes) pixels[s[0] * nx + s[1]] = static_cast<int16_t>(s[2]);
    return pixels;
}

// What CFITSIO reads from a product.
struct FitsContent {
    int status = 0;
    int hdus = 0;
    std::vector<int16_t> image;
    std::vector<int32_t> addresses;  // SPIKELOCS Address
    std::vector<int16_t> values;     // OLDVALS Old_vals or NEWVALS New_vals
    std::string value_column;
};

FitsContent read_with_cfitsio(const std::string& path, int nx, int ny) {
    FitsContent content;
    fitsfile* file = nullptr;
    int& status = content.status;
    if (fits_open_file(&file, path.c_str(), READONLY, &status)) return content;
    fits_get_num_hdus(file, &content.hdus, &status);
    content.image.resize(static_cast<size_t>(nx) * ny);
    int any_null = 0;
    fits_read_img(file, TSHORT, 1, static_cast<LONGLONG>(content.image.size()), nullptr, content.image.data(),
                  &any_null, &status);
    if (content.hdus >= 3 && status == 0) {
        long rows = 0;
        fits_movnam_hdu(file, BINARY_TBL, const_cast<char*>("SPIKELOCS"), 0, &status);
        fits_get_num_rows(file, &rows, &status);
        content.addresses.resize(rows);
        fits_read_col(file, TINT, 1, 1, 1, rows, nullptr, content.addresses.data(), &any_null, &status);
        fits_movabs_hdu(file, 3, nullptr, &status);
        char name[FLEN_VALUE] = "";
        fits_read_key(file, TSTRING, "TTYPE1", name, nullptr, &status);
        content.value_column = name;
        fits_get_num_rows(file, &rows, &status);
        content.values.resize(rows);
        fits_read_col(file, TSHORT, 1, 1, 1, rows, nullptr, content.values.data(), &any_null, &status);
    }
    int close_status = 0;
    fits_close_file(file, &close_status);
    return content;
}

// fitsverify's report on the file.
std::string fitsverify_report(const std::string& path) {
    return test_support::run_program({"/usr/bin/fitsverify", path}).out;
}

class DespikeProduct : public ::testing::Test {
protected:
    TempDir dir{"tavo-despike"};
    std::string path = dir / "20180327_145038_092_00000123.fits";

    std::vector<std::string> despike(bool yes) { return run_despike_product(path, yes, dir.path()); }
};

TEST_F(DespikeProduct, ProductWithoutSpikesGetsItsCardsAndNoExtension) {
    ProductPlan plan;
    write_file(path, build_product(plan));
    const std::string before = read_file(path);
    EXPECT_TRUE(despike(true).empty());
    const std::string after = read_file(path);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(find_card(after, "DESPIKE ="),
              card("DESPIKE =                    0 /Despike Count and Headers Present if not 0"));
    EXPECT_EQ(find_card(after, "HIERARCH DESPIKE_PARAMS ="),
              card("HIERARCH DESPIKE_PARAMS = 'L1A nx=20 ny=16 frac=0.9 ped=101 niter=3'"));
    EXPECT_EQ(after.substr(kHeaderBytes), before.substr(kHeaderBytes));
    // Only the two cards changed.
    size_t changed = 0;
    for (size_t at = 0; at < static_cast<size_t>(kHeaderBytes); at += 80)
        changed += after.compare(at, 80, before, at, 80) != 0;
    EXPECT_EQ(changed, 1u);  // DESPIKE keeps its text when the count is 0
    EXPECT_EQ(test_support::list_dir(dir.path()), std::vector<std::string>{"20180327_145038_092_00000123.fits"});
}

struct FracCase {
    const char* frametype;
    const char* summ;
    const char* asstatus;
    const char* frac;
};

class FracSelection : public DespikeProduct, public ::testing::WithParamInterface<FracCase> {};

TEST_P(FracSelection, FollowsFrameBinningAndAperture) {
    const FracCase& c = GetParam();
    ProductPlan plan;
    plan.frametype = c.frametype;
    plan.summ = c.summ;
    plan.asstatus = c.asstatus;
    write_file(path, build_product(plan));
    EXPECT_TRUE(despike(false).empty());
    EXPECT_EQ(find_card(read_file(path), "HIERARCH DESPIKE_PARAMS ="),
              card(std::string("HIERARCH DESPIKE_PARAMS = 'L0 nx=20 ny=16 frac=") + c.frac + " ped=101 niter=3'"));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FracSelection,
    ::testing::Values(FracCase{"'LIGHT'", "'1x1'", "+2", "0.9"}, FracCase{"'LIGHT'", "'1x1'", "+4", "0.9"},
                      FracCase{"'LED'", "'1x1'", "+4", "0.9"}, FracCase{"'LIGHT'", "'1x1'", "+1", "0.7"},
                      FracCase{"'LIGHT'", "'1x1'", "+5", "0.7"}, FracCase{"'LIGHT'", "'2x2'", "+2", "0.7"},
                      FracCase{"'LIGHT'", "'8x8'", "+4", "0.7"}, FracCase{"'DARK'", "'1x1'", "+2", "0.7"},
                      FracCase{"'LIGHT'", "'1x1'", "-1", "0.7"}, FracCase{"'LTC'", "'4x4'", "+0", "0.7"}));

// Only the low 14 bits count; the pedestal is one above the value at which
// the cumulative count reaches pixels * 0.001 + 1.5.
TEST_F(DespikeProduct, PedestalFromTheHistogram) {
    struct Case {
        std::vector<std::pair<int, int16_t>> pixels;  // index, value on a 200 background
        int16_t background;
        int pedestal;
    };
    const Case cases[] = {
        {{{0, 100}, {1, 100}}, 200, 101},          // the worked example: T = 2
        {{{5, 50}, {9, 60}}, 200, 61},
        {{{5, 50}}, 200, 201},                     // one low pixel does not reach T
        {{{3, -1}, {4, -1}}, 200, 201},            // -1 counts in bin 16,383
        {{{3, 16384 + 7}, {4, 16384 + 7}}, 200, 8},  // bit 14 ignored
        {{}, 16383, 16383},                        // never beyond 16,383
    };
    for (const Case& c : cases) {
        ProductPlan plan;
        plan.nx = 30;
        plan.ny = 20;  // 600 pixels: T = 2
        plan.pixels.assign(600, c.background);
        for (auto [index, value] : c.pixels) plan.pixels[index] = value;
        write_file(path, build_product(plan));
        despike(true);
        const std::string params = find_card(read_file(path), "HIERARCH DESPIKE_PARAMS =");
        EXPECT_NE(params.find(" ped=" + std::to_string(c.pedestal) + " "), std::string::npos) << params;
    }
}

struct WarningCase {
    const char* name;
    std::vector<std::string> omit;
    const char* summ;
    const char* frametype;
    const char* message;  // with %s for the path
};

class HeaderWarnings : public DespikeProduct, public ::testing::WithParamInterface<WarningCase> {};

TEST_P(HeaderWarnings, LeaveTheProductAsWritten) {
    const WarningCase& c = GetParam();
    ProductPlan plan;
    plan.omit = c.omit;
    plan.summ = c.summ;
    plan.frametype = c.frametype;
    plan.pixels = spiky_pixels(plan.nx, plan.ny, {{5, 5, 900}});
    write_file(path, build_product(plan));
    const std::string before = read_file(path);
    std::string expected = c.message;
    expected.replace(expected.find("%s"), 2, path);
    EXPECT_EQ(despike(true), std::vector<std::string>{expected});
    EXPECT_EQ(read_file(path), before);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, HeaderWarnings,
    ::testing::Values(
        WarningCase{"NoNaxis1", {"NAXIS1"}, "'1x1'", "'LIGHT'", "DESPIKE WARNING - Unable to find NAXIS1 keyword in %s"},
        WarningCase{"NoNaxis2", {"NAXIS2"}, "'1x1'", "'LIGHT'", "DESPIKE WARNING - Unable to find NAXIS2 keyword in %s"},
        WarningCase{"NoDespike", {"DESPIKE ="}, "'1x1'", "'LIGHT'",
                    "DESPIKE WARNING - Unable to find DESPIKE keyword in %s"},
        WarningCase{"NoParams", {"HIERARCH DESPIKE_PARAMS"}, "'1x1'", "'LIGHT'",
                    "DESPIKE WARNING - Unable to find DESPIKE_PARAMS keyword in %s"},
        WarningCase{"NoSumm", {"SUMM"}, "'1x1'", "'LIGHT'", "DESPIKE WARNING - Unable to find SUMM keyword in %s"},
        WarningCase{"SummDefault", {}, "'DEFAULT'", "'LIGHT'", "DESPIKE WARNING - Invalid binning size for SUMM in %s"},
        WarningCase{"SummUnknown", {}, "'?\?\?'", "'LIGHT'", "DESPIKE WARNING - Invalid binning size for SUMM in %s"},
        WarningCase{"Summ3x3", {}, "'3x3'", "'LIGHT'", "DESPIKE WARNING - Invalid binning size for SUMM in %s"},
        WarningCase{"NoAsstatus", {"ASSTATUS"}, "'1x1'", "'LIGHT'",
                    "DESPIKE WARNING - Unable to find ASSTATUS keyword in %s"},
        WarningCase{"NoFrametype", {"HIERARCH FRAMETYPE"}, "'1x1'", "'LIGHT'",
                    "DESPIKE WARNING - Unable to find FRAMETYPE keyword in %s"},
        WarningCase{"Spat", {}, "'1x1'", "'SPAT'", "DESPIKE WARNING - Invalid value for FRAMETYPE S in %s"},
        WarningCase{"Rclk", {}, "'1x1'", "'RCLK'", "DESPIKE WARNING - Invalid value for FRAMETYPE R in %s"},
        // A control byte is shown as '?' to keep the log line whole.
        WarningCase{"ControlByte", {}, "'1x1'", "'\x01X'", "DESPIKE WARNING - Invalid value for FRAMETYPE ? in %s"},
        // Several failures: the last check's message stands.
        WarningCase{"NaxisAndSumm", {"NAXIS1", "NAXIS2"}, "'DEFAULT'", "'LIGHT'",
                    "DESPIKE WARNING - Invalid binning size for SUMM in %s"},
        WarningCase{"EverythingAndSpat", {"NAXIS1", "DESPIKE =", "SUMM", "ASSTATUS"}, "'1x1'", "'VPAT'",
                    "DESPIKE WARNING - Invalid value for FRAMETYPE V in %s"},
        WarningCase{"NothingFound", {"NAXIS1", "NAXIS2", "DESPIKE", "HIERARCH", "SUMM", "ASSTATUS"}, "'1x1'",
                    "'LIGHT'", "DESPIKE WARNING - Unable to find FRAMETYPE keyword in %s"}),
    [](const ::testing::TestParamInfo<WarningCase>& info) { return std::string(info.param.name); });

TEST_F(DespikeProduct, SizeLimits) {
    struct Case {
        int nx, ny;
        bool accepted;
    };
    for (const Case c : {Case{9, 10, false}, Case{10, 9, false}, Case{1397, 10, false}, Case{10, 1397, false},
                         Case{10, 10, true}, Case{1396, 10, true}, Case{10, 1396, true}, Case{0, 0, false}}) {
        ProductPlan plan;
        plan.nx = c.nx;
        plan.ny = c.ny;
        write_file(path, build_product(plan));
        const std::string before = read_file(path);
        const auto lines = despike(true);
        if (c.accepted) {
            EXPECT_TRUE(lines.empty()) << c.nx << "x" << c.ny;
            EXPECT_NE(read_file(path), before);
        } else {
            EXPECT_EQ(lines, std::vector<std::string>{"DESPIKE WARNING - bad col or row size (" + std::to_string(c.nx) +
                                                      "x" + std::to_string(c.ny) + ") from " + path});
            EXPECT_EQ(read_file(path), before);
        }
    }
}

TEST_F(DespikeProduct, ReadFailures) {
    ProductPlan plan;
    const std::string whole = build_product(plan);
    // Cut inside the data: three bytes short leaves 318 whole pixels.
    write_file(path, whole.substr(0, kHeaderBytes + 2 * 320 - 3));
    std::string before = read_file(path);
    EXPECT_EQ(despike(true), std::vector<std::string>{"DESPIKE WARNING - missing data, got 318 pixels, expected "
                                                      "(20x16=320) from " + path});
    EXPECT_EQ(read_file(path), before);

    write_file(path, whole.substr(0, kHeaderBytes));
    EXPECT_EQ(despike(true), std::vector<std::string>{"DESPIKE WARNING - missing data, got 0 pixels, expected "
                                                      "(20x16=320) from " + path});

    write_file(path, whole.substr(0, kHeaderBytes - 1));
    before = read_file(path);
    EXPECT_EQ(despike(true), std::vector<std::string>{"DESPIKE WARNING - failed to read FITS header from " + path});
    EXPECT_EQ(read_file(path), before);

    const std::string absent = dir / "absent.fits";
    EXPECT_EQ(run_despike_product(absent, true, dir.path()),
              std::vector<std::string>{"DESPIKE WARNING - failed to open input " + absent});
    EXPECT_FALSE(test_support::file_exists(absent));
}

// The new file cannot be created beside the product: the product stays as
// it was and nothing else is removed.
TEST_F(DespikeProduct, FailedRewriteKeepsTheProduct) {
    ProductPlan plan;
    plan.pixels = spiky_pixels(plan.nx, plan.ny, {{5, 5, 900}});
    write_file(path, build_product(plan));
    const std::string before = read_file(path);
    char blocker_path[4096];
    ASSERT_TRUE(format_temporary_path(path.c_str(), kDespikeTemporarySuffix, blocker_path, sizeof blocker_path));
    const std::string blocker = blocker_path;
    ASSERT_EQ(blocker.find(".fits"), std::string::npos);
    test_support::make_dirs(blocker);
    EXPECT_EQ(despike(true), std::vector<std::string>{"DESPIKE WARNING - failed to overwrite output " + path});
    EXPECT_EQ(read_file(path), before);
    EXPECT_TRUE(std::filesystem::is_directory(blocker));
}

// A product despiked before it takes its final name (its tables, replaced
// pixels and header written into the file itself) has the bytes of one
// rewritten beside; when a write fails, the file is put back as first
// written and the warning names the product.
TEST_F(DespikeProduct, NewProductPatchedInPlace) {
    ProductPlan plan;
    plan.pixels = spiky_pixels(plan.nx, plan.ny, {{5, 5, 900}, {9, 12, 3000}});
    const std::string first = build_product(plan);
    const std::string temporary = dir / "20180327_145038_092_00000123.write-tmp";
    const auto despike_new = [&](bool yes) {
        reset_run_settings();
        std::snprintf(run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY], kValueSlot, "%s/", dir.path().c_str());
        run_settings.path_separator = '/';
        run_settings.param_number[PARAM_DESPIKE] = yes ? 1 : 0;
        ::testing::internal::CaptureStdout();
        despike_new_product(temporary.c_str(), path.c_str());
        return test_support::strip_log_stamps(::testing::internal::GetCapturedStdout());
    };
    for (const bool yes : {true, false}) {
        SCOPED_TRACE(yes ? "DESPIKE=YES" : "DESPIKE=NO");
        write_file(path, first);
        ASSERT_TRUE(despike(yes).empty());
        write_file(temporary, first);
        EXPECT_TRUE(despike_new(yes).empty());
        EXPECT_EQ(read_file(temporary), read_file(path));

        // The file may not grow: the tables cannot be written.
        write_file(temporary, first);
        struct rlimit limit = {}, before = {};
        getrlimit(RLIMIT_FSIZE, &before);
        limit.rlim_cur = first.size();
        limit.rlim_max = before.rlim_max;
        const auto ignored = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        const std::vector<std::string> lines = despike_new(yes);
        setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, ignored);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "DESPIKE WARNING - failed to overwrite output " + path);
        EXPECT_EQ(read_file(temporary), first);
    }
}

// The form of each DESPIKE setting, checked with CFITSIO and fitsverify, and
// each turned into the other with the tables.
TEST_F(DespikeProduct, BothFormsRoundTrip) {
    const int nx = 24, ny = 18;
    ProductPlan plan;
    plan.nx = nx;
    plan.ny = ny;
    std::mt19937 random(5);
    plan.pixels.resize(nx * ny);
    for (auto& v : plan.pixels) v = static_cast<int16_t>(std::uniform_int_distribution<int>(95, 105)(random));
    // Spikes inside, on the edge, and in the corner against pedestal padding.
    for (auto [r, c, v] : {std::array<int, 3>{5, 7, 3000}, {9, 12, 800}, {9, 13, 700}, {0, 0, 2500},
                           {ny - 1, nx - 1, 400}, {0, 10, 999}}) {
        plan.pixels[r * nx + c] = static_cast<int16_t>(v);
    }
    const std::vector<int16_t> raw = plan.pixels;
    const std::string yes_path = dir / "yes.fits";
    const std::string no_path = dir / "no.fits";
    write_file(yes_path, build_product(plan));
    write_file(no_path, build_product(plan));
    EXPECT_TRUE(run_despike_product(yes_path, true, dir.path()).empty());
    EXPECT_TRUE(run_despike_product(no_path, false, dir.path()).empty());

    const FitsContent yes = read_with_cfitsio(yes_path, nx, ny);
    const FitsContent no = read_with_cfitsio(no_path, nx, ny);
    ASSERT_EQ(yes.status, 0);
    ASSERT_EQ(no.status, 0);
    EXPECT_EQ(yes.hdus, 3);
    EXPECT_EQ(no.hdus, 3);
    EXPECT_EQ(yes.value_column, "Old_vals");
    EXPECT_EQ(no.value_column, "New_vals");
    EXPECT_EQ(yes.addresses, no.addresses);
    ASSERT_GE(yes.addresses.size(), 6u);
    EXPECT_EQ(no.image, raw);  // NO keeps the image exactly
    EXPECT_EQ(data_pixels(read_file(no_path), nx, ny), raw);
    EXPECT_NE(std::find(yes.addresses.begin(), yes.addresses.end(), 0), yes.addresses.end())
        << "the corner spike is tested against its pedestal border";
    EXPECT_LT(yes.image[0], 200);

    std::vector<int16_t> from_no = no.image;
    for (size_t i = 0; i < no.addresses.size(); ++i) from_no[no.addresses[i]] = no.values[i];
    EXPECT_EQ(from_no, yes.image);
    std::vector<int16_t> from_yes = yes.image;
    for (size_t i = 0; i < yes.addresses.size(); ++i) from_yes[yes.addresses[i]] = yes.values[i];
    EXPECT_EQ(from_yes, raw);

    const std::string count = std::to_string(yes.addresses.size());
    EXPECT_EQ(find_card(read_file(yes_path), "DESPIKE ="),
              card("DESPIKE =" + std::string(21 - count.size(), ' ') + count +
                   " /Despike Count and Headers Present if not 0"));
    for (const std::string& product : {yes_path, no_path}) {
        const std::string report = fitsverify_report(product);
        EXPECT_NE(report.find("3 Header-Data Units in this file."), std::string::npos) << report;
        EXPECT_NE(report.find("Verification found 0 warning(s) and 0 error(s)."), std::string::npos) << report;
    }
}

// The extension headers card by card, and their block padding: 720 rows of
// 4 bytes fill a block exactly, 721 need 2,876 zero bytes.
TEST_F(DespikeProduct, TableLayout) {
    for (const int spikes : {720, 721}) {
        const int nx = 4 * 121, ny = 4 * 6 + 4;  // spikes on a 4-pixel grid
        ProductPlan plan;
        plan.nx = nx;
        plan.ny = ny;
        std::vector<std::array<int, 3>> list;
        for (int i = 0; i < spikes; ++i) list.push_back({2 + 4 * (i / 121), 2 + 4 * (i % 121), 1000 + i});
        plan.pixels = spiky_pixels(nx, ny, list);
        write_file(path, build_product(plan));
        ASSERT_TRUE(despike(false).empty());
        const std::string file = read_file(path);
        const size_t data_end = kHeaderBytes + (2 * nx * ny + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
        const size_t locs_blocks = (4 * spikes + kBlockBytes - 1) / kBlockBytes;
        ASSERT_EQ(file.size(), data_end + kBlockBytes * (1 + locs_blocks) + kBlockBytes * 2);
        const std::string rows = std::string(7 - std::to_string(spikes).size(), ' ') + std::to_string(spikes);
        std::string expected;
        for (const char* text : {"XTENSION= 'BINTABLE'           / binary table extension",
                                 "BITPIX  =                    8 / 8-bit bytes",
                                 "NAXIS   =                    2 / 2-dimensional binary table",
                                 "NAXIS1  =                    4 / width of table in bytes"})
            expected += card(text);
        expected += card("NAXIS2  =              " + rows + " / number of rows in table");
        for (const char* text : {"PCOUNT  =                    0 / size of special data area",
                                 "GCOUNT  =                    1 / one data group (required keyword)",
                                 "TFIELDS =                    1 / number of fields in each row",
                                 "TTYPE1  = 'Address'            / label for field 1",
                                 "TFORM1  = '1J      '           / data format of field: 4-byte INTEGER",
                                 "EXTNAME = 'SPIKELOCS'          / name of this binary table extension", "END"})
            expected += card(text);
        expected.resize(kBlockBytes, ' ');
        EXPECT_EQ(file.substr(data_end, kBlockBytes), expected);
        // First row: the first spike's index, big-endian.
        EXPECT_EQ(file.substr(data_end + kBlockBytes, 4), std::string("\0\0\x03\xca", 4)) << "index 2 * 484 + 2";
        const size_t locs_end = data_end + kBlockBytes + 4 * spikes;
        EXPECT_EQ(file.substr(locs_end, data_end + kBlockBytes * (1 + locs_blocks) - locs_end),
                  std::string(spikes == 720 ? 0 : 2876, '\0'));
        const std::string values = file.substr(data_end + kBlockBytes * (1 + locs_blocks), kBlockBytes);
        EXPECT_EQ(values.substr(3 * 80, 80), card("NAXIS1  =                    2 / width of table in bytes"));
        EXPECT_EQ(values.substr(8 * 80, 80), card("TTYPE1  = 'New_vals'           / label for field 1"));
        EXPECT_EQ(values.substr(9 * 80, 80), card("TFORM1  = '1I      '           / data format of field: 2-byte INTEGER"));
        EXPECT_EQ(values.substr(10 * 80, 80), card("EXTNAME = 'NEWVALS'            / name of this binary table extension"));
        EXPECT_EQ(values.substr(11 * 80, 80), card("END"));
        EXPECT_EQ(values.substr(12 * 80), std::string(24 * 80, ' '));
        const std::string tail = file.substr(file.size() - kBlockBytes);
        EXPECT_EQ(tail.substr(0, 2), std::string("\0d", 2));  // new value 100
        EXPECT_EQ(tail.substr(2 * spikes), std::string(kBlockBytes - 2 * spikes, '\0'));
    }
}

}  // namespace
