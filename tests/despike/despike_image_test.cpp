#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "despike/despike.h"
#include "despike/reference_despike.h"

namespace {

using Image = std::vector<int16_t>;

// The outputs of one call, released as the caller must.
struct Result {
    int status = 0;
    int32_t count = -7;  // sentinels show whether the outputs were written
    std::vector<int32_t> addresses;
    std::vector<int16_t> old_values;
    std::vector<int16_t> new_values;
    bool arrays_null = false;
    bool outputs_untouched = false;
};

int32_t sentinel_address[1];
int16_t sentinel_value[1];

Result run_despike(Image& image, int nx, int ny, float frac, float ped, int niter) {
    Result result;
    int32_t* addresses = sentinel_address;
    int16_t* old_values = sentinel_value;
    int16_t* new_values = sentinel_value;
    result.status = despike_image(image.data(), nx, ny, frac, ped, niter, result.count, addresses,
                                  old_values, new_values);
    result.outputs_untouched = result.count == -7 && addresses == sentinel_address &&
                               old_values == sentinel_value && new_values == sentinel_value;
    if (result.status != 0) return result;
    std::unique_ptr<int32_t[]> a(addresses);
    std::unique_ptr<int16_t[]> o(old_values);
    std::unique_ptr<int16_t[]> n(new_values);
    result.arrays_null = addresses == nullptr && old_values == nullptr && new_values == nullptr;
    result.addresses.assign(addresses, addresses + result.count);
    result.old_values.assign(old_values, old_values + result.count);
    result.new_values.assign(new_values, new_values + result.count);
    return result;
}

Image flat_image(int nx, int ny, int16_t value) { return Image(static_cast<size_t>(nx) * ny, value); }

struct SingleSpikeCase {
    int16_t value;
    float frac;
    bool spike;
};

class SingleSpike : public ::testing::TestWithParam<SingleSpikeCase> {};

TEST_P(SingleSpike, ThresholdOnFlatBackground) {
    const SingleSpikeCase& c = GetParam();
    const int nx = 9, ny = 9;
    Image image = flat_image(nx, ny, 100);
    const int at = 4 * nx + 4;
    image[at] = c.value;
    const Result r = run_despike(image, nx, ny, c.frac, 0.0f, 3);
    ASSERT_EQ(r.status, 0);
    if (c.spike) {
        ASSERT_EQ(r.count, 1);
        EXPECT_EQ(r.addresses[0], at);
        EXPECT_EQ(r.old_values[0], c.value);
        EXPECT_EQ(r.new_values[0], 100);
        EXPECT_EQ(image, flat_image(nx, ny, 100));
    } else {
        EXPECT_EQ(r.count, 0);
        EXPECT_TRUE(r.arrays_null);
        EXPECT_EQ(image[at], c.value);
    }
}

INSTANTIATE_TEST_SUITE_P(WorkedValues, SingleSpike,
                         ::testing::Values(SingleSpikeCase{177, 0.7f, true}, SingleSpikeCase{176, 0.7f, false},
                                           SingleSpikeCase{198, 0.9f, true}, SingleSpikeCase{197, 0.9f, false}));

TEST(DespikeImage, FlatImageHasNoSpikes) {
    Image image = flat_image(20, 12, 321);
    const Result r = run_despike(image, 20, 12, 0.7f, 10.0f, 3);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.count, 0);
    EXPECT_TRUE(r.arrays_null);
    EXPECT_EQ(image, flat_image(20, 12, 321));
}

TEST(DespikeImage, FiveByFiveTestsOnlyItsCentre) {
    // Both bright pixels stand out, but only the centre is at least two
    // steps from each edge.
    Image image = flat_image(5, 5, 0);
    image[1 * 5 + 1] = 500;
    image[12] = 500;
    const Result r = run_despike(image, 5, 5, 0.7f, 0.0f, 1);
    ASSERT_EQ(r.count, 1);
    EXPECT_EQ(r.addresses[0], 12);
    EXPECT_EQ(r.new_values[0], 0);
    EXPECT_EQ(image[6], 500);
}

