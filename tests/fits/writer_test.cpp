// The product file: name, byte layout, blocking, data, the despike step, the
// log lines and the failure paths, read back with real FITS readers.
#include <fitsio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/base.h"
#include "despike/despike.h"
#include "fits/fits.h"
#include "fits/header_packet.h"
#include "run/run.h"
#include "support/test_support.h"

using fits_test::card_at;
using fits_test::HeaderPacket;
using fits_test::trimmed;
using test_support::TempDir;

namespace {

constexpr uint32_t kDate = 20180327;
constexpr uint32_t kTime = 145038;
constexpr int32_t kMs = 92;
constexpr uint32_t kImageId = 123;
constexpr const char* kProductName = "20180327_145038_092_00000123.fits";

// Pixels in the caller's form: 16-bit words holding the big-endian bytes.
std::vector<uint16_t> pixel_words(const std::vector<uint16_t>& values) {
    std::vector<uint16_t> words(kMaxDataPixels, 0);
    for (size_t i = 0; i < values.size(); ++i) {
        uint8_t* bytes = reinterpret_cast<uint8_t*>(&words[i]);
        bytes[0] = static_cast<uint8_t>(values[i] >> 8);
        bytes[1] = static_cast<uint8_t>(values[i]);
    }
    return words;
}

// A ramp with a value for every position (up to 16,383, as assembled).
std::vector<uint16_t> ramp(uint32_t columns, uint32_t rows) {
    std::vector<uint16_t> values(std::min<size_t>(size_t{columns} * rows, kMaxDataPixels));
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<uint16_t>((1000 + i % columns + 3 * (i / columns)) % 16384);
    }
    return values;
}

// A flat image: the despike step finds no spike and appends nothing.
std::vector<uint16_t> flat(uint32_t columns, uint32_t rows) {
    return std::vector<uint16_t>(std::min<size_t>(size_t{columns} * rows, kMaxDataPixels), 1000);
}

HeaderPacket product_packet(uint32_t columns, uint32_t rows) {
    HeaderPacket p;
    p.flight_model(2).image_type(12).size(columns, rows).commanded_ms(1500).frame_type(1).summing(1);
    p.aperture(28).wheel1(140).wheel2(140).readout_port(1).ccd_counts(2000, 2001).u32(20, kImageId);
    p.shutter(0, 1600000, 100000);
    return p;
}

// Run settings for a product test: the log under root, DESPIKE as given.
struct ProductRun {
    TempDir root{"tavo-fits"};
    std::string product_dir;

    explicit ProductRun(bool despike = false) {
        reset_run_settings();
        const std::string out = root.path() + "/";
        std::snprintf(run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY], kValueSlot, "%s", out.c_str());
        std::snprintf(run_settings.param_text[PARAM_DESPIKE], kValueSlot, "%s", despike ? "YES" : "NO");
        run_settings.param_number[PARAM_DESPIKE] = despike ? 1 : 0;
        run_settings.unix_paths = true;
        run_settings.path_separator = '/';
        product_dir = root / "products/";
        test_support::make_dirs(product_dir);
    }
    std::string product_path() const { return product_dir + kProductName; }
    std::string temporary_path() const {
        char path[4096];
        EXPECT_TRUE(format_temporary_path(product_path().c_str(), kProductTemporarySuffix, path, sizeof path));
        return path;
    }

    // Writes the product; returns the log lines without their stamps. The
    // writer reports success exactly when it logged the product.
    std::vector<std::string> write(const HeaderPacket& packet, const std::vector<uint16_t>& words,
                                   uint32_t sel_count = 0, const std::string& dir = "") {
        testing::internal::CaptureStdout();
        const bool written = write_image_product((dir.empty() ? product_dir : dir).c_str(), kImageId, sel_count, kDate,
                                              kTime, kMs, packet.bytes, words.data());
        std::vector<std::string> log = test_support::strip_log_stamps(testing::internal::GetCapturedStdout());
        EXPECT_EQ(written, !log.empty() && log.back().rfind("FITS - Generated ", 0) == 0);
        return log;
    }
};

