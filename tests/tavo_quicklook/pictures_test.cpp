// Colour tables, scaling and pictures against hand-computed values.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "fits/fits.h"
#include "quicklook.h"
#include "support/test_support.h"

namespace {

using namespace quicklook;

struct ColourCase {
    int wavelength;
    int index;
    std::array<int, 3> rgb;
};

// Entries worked out by hand from the curves: r0 = i*255/176, g0 = (i-120)*255/135,
// b0 = (i-190)*255/65 (integer ramps), c1 = sqrt(255 i), c2 = i^2/255,
// c3 = (c1 + c2/2) * 255 / 382.5, rounded.
TEST(QuicklookColours, EntriesMatchHandComputedValues) {
    const ColourCase cases[] = {
        {171, 0, {0, 0, 0}},       {171, 100, {144, 100, 0}},   {171, 200, {255, 200, 39}},
        {171, 255, {255, 255, 255}}, {131, 150, {56, 217, 217}}, {195, 64, {128, 64, 16}},
        {94, 128, {64, 142, 128}},   {304, 128, {185, 15, 0}},   {284, 64, {16, 64, 128}},
    };
    for (const ColourCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.wavelength) + " index " + std::to_string(c.index));
        const PassbandDisplay* display = find_passband_display(c.wavelength);
        ASSERT_NE(display, nullptr);
        const ColourTable table = colour_table(*display);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(table[static_cast<size_t>(3 * c.index + k)], c.rgb[static_cast<size_t>(k)]);
    }
}

TEST(QuicklookColours, EveryApertureHasADisplayAndNothingElse) {
    for (const EncoderPosition& p : aperture_positions) EXPECT_NE(find_passband_display(p.wavelength), nullptr);
    for (int w : {-1, 0, 193, 211, 335, 1600}) EXPECT_EQ(find_passband_display(w), nullptr) << w;
}

struct ScaleCase {
    int wavelength;
    double exposure;
    double raw;
    int index;
};

TEST(QuicklookScaling, PixelsOverExposureWithinTheFixedRange) {
    const ScaleCase cases[] = {
        {171, 0.7, 2000, 96}, {171, 0.7, 700, 46}, {171, 0.7, 98, 0}, {171, 0.7, 10500, 255}, {171, 0.7, 16383, 255},
        {171, 0.7, -5, 0},    {195, 1.0, 3000, 152}, {94, 2.9, 300, 111},
    };
    for (const ScaleCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.wavelength) + " raw " + std::to_string(c.raw));
        const PassbandDisplay* d = find_passband_display(c.wavelength);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(scale_pixel({d->stretch, d->low, d->high, c.exposure}, c.raw), c.index);
    }
}

ProductInfo product(int nx, int ny, int wavelength, double exposure, bool dark) {
    ProductInfo p;
    p.name = "20170301_120012_345_00000002";
    p.nx = nx;
    p.ny = ny;
    p.wavelength = wavelength;
    p.exposure = exposure;
    p.dark = dark;
    return p;
}

TEST(QuicklookPictures, DataRowZeroIsTheBottomRow) {
    // 171 A at 0.7 s: 2000 maps to 96, 700 to 46.
    std::vector<int16_t> pixels(6, 700);
    pixels[0] = 2000;  // row 0, column 0
    PictureSet set;
    make_pictures(product(3, 2, 171, 0.7, false), pixels, set);
    ASSERT_EQ(set.full.width, 3);
    ASSERT_EQ(set.full.height, 2);
    EXPECT_EQ(set.full.index, (std::vector<uint8_t>{46, 46, 46, 96, 46, 46}));
    EXPECT_EQ(set.full.colours, colour_table(*find_passband_display(171)));
    EXPECT_EQ(set.scaling_text, "sqrt 140 to 15000 DN/s, AIA 171 colours");
}

TEST(QuicklookPictures, ThumbnailIsTheBlockMean) {
    // 512 x 4: blocks of 2 x 2; the block at the bottom left averages to 2000.
    std::vector<int16_t> pixels(512 * 4, 700);
    pixels[0] = 2500, pixels[1] = 1500, pixels[512] = 2100, pixels[513] = 1900;
    PictureSet set;
    make_pictures(product(512, 4, 171, 0.7, false), pixels, set);
    ASSERT_EQ(set.thumbnail.width, kThumbnailSide);
    ASSERT_EQ(set.thumbnail.height, 2);
    EXPECT_EQ(set.thumbnail.index[kThumbnailSide], 96);  // bottom row, first column
    EXPECT_EQ(set.thumbnail.index[0], 46);
    EXPECT_EQ(set.thumbnail.index[kThumbnailSide + 1], 46);
}