TEST(DespikeImage, TooSmallImagesAreRefusedWithTheirSizes) {
    for (auto [nx, ny] : {std::pair{4, 5}, std::pair{5, 4}, std::pair{0, 0}}) {
        Image image = flat_image(std::max(nx, 1), std::max(ny, 1), 100);
        const Image before = image;
        ::testing::internal::CaptureStdout();
        const Result r = run_despike(image, nx, ny, 0.7f, 0.0f, 3);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.status, -1);
        EXPECT_TRUE(r.outputs_untouched);
        EXPECT_EQ(image, before);
        EXPECT_EQ(out, "dimensions must be 5 or greater, nx, ny = " + std::to_string(nx) + " " +
                           std::to_string(ny) + "\n");
    }
}

TEST(DespikeImage, PassCountIsTakenAsAbsoluteValueUpToTwenty) {
    const int nx = 9, ny = 9;
    Image spiky = flat_image(nx, ny, 100);
    spiky[40] = 1000;
    spiky[41] = 200;  // a spike only once its bright neighbour is gone

    Image image = spiky;
    const Result three = run_despike(image, nx, ny, 0.7f, 0.0f, 3);
    Image negative = spiky;
    const Result minus_three = run_despike(negative, nx, ny, 0.7f, 0.0f, -3);
    EXPECT_EQ(three.count, 2);
    EXPECT_EQ(minus_three.addresses, three.addresses);
    EXPECT_EQ(negative, image);

    Image untouched = spiky;
    const Result none = run_despike(untouched, nx, ny, 0.7f, 0.0f, 0);
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.count, 0);
    EXPECT_TRUE(none.arrays_null);
    EXPECT_EQ(untouched, spiky);

    for (int niter : {21, -21, 1000}) {
        Image refused = spiky;
        ::testing::internal::CaptureStdout();
        const Result r = run_despike(refused, nx, ny, 0.7f, 0.0f, niter);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(r.status, -1);
        EXPECT_TRUE(r.outputs_untouched);
        EXPECT_EQ(refused, spiky);
    }
    Image twenty = spiky;
    EXPECT_EQ(run_despike(twenty, nx, ny, 0.7f, 0.0f, 20).status, 0);
}

TEST(DespikeImage, TestsOfOnePassSeeTheImageAsThePassBegan) {
    const int nx = 9, ny = 9;
    // Side by side: each is tested against a mean holding the other.
    Image pair = flat_image(nx, ny, 100);
    pair[40] = 300;
    pair[41] = 300;
    Result r = run_despike(pair, nx, ny, 0.7f, 0.0f, 1);
    ASSERT_EQ(r.count, 2);
    EXPECT_EQ(r.addresses, (std::vector<int32_t>{40, 41}));
    EXPECT_EQ(r.new_values, (std::vector<int16_t>{100, 100}));

    // The dim one passes the first test only because its bright neighbour is
    // still there; it is flagged in the second pass and listed after it.
    Image chain = flat_image(nx, ny, 100);
    chain[40] = 1000;
    chain[41] = 200;
    r = run_despike(chain, nx, ny, 0.7f, 0.0f, 1);
    EXPECT_EQ(r.addresses, (std::vector<int32_t>{40}));
    chain[40] = 1000;
    r = run_despike(chain, nx, ny, 0.7f, 0.0f, 2);
    EXPECT_EQ(r.addresses, (std::vector<int32_t>{40, 41}));
    EXPECT_EQ(r.old_values, (std::vector<int16_t>{1000, 200}));
    // Rows are listed in raster order within a pass.
    Image rows = flat_image(nx, ny, 100);
    rows[5 * nx + 2] = 900;
    rows[2 * nx + 6] = 900;
    r = run_despike(rows, nx, ny, 0.7f, 0.0f, 1);
    EXPECT_EQ(r.addresses, (std::vector<int32_t>{2 * nx + 6, 5 * nx + 2}));
}

