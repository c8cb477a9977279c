// Product names, tree paths, CSV paths and temporary names: formed and read
// back by one module for every program.
#include <gtest/gtest.h>

#include <string>

#include "layout/layout.h"

namespace {

TEST(ProductName, FormedAndReadBack) {
    char name[kProductNameSlot];
    format_product_name(20180327, 145038, 92, 123, name);
    EXPECT_STREQ(name, "20180327_145038_092_00000123.fits");
    ProductName product{};
    ASSERT_TRUE(parse_product_name(name, product));
    EXPECT_EQ(product.date, 20180327u);
    EXPECT_EQ(product.time, 145038u);
    EXPECT_EQ(product.ms, 92u);
    EXPECT_EQ(product.image_id, 123u);
}

TEST(ProductName, OnlyTheExactFormIsAProduct) {
    struct Case {
        const char* name;
        bool product;
    } cases[] = {
        {"20180327_145038_092_00000123.fits", true},
        {"20180327_145038_092_00000123.write-tmp", false},   // a product being written
        {"20180327_145038_092_00000123.despike-tmp", false}, // a product being despiked
        {"20180327_145038_092_00000123.fits.bak", false},
        {"2018032_145038_092_00000123.fits", false},
        {"+0180327_145038_092_00000123.fits", false},
        {" 0180327_145038_092_00000123.fits", false},
        {"20180327-145038_092_00000123.fits", false},
        {"", false},
    };
    for (const Case& c : cases) {
        ProductName product{};
        EXPECT_EQ(parse_product_name(c.name, product), c.product) << c.name;
    }
    // The CSV export keeps its own wider rule: any name containing ".fits".
    EXPECT_TRUE(csv_lists_name("20180327_145038_092_00000123.fits.bak"));
    EXPECT_FALSE(csv_lists_name("20180327_145038_092_00000123.write-tmp"));
}

TEST(ProductTree, PathsUnderTheOutputRoot) {
    char path[128];
    ASSERT_TRUE(format_product_directory_path(16, 20170301, 125959, '/', path, sizeof path));
    EXPECT_STREQ(path, "KITE-16/2017/03/01/H1200/");
    ASSERT_TRUE(format_day_directory_path(19, 20991231, '\\', path, sizeof path));
    EXPECT_STREQ(path, "KITE-19\\2099\\12\\31\\");
    ASSERT_TRUE(format_csv_path(17, 20180105, '/', path, sizeof path));
    EXPECT_STREQ(path, "KITE-17/isp/2018/01/20180105.csv");
    char small[8];
    EXPECT_FALSE(format_product_directory_path(16, 20170301, 120000, '/', small, sizeof small));
    EXPECT_FALSE(format_csv_path(16, 20170301, '/', small, sizeof small));
}

TEST(TemporaryName, ReplacesTheExtensionAndEndsInTmp) {
    char path[64];
    ASSERT_TRUE(format_temporary_path("/o/H1200/x.fits", kProductTemporarySuffix, path, sizeof path));
    EXPECT_STREQ(path, "/o/H1200/x.write-tmp");
    ASSERT_TRUE(format_temporary_path("/o/x", kDespikeTemporarySuffix, path, sizeof path));
    EXPECT_STREQ(path, "/o/x.despike-tmp");
    EXPECT_TRUE(is_temporary_name(path));
    EXPECT_FALSE(is_temporary_name("x.fits"));
    EXPECT_FALSE(is_temporary_name("tmp"));
    char small[8];
    EXPECT_FALSE(format_temporary_path("/o/H1200/x.fits", kProductTemporarySuffix, small, sizeof small));
}

TEST(DespikeLabel, OneWordForEachForm) {
    EXPECT_STREQ(despike_label(true), "L1A");
    EXPECT_STREQ(despike_label(false), "L0");
}

}  // namespace