TEST(QuicklookPictures, DarksAndUnnormalisedFramesUseTheirPercentiles) {
    // Values 0..99 once each: the 1st percentile is 0, the 99th is 98.
    std::vector<int16_t> pixels(100);
    for (int i = 0; i < 100; ++i) pixels[static_cast<size_t>(i)] = static_cast<int16_t>(i);
    PictureSet dark;
    make_pictures(product(10, 10, 171, 0.7, true), pixels, dark);
    EXPECT_EQ(dark.full.colours, grey_table());
    EXPECT_EQ(dark.full.index[90 + 0], 0);     // bottom row holds data row 0: values 0..9
    EXPECT_EQ(dark.full.index[90 + 9], 23);    // 9 / 98 * 255 = 23.4
    EXPECT_EQ(dark.full.index[0 + 9], 255);    // 99 lies above 98
    EXPECT_EQ(dark.scaling_text, "linear 0 to 98 DN (percentiles 1 to 99), grey");
    PictureSet no_exposure;
    make_pictures(product(10, 10, 304, 0.0, false), pixels, no_exposure);
    EXPECT_EQ(no_exposure.full.colours, colour_table(*find_passband_display(304)));
    EXPECT_EQ(no_exposure.full.index[90 + 9], 23);
    PictureSet unknown;
    make_pictures(product(10, 10, -1, 1.0, false), pixels, unknown);
    EXPECT_EQ(unknown.full.colours, grey_table());
}

TEST(QuicklookPictures, PercentilesOfAHistogram) {
    const std::vector<int16_t> pixels = {-3, 5, 5, 5, 7, 9, 100, 200, 300, 32767};
    EXPECT_EQ(percentile_value(pixels, 0), -3);
    EXPECT_EQ(percentile_value(pixels, 10), -3);
    EXPECT_EQ(percentile_value(pixels, 11), 5);
    EXPECT_EQ(percentile_value(pixels, 90), 300);
    EXPECT_EQ(percentile_value(pixels, 100), 32767);
}

}  // namespace

namespace {

// The picture's lookup table agrees with scale_pixel on every 16-bit value.
TEST(QuicklookPictures, EveryValueTakesTheIndexOfItsScaling) {
    std::vector<int16_t> pixels(65536);
    for (int v = 0; v < 65536; ++v) pixels[static_cast<size_t>(v)] = static_cast<int16_t>(v - 32768);
    for (const EncoderPosition& p : aperture_positions) {
        for (const bool dark : {false, true}) {
            SCOPED_TRACE(std::to_string(p.wavelength) + (dark ? " dark" : ""));
            PictureSet set;
            make_pictures(product(256, 256, p.wavelength, 1.7, dark), pixels, set);
            size_t wrong = 0;
            for (int v = 0; v < 65536; ++v) {
                const size_t at = static_cast<size_t>((255 - v / 256) * 256 + v % 256);
                wrong += set.full.index[at] != scale_pixel(set.scaling, v - 32768);
            }
            EXPECT_EQ(wrong, 0u);
        }
    }
}

// A link planted at a picture's name is replaced by the picture; the file it
// points to is never written.
TEST(QuicklookPictures, ALinkAtThePicturesNameIsNotWrittenThrough) {
    test_support::TempDir t("tavo-ql-link");
    test_support::make_dirs(t / "png");
    test_support::write_file(t / "victim", "victim\n");
    std::filesystem::create_symlink(t / "victim", t / "png/a.png");
    std::string error;
    ASSERT_TRUE(write_png(t / "png/a.png", placeholder_picture(16, 16), {}, error)) << error;
    EXPECT_EQ(test_support::read_file(t / "victim"), "victim\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(t / "png/a.png")));
    EXPECT_EQ(test_support::read_file(t / "png/a.png").substr(1, 3), "PNG");
    EXPECT_EQ(test_support::list_dir(t / "png"), std::vector<std::string>{"a.png"});
}

}  // namespace