TEST(DespikeImage, NonPositivePixelsAreNeverFlagged) {
    const int nx = 9, ny = 9;
    for (int16_t centre : {0, -50, -32768}) {
        Image image = flat_image(nx, ny, -100);
        image[40] = centre;
        const Result r = run_despike(image, nx, ny, 0.7f, 0.0f, 3);
        EXPECT_EQ(r.count, 0) << centre;
    }
    Image image = flat_image(nx, ny, -100);
    image[40] = 1;  // far above the mean, and positive
    EXPECT_EQ(run_despike(image, nx, ny, 0.7f, 0.0f, 3).count, 1);
}

TEST(DespikeImage, ReplacementComesFromTheOuterRingOnly) {
    const int nx = 9, ny = 9;
    Image image = flat_image(nx, ny, 100);
    // A spike whose light spills into its direct neighbours.
    for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc) image[(4 + dr) * nx + 4 + dc] = 150;
    image[40] = 2000;
    const Result r = run_despike(image, nx, ny, 0.7f, 0.0f, 1);
    ASSERT_GE(r.count, 1);
    EXPECT_EQ(r.addresses[0], 40);
    EXPECT_EQ(r.new_values[0], 100);
}

TEST(DespikeImage, RingMedianIsTheLowerMiddleValue) {
    const int nx = 5, ny = 5;
    Image image = flat_image(nx, ny, 0);
    // Ring values 1..16 in ring order; the inner 3x3 is low.
    const int ring[16] = {0, 1, 2, 3, 4, 5, 9, 10, 14, 15, 19, 20, 21, 22, 23, 24};
    for (int i = 0; i < 16; ++i) image[ring[i]] = static_cast<int16_t>(16 - i);
    image[12] = 1000;
    const Result r = run_despike(image, nx, ny, 0.7f, 0.0f, 1);
    ASSERT_EQ(r.count, 1);
    EXPECT_EQ(r.new_values[0], 8);
}

// A pixel flagged in the first and third pass but not the second is listed
// once, among the third pass's entries, with its original value and the
// third pass's replacement. Such a pixel is found by searching seeded random
// images with the plain reference.
TEST(DespikeImage, PixelFlaggedInFirstAndThirdPassIsListedOnce) {
    std::mt19937 random(20240611);
    bool found = false;
    for (int attempt = 0; attempt < 20000 && !found; ++attempt) {
        const int nx = 8, ny = 8;
        Image image(nx * ny);
        std::uniform_int_distribution<int> level(0, 400);
        for (auto& v : image) v = static_cast<int16_t>(level(random) < 300 ? 100 : level(random) * 4);
        reference::Outcome expected = reference::despike(image, nx, ny, 0.7f, 0.0f, 3);
        for (int32_t address : expected.flagged[0]) {
            const auto& second = expected.flagged[1];
            const auto& third = expected.flagged[2];
            if (std::find(second.begin(), second.end(), address) != second.end()) continue;
            if (std::find(third.begin(), third.end(), address) == third.end()) continue;
            found = true;
            const int16_t original = image[address];
            Image work = image;
            const Result r = run_despike(work, nx, ny, 0.7f, 0.0f, 3);
            ASSERT_EQ(std::count(r.addresses.begin(), r.addresses.end(), address), 1);
            const size_t at = std::find(r.addresses.begin(), r.addresses.end(), address) - r.addresses.begin();
            EXPECT_EQ(r.old_values[at], original);
            EXPECT_EQ(r.new_values[at], work[address]);
            EXPECT_EQ(r.new_values[at], expected.pass_replacement[2].at(address));
            // Everything listed after it was last flagged in the third pass.
            const size_t third_start = r.count - third.size();
            EXPECT_GE(at, third_start);
            break;
        }
    }
    EXPECT_TRUE(found) << "no such image among the seeded ones";
}

