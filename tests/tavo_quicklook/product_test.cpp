// A product whose header announces an image the format or the file cannot
// hold is refused with a message before anything is allocated for it.
#include <gtest/gtest.h>

#include "quicklook.h"
#include "support/test_support.h"

namespace {

using namespace quicklook;

// A product's primary header (the cards the reader needs) in its 2880-byte
// block, then data_bytes bytes of image.
std::string product_bytes(const std::string& columns, const std::string& rows, size_t data_bytes) {
    std::string header;
    for (const std::string& card : std::initializer_list<std::string>{
             "SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = " + columns, "NAXIS2  = " + rows,
             "IMG_TIME = '2017-03-01 12:00:02.345'", "WAVELNTH= 171", "EXPTIME = 2.0", "END"})
        header += card + std::string(80 - card.size(), ' ');
    header.resize(2880, ' ');
    return header + std::string(data_bytes, '\0');
}

TEST(QuicklookProducts, AnnouncedImageMustFitTheFormatAndTheFile) {
    const struct {
        std::string columns, rows;
        size_t data_bytes;
        const char* message;  // "" : read
    } cases[] = {
        {"4", "3", 2880, ""},
        {"100000", "100000", 2880, "image of 100000 x 100000 pixels, more than"},
        {"3000000000", "1", 2880, "image of 3000000000 x 1 pixels, more than"},
        {"2000", "1001", 2880, "image of 2000 x 1001 pixels, more than"},
        {"64", "64", 2880, "image of 64 x 64 pixels, cut short (file of 5760 bytes)"},
        {"4", "3", 0, "image of 4 x 3 pixels, cut short"},
    };
    test_support::TempDir t("tavo-ql-product");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.columns + " x " + c.rows);
        test_support::write_file(t / "p.fits", product_bytes(c.columns, c.rows, c.data_bytes));
        ProductInfo info;
        std::vector<int16_t> pixels;
        std::string error;
        EXPECT_EQ(read_product(t / "p.fits", info, &pixels, error), *c.message == '\0') << error;
        EXPECT_EQ(error.find(*c.message ? t / "p.fits: " + c.message : ""), 0u) << error;
        EXPECT_EQ(pixels.size(), *c.message ? 0u : 12u);
    }
}

// One such product in a day: named on stderr and the page, the others drawn,
// exit status 1.
TEST(QuicklookProducts, AnOversizedProductIsNamedAndTheDayDrawn) {
    test_support::TempDir t("tavo-ql-oversized");
    const std::string hour = t / "out/KITE-16/2017/03/01/H1200/20170301_120";
    test_support::make_dirs(t / "out/KITE-16/2017/03/01/H1200");
    test_support::write_file(hour + "002_345_00000001.fits", product_bytes("4", "3", 2880));
    test_support::write_file(hour + "102_345_00000002.fits", product_bytes("100000", "100000", 2880));
    test_support::write_file(hour + "202_345_00000003.fits", product_bytes("4", "3", 2880));
    const auto run = test_support::run_program(
        {TAVO_QUICKLOOK_BINARY, "--root", t / "out", "--kite", "16", "--day", "2017-03-01", "--no-movie"});
    EXPECT_EQ(run.exit_status, 1) << run.err;
    EXPECT_NE(run.err.find("00000002.fits: image of 100000 x 100000 pixels"), std::string::npos) << run.err;
    const std::string day = t / "out/KITE-16/quicklook/2017/03/01";
    EXPECT_NE(test_support::read_file(day + "/index.html").find("00000002.fits: image of"), std::string::npos);
    EXPECT_EQ(test_support::list_dir(day + "/png"),
              (std::vector<std::string>{"20170301_120002_345_00000001.png", "20170301_120202_345_00000003.png"}));
}

}  // namespace