TEST(ProductFile, HoldsTheHeaderThePixelsAndTheZeroPadding) {
    ProductRun run;
    const HeaderPacket packet = product_packet(20, 16);
    const std::vector<uint16_t> values = ramp(20, 16);
    const std::vector<std::string> log = run.write(packet, pixel_words(values), 42);
    ASSERT_EQ(log, std::vector<std::string>{"FITS - Generated " + run.product_path()});
    ASSERT_EQ(test_support::list_dir(run.product_dir), std::vector<std::string>{kProductName});

    // DESPIKE NO keeps the pixels; the spike tables follow the first blocks.
    const std::string file = test_support::read_file(run.product_path());
    ASSERT_GE(file.size(), 40320u + 2880u);
    std::string expected(kPrimaryHeaderBytes, '\0');
    ASSERT_TRUE(format_primary_header(expected.data(), packet.bytes, 42, kDate, kTime, kMs,
                                      file.substr(53, 24).c_str()));
    for (int card = 0; card < kPrimaryCardCount; ++card) {
        if (card == 498 || card == 499) continue;  // rewritten by the despike step
        ASSERT_EQ(card_at(file, card), card_at(expected, card)) << "card " << card + 1;
    }
    EXPECT_EQ(card_at(file, 498).substr(0, 9), "DESPIKE =");
    EXPECT_EQ(file.substr(kPrimaryCardCount * kCardBytes, 160), std::string(160, ' '));
    for (size_t i = 0; i < values.size(); ++i) {
        const auto hi = static_cast<uint8_t>(file[40320 + 2 * i]);
        const auto lo = static_cast<uint8_t>(file[40321 + 2 * i]);
        ASSERT_EQ(hi * 256 + lo, values[i]) << "pixel " << i;
    }
    EXPECT_EQ(file.substr(40320 + 640, 2880 - 640), std::string(2880 - 640, '\0'));
}

struct SizeCase {
    uint32_t columns, rows;
    size_t data_bytes;  // pixel bytes written
    size_t file_bytes;
};

class ProductSize : public testing::TestWithParam<SizeCase> {};