// The optimised kernel against the plain reference on random images: sizes,
// backgrounds, spike densities, pedestals, allowances and pass counts.
TEST(DespikeImage, MatchesPlainReferenceOnRandomImages) {
    std::mt19937 random(7);
    for (int trial = 0; trial < 400; ++trial) {
        const int nx = std::uniform_int_distribution<int>(5, 41)(random);
        const int ny = std::uniform_int_distribution<int>(5, 23)(random);
        const int background = std::uniform_int_distribution<int>(-50, 3000)(random);
        const int spread = std::uniform_int_distribution<int>(0, 40)(random);
        const double density = std::uniform_real_distribution<double>(0.0, 0.3)(random);
        Image image(static_cast<size_t>(nx) * ny);
        std::uniform_int_distribution<int> noise(-spread, spread);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::uniform_int_distribution<int> height(1, 30000);
        for (auto& v : image) {
            int value = background + noise(random);
            if (unit(random) < density) value += height(random);
            v = static_cast<int16_t>(std::clamp(value, -32768, 32767));
        }
        const float fracs[] = {0.7f, 0.9f, 0.0f, 0.35f, 2.5f};
        const float frac = fracs[trial % 5];
        const float ped = trial % 3 == 0 ? static_cast<float>(background)
                                         : std::uniform_real_distribution<float>(-100.0f, 3000.0f)(random);
        const int niter = std::uniform_int_distribution<int>(-6, 6)(random);

        const reference::Outcome expected = reference::despike(image, nx, ny, frac, ped, niter);
        Image work = image;
        const Result r = run_despike(work, nx, ny, frac, ped, niter);
        ASSERT_EQ(r.status, 0);
        ASSERT_EQ(r.addresses, expected.addresses) << "trial " << trial;
        ASSERT_EQ(r.old_values, expected.old_values) << "trial " << trial;
        ASSERT_EQ(r.new_values, expected.new_values) << "trial " << trial;
        ASSERT_EQ(work, expected.image) << "trial " << trial;
    }
}

// Near-threshold values: the decision must round exactly as written.
TEST(DespikeImage, MatchesPlainReferenceAtTheThreshold) {
    std::mt19937 random(11);
    for (int trial = 0; trial < 300; ++trial) {
        const int nx = 12, ny = 9;
        const int background = std::uniform_int_distribution<int>(1, 20000)(random);
        Image image = flat_image(nx, ny, static_cast<int16_t>(background));
        const float frac = trial % 2 ? 0.7f : 0.9f;
        const float ped = static_cast<float>(std::uniform_int_distribution<int>(0, background)(random));
        // The smallest spike lies near (background - ped + 4) * (1 + frac) + ped.
        const int edge = static_cast<int>((background - ped + 4.0) * (1.0 + frac) + ped);
        for (int i = 0; i < 6; ++i) {
            const int r = 2 + (i / 3) * 3, c = 2 + (i % 3) * 3;
            image[r * nx + c] = static_cast<int16_t>(std::min(edge - 3 + i, 32767));
        }
        const reference::Outcome expected = reference::despike(image, nx, ny, frac, ped, 1);
        Image work = image;
        const Result r = run_despike(work, nx, ny, frac, ped, 1);
        ASSERT_EQ(r.addresses, expected.addresses) << "trial " << trial;
    }
}

// Every pass flagging nearly every pixel overflows the work lists' first
// size; the results still follow the algorithm.
TEST(DespikeImage, DetectionsBeyondTheWorkListSizeStayExact) {
    std::mt19937 random(3);
    const int nx = 14, ny = 11;
    Image image(nx * ny);
    for (auto& v : image) v = static_cast<int16_t>(std::uniform_int_distribution<int>(1, 30000)(random));
    const float frac = -0.95f;  // scale 20: almost everything is a spike
    const reference::Outcome expected = reference::despike(image, nx, ny, frac, 0.0f, 20);
    size_t detections = 0;
    for (const auto& pass : expected.flagged) detections += pass.size();
    ASSERT_GT(detections, image.size());
    Image work = image;
    const Result r = run_despike(work, nx, ny, frac, 0.0f, 20);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.addresses, expected.addresses);
    EXPECT_EQ(r.old_values, expected.old_values);
    EXPECT_EQ(r.new_values, expected.new_values);
    EXPECT_EQ(work, expected.image);
}

}  // namespace
