// Reading products whose header announces an image the file cannot hold:
// refused with a message before anything is allocated for the image.
#include <gtest/gtest.h>

#include <string>

#include "quicklook.h"
#include "support/test_support.h"

namespace {

using namespace quicklook;

// A product's primary header (the cards the reader needs), padded to its
// 2880-byte block, then data_bytes bytes of image.
std::string product_bytes(const std::string& columns, const std::string& rows, size_t data_bytes) {
    std::string header;
    auto card = [&](const std::string& text) { header += text + std::string(80 - text.size(), ' '); };
    card("SIMPLE  =                    T");
    card("BITPIX  =                   16");
    card("NAXIS   =                    2");
    card("NAXIS1  = " + std::string(20 - columns.size(), ' ') + columns);
    card("NAXIS2  = " + std::string(20 - rows.size(), ' ') + rows);
    card("IMG_TIME = '2017-03-01 12:00:02.345'");
    card("WAVELNTH=                  171");
    card("EXPTIME =                  2.0");
    card("END");
    header.resize(2880, ' ');
    return header + std::string(data_bytes, '\0');
}

struct ProductCase {
    const char* name;
    std::string columns, rows;
    size_t data_bytes;
    const char* message;  // nullptr: read
};

TEST(QuicklookProducts, AnnouncedImageMustFitTheFormatAndTheFile) {
    const ProductCase cases[] = {
        {"sound", "4", "3", 2880, nullptr},
        {"a side wider than the header holds", "100000", "100000", 2880, "image of 100000 x 100000 pixels, more than"},
        {"a side beyond 32 bits", "3000000000", "1", 2880, "image of 3000000000 x 1 pixels, more than"},
        {"more pixels than a product holds", "2000", "1001", 2880, "image of 2000 x 1001 pixels, more than"},
        {"data cut short", "64", "64", 2880, "image of 64 x 64 pixels, cut short (file of 5760 bytes)"},
        {"no data at all", "4", "3", 0, "image of 4 x 3 pixels, cut short"},
    };
    test_support::TempDir t("tavo-ql-product");
    for (const ProductCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = t / "20170301_120002_345_00000001.fits";
        test_support::write_file(path, product_bytes(c.columns, c.rows, c.data_bytes));
        ProductInfo info;
        std::vector<int16_t> pixels;
        std::string error;
        const bool read = read_product(path, info, &pixels, error);
        if (c.message == nullptr) {
            EXPECT_TRUE(read) << error;
            EXPECT_EQ(pixels.size(), 12u);
        } else {
            EXPECT_FALSE(read);
            EXPECT_NE(error.find(c.message), std::string::npos) << error;
            EXPECT_EQ(error.find(path), 0u) << error;
            EXPECT_TRUE(pixels.empty());
        }
    }
}

// One product announcing an image no file holds, in a day of sound ones:
// named on standard error and on the page, the others drawn, exit status 1.
TEST(QuicklookProducts, AnOversizedProductIsNamedAndTheDayDrawn) {
    test_support::TempDir t("tavo-ql-oversized");
    const std::string hour = t / "out/KITE-16/2017/03/01/H1200";
    test_support::make_dirs(hour);
    test_support::write_file(hour + "/20170301_120002_345_00000001.fits", product_bytes("4", "3", 2880));
    test_support::write_file(hour + "/20170301_120102_345_00000002.fits", product_bytes("100000", "100000", 24));
    test_support::write_file(hour + "/20170301_120202_345_00000003.fits", product_bytes("4", "3", 2880));
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