TEST_P(ProductSize, IsBlockedTo2880Bytes) {
    const SizeCase& c = GetParam();
    ProductRun run;
    const std::vector<uint16_t> values = flat(c.columns, c.rows);
    const std::vector<std::string> log = run.write(product_packet(c.columns, c.rows), pixel_words(values));
    EXPECT_EQ(log.back(), "FITS - Generated " + run.product_path());
    const std::string file = test_support::read_file(run.product_path());
    ASSERT_EQ(file.size(), c.file_bytes);
    EXPECT_EQ(file.size() % kFitsBlockBytes, 0u);
    EXPECT_EQ(file.substr(40320 + c.data_bytes), std::string(c.file_bytes - 40320 - c.data_bytes, '\0'));
    EXPECT_EQ(image_data_pixels(product_packet(c.columns, c.rows).bytes) * 2, c.data_bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProductSize,
                         testing::Values(SizeCase{0, 0, 0, 40320}, SizeCase{1280, 0, 0, 40320},
                                         SizeCase{0, 1280, 0, 40320}, SizeCase{1440, 1, 2880, 43200},
                                         SizeCase{1280, 1280, 3276800, 3317760},
                                         // Above the pixel buffer: 2,000,000 pixels, NAXIS as stated.
                                         SizeCase{2000, 1001, 4000000, 4040640},
                                         SizeCase{65535, 65535, 4000000, 4040640}));

TEST(ProductFile, NaxisStatesTheHeaderPacketAboveTheCap) {
    ProductRun run;
    run.write(product_packet(2000, 1001), pixel_words({}));
    const std::string file = test_support::read_file(run.product_path());
    EXPECT_EQ(trimmed(card_at(file, 3)), "NAXIS1  =                 2000 /COLS");
    EXPECT_EQ(trimmed(card_at(file, 4)), "NAXIS2  =                 1001 /ROWS");
}

TEST(ProductFile, ReplacesAFileOfTheSameName) {
    ProductRun run;
    test_support::write_file(run.product_path(), std::string(100000, 'x'));
    run.write(product_packet(0, 0), pixel_words({}));
    EXPECT_EQ(test_support::read_file(run.product_path()).size(), 40320u);
}

TEST(ProductFile, TheLogLineGoesToTheDaysLogFile) {
    ProductRun run;
    run.write(product_packet(20, 16), pixel_words(ramp(20, 16)));
    const std::vector<std::string> logs = test_support::list_dir(run.root / "LOG");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(test_support::strip_log_stamps(test_support::read_file(run.root / ("LOG/" + logs[0]))),
              std::vector<std::string>{"FITS - Generated " + run.product_path()});
}

TEST(ProductFailure, ADirectoryThatIsAFileIsReportedAndTheRunGoesOn) {
    ProductRun run;
    const std::string not_a_dir = run.root / "plain";
    test_support::write_file(not_a_dir, "x");
    const std::vector<std::string> log =
        run.write(product_packet(20, 16), pixel_words(ramp(20, 16)), 0, not_a_dir + "/");
    EXPECT_EQ(log, std::vector<std::string>{"ERROR - Failed to write " + not_a_dir + "/" + kProductName});
    // The next image is written as usual.
    EXPECT_EQ(run.write(product_packet(20, 16), pixel_words(ramp(20, 16))),
              std::vector<std::string>{"FITS - Generated " + run.product_path()});
}

// The product is written beside its final name and renamed only when
// complete; a failed write or rename leaves neither a partial product nor
// the temporary file.
TEST(ProductFailure, AFullDeviceIsReportedAndThePartialFileRemoved) {
    ProductRun run;
    std::vector<std::string> log;
    {
        test_support::FileSizeLimit full(1000);
        log = run.write(product_packet(20, 16), pixel_words(ramp(20, 16)));
    }
    EXPECT_EQ(log, std::vector<std::string>{"ERROR - Failed to write " + run.product_path()});
    EXPECT_TRUE(test_support::list_dir(run.product_dir).empty());
}

// A link planted at the temporary or the final name is replaced, never written through.
TEST(ProductFile, ALinkAtEitherNameIsReplacedAndItsTargetKept) {
    for (const bool at_temporary : {true, false}) {
        ProductRun run;
        test_support::Victim victim;
        const std::string planted = at_temporary ? run.temporary_path() : run.product_path();
        ASSERT_EQ(symlink(victim.path.c_str(), planted.c_str()), 0);
        EXPECT_EQ(run.write(product_packet(20, 16), pixel_words(ramp(20, 16))),
                  std::vector<std::string>{"FITS - Generated " + run.product_path()});
        EXPECT_TRUE(victim.untouched()) << planted;
        struct stat status {};
        EXPECT_TRUE(lstat(run.product_path().c_str(), &status) == 0 && S_ISREG(status.st_mode)) << planted;
        EXPECT_EQ(test_support::list_dir(run.product_dir), std::vector<std::string>{kProductName});
    }
}

TEST(ProductFailure, AFailedRenameIsReportedAndTheTemporaryFileRemoved) {
    ProductRun run;
    test_support::make_dirs(run.product_path() + "/occupied");  // a non-empty directory cannot be replaced
    const std::vector<std::string> log = run.write(product_packet(20, 16), pixel_words(ramp(20, 16)));
    EXPECT_EQ(log, std::vector<std::string>{"ERROR - Failed to write " + run.product_path()});
    EXPECT_EQ(test_support::list_dir(run.product_dir), std::vector<std::string>{kProductName});
}

TEST(ProductFile, ATemporaryFileLeftByAKilledRunIsReplaced) {
    ProductRun run;
    run.write(product_packet(20, 16), pixel_words(ramp(20, 16)));
    const size_t product_size = test_support::read_file(run.product_path()).size();
    test_support::write_file(run.temporary_path(), std::string(3 * product_size, 'x'));
    const std::vector<std::string> log = run.write(product_packet(20, 16), pixel_words(ramp(20, 16)));
    EXPECT_EQ(log, std::vector<std::string>{"FITS - Generated " + run.product_path()});
    EXPECT_EQ(test_support::list_dir(run.product_dir), std::vector<std::string>{kProductName});
    EXPECT_EQ(test_support::read_file(run.product_path()).size(), product_size);
}

struct TemporaryNameCase {
    const char* path;
    const char* temporary;
};

TEST(ProductFile, TemporaryNamesNeverContainTheProductEnding) {
    const TemporaryNameCase cases[] = {
        {"/o/H1200/20170301_120012_345_00000002.fits", "/o/H1200/20170301_120012_345_00000002.write-tmp"},
        {"/o/a.fits.fits", "/o/a.fits.write-tmp"},
        {"/o/plain", "/o/plain.write-tmp"},
    };
    for (const TemporaryNameCase& c : cases) {
        char temporary[64];
        ASSERT_TRUE(format_temporary_path(c.path, kProductTemporarySuffix, temporary, sizeof temporary));
        EXPECT_STREQ(temporary, c.temporary);
    }
    char small[8];
    EXPECT_FALSE(format_temporary_path("/o/H1200/x.fits", kProductTemporarySuffix, small, sizeof small));
}

TEST(ProductFailure, APathTooLongIsReported) {
    ProductRun run;
    const std::string deep = run.product_dir + std::string(4100, 'd') + "/";
    const std::vector<std::string> log = run.write(product_packet(0, 0), pixel_words({}), 0, deep);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("ERROR - Failed to write " + run.product_dir + "ddd", 0), 0u);
    EXPECT_TRUE(test_support::list_dir(run.product_dir).empty());
}

// fitsverify accepts the product except for the DATE_OBS card, whose "=" in
// column 10 makes it commentary with a reserved name.
TEST(ProductReaders, FitsverifyReportsOnlyTheDateObsCard) {
    ProductRun run(true);
    run.write(product_packet(64, 48), pixel_words(ramp(64, 48)));
    const auto result = test_support::run_program({"/usr/bin/fitsverify", run.product_path()});
    EXPECT_NE(result.out.find("0 warning(s) and 2 error(s)"), std::string::npos) << result.out;
    size_t errors = 0;
    // The error lines go to the standard error stream.
    for (const std::string& line : test_support::split_lines(result.out + "\n" + result.err)) {
        if (line.find("*** Error") == std::string::npos) continue;
        ++errors;
        EXPECT_NE(line.find("DATE_OBS"), std::string::npos) << line;
    }
    EXPECT_EQ(errors, 2u) << result.out << result.err;
}

TEST(ProductReaders, CfitsioReadsTheKeywordsAndThePixels) {
    ProductRun run;
    const std::vector<uint16_t> values = ramp(40, 30);
    HeaderPacket packet = product_packet(40, 30);
    packet.u16(238, 0xFFFE);  // TAV_FOCUS_POS -2
    run.write(packet, pixel_words(values), 7);

    fitsfile* file = nullptr;
    int status = 0;
    ASSERT_EQ(fits_open_file(&file, run.product_path().c_str(), READONLY, &status), 0);
    long naxes[2] = {0, 0};
    int naxis = 0;
    fits_get_img_dim(file, &naxis, &status);
    fits_get_img_size(file, 2, naxes, &status);
    EXPECT_EQ(naxis, 2);
    EXPECT_EQ(naxes[0], 40);
    EXPECT_EQ(naxes[1], 30);
    double exptime = 0;
    long fm = 0, wavelength = 0, sel = 0, focus = 0, columns = 0;
    char amp[FLEN_VALUE] = "";
    fits_read_key(file, TDOUBLE, "EXPTIME", &exptime, nullptr, &status);
    fits_read_key(file, TLONG, "FM", &fm, nullptr, &status);
    fits_read_key(file, TLONG, "WAVELNTH", &wavelength, nullptr, &status);
    fits_read_key(file, TLONG, "SEL_CNT", &sel, nullptr, &status);
    fits_read_key(file, TSTRING, "AMPNAME", amp, nullptr, &status);
    fits_read_key(file, TLONG, "TAV_FOCUS_POS", &focus, nullptr, &status);
    fits_read_key(file, TLONG, "TAV_ISP_HDR_COLS", &columns, nullptr, &status);
    EXPECT_EQ(status, 0);
    EXPECT_DOUBLE_EQ(exptime, 1.5);
    EXPECT_EQ(fm, 2);
    EXPECT_EQ(wavelength, 304);
    EXPECT_EQ(sel, 7);
    EXPECT_STREQ(amp, "LEFT");
    EXPECT_EQ(focus, -2);
    EXPECT_EQ(columns, 40);
    std::vector<short> read(values.size());
    int any_null = 0;
    fits_read_img(file, TSHORT, 1, static_cast<LONGLONG>(read.size()), nullptr, read.data(), &any_null, &status);
    EXPECT_EQ(status, 0);
    for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(read[i], static_cast<short>(values[i])) << i;
    fits_close_file(file, &status);
}

TEST(ProductReaders, AstropyReadsTheKeywordsAndThePixels) {
    ProductRun run;
    run.write(product_packet(24, 10), pixel_words(ramp(24, 10)));
    const std::string script =
        "import sys, warnings\n"
        "warnings.simplefilter('ignore')\n"
        "from astropy.io import fits\n"
        "with fits.open(sys.argv[1]) as f:\n"
        "    h = f[0].header\n"
        "    d = f[0].data\n"
        "    print(d.shape, int(d[0, 0]), int(d[9, 23]), int(d.sum()))\n"
        "    print(h['NAXIS1'], h['FW1NAME'], h['ASNAME'], h['SHT_EXP_TIME'], h['TAV_CA_FRM_EXP'])\n"
        "    print(h['LAST_BAKEOUT_TIME'], len(h['FILE_CREATION_TIME']))\n";
    const auto result = test_support::run_program({"/usr/bin/python3", "-c", script, run.product_path()});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const std::vector<uint16_t> values = ramp(24, 10);
    long long sum = 0;
    for (uint16_t v : values) sum += v;
    const std::vector<std::string> lines = test_support::split_lines(result.out);
    ASSERT_EQ(lines.size(), 3u) << result.out;
    EXPECT_EQ(lines[0], "(10, 24) " + std::to_string(values[0]) + " " + std::to_string(values[9 * 24 + 23]) + " " +
                            std::to_string(sum));
    EXPECT_EQ(lines[1], "24 THIN_AL 304A 1.5 1500");
    EXPECT_EQ(lines[2], "2018-03-27 14:50:38.092 24");
}

}  // namespace
